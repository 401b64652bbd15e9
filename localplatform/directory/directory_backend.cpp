#include "localplatform/directory/directory_backend.h"

#include <strings.h>

#include <cstdint>
#include <vector>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/mail_store_settings.h"

namespace localplatform::directory {
namespace {

using platform::Lower;
using platform::StartsWithNoCase;

struct UriParts {
    std::string scheme;  // ldap, ldaps, ldapi
    std::string host;
    int port = 0;
};

UriParts SplitUri(const std::string& uri) {
    UriParts u;
    const size_t sep = uri.find("://");
    if (sep == std::string::npos) return u;
    u.scheme = platform::Lower(uri.substr(0, sep));
    std::string rest = uri.substr(sep + 3);
    rest = rest.substr(0, rest.find('/'));
    const size_t bracket = rest.rfind(']');
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos &&
        (bracket == std::string::npos ? rest.find(':') == colon : colon > bracket)) {
        u.port = std::atoi(rest.c_str() + colon + 1);
        rest = rest.substr(0, colon);
    }
    u.host = rest;
    return u;
}

int PortSetting(const PlatformConfig& config, const char* key, int fallback) {
    return static_cast<int>(config.GetWholeNumber(key, fallback, 65535, "port", 1));
}

}  // namespace

const Attribute* Entry::Find(std::string_view name) const {
    for (const auto& a : attributes) {
        if (a.name.size() == name.size() &&
            strncasecmp(a.name.data(), name.data(), name.size()) == 0)
            return &a;
    }
    return nullptr;
}

Attribute* Entry::Find(std::string_view name) {
    return const_cast<Attribute*>(static_cast<const Entry&>(*this).Find(name));
}

std::string Backend::ForEach(const SearchRequest& request,
                             const std::function<void(Entry&)>& each) {
    std::unique_ptr<SearchCursor> cursor = OpenSearch(request);
    std::vector<Entry> page;
    while (cursor->NextPage(page)) {
        for (Entry& e : page) each(e);
    }
    return cursor->Cut();
}

std::vector<Entry> Backend::Search(const SearchRequest& request) {
    std::vector<Entry> out;
    const std::string cut = ForEach(request, [&](Entry& e) { out.push_back(std::move(e)); });
    if (!cut.empty()) throw platform::Error(platform::err::kDsSizeLimit, cut);
    return out;
}

bool IsEmbeddedUri(const std::string& uri) {
    return StartsWithNoCase(uri, "ldb://") || StartsWithNoCase(uri, "mdb://");
}

std::string EmbeddedPath(const std::string& uri) {
    return IsEmbeddedUri(uri) ? uri.substr(6) : uri;
}

std::string ResolveLdapUri(const PlatformConfig& config, const AdsPath& path, bool forWrite) {
    if (forWrite) {
        if (auto w = config.Get("directory.write_uri")) return *w;
    }
    std::string configured = config.DirectoryUri();
    const UriParts u = SplitUri(configured);
    // A local socket serves whatever host name the path carries.
    if (u.scheme == "ldapi" || path.host.empty()) return configured;
    // The credentials go only to servers the configuration names: a path
    // taken from data must not send them elsewhere.
    std::vector<std::string> allowed = {u.host, config.GetOr("directory.dns_host_name", "")};
    if (auto w = config.Get("directory.write_uri")) allowed.push_back(SplitUri(*w).host);
    for (std::string rest = config.GetOr("directory.hosts", ""); !rest.empty();) {
        const size_t comma = rest.find(',');
        std::string h = rest.substr(0, comma);
        h.erase(0, h.find_first_not_of(' '));
        h.erase(h.find_last_not_of(' ') + 1);
        allowed.push_back(h);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    }
    bool known = false;
    for (const auto& h : allowed) known = known || (!h.empty() && Lower(h) == Lower(path.host));
    if (!known) {
        throw platform::Error(
            platform::err::kDsServerDown,
            platform::Describe("connect", path.host,
                               "the platform configuration names no such directory server "
                               "(directory, directory.dns_host_name, directory.hosts)",
                               platform::err::kDsServerDown));
    }
    const bool gc = path.scheme == AdsPath::Scheme::Gc && !forWrite;
    int port = path.port;
    if (port == 0) {
        port = gc ? PortSetting(config, "directory.gc_port", u.port != 0 ? u.port : 3268)
                  : PortSetting(config, "directory.ldap_port",
                                u.port != 0 ? u.port : (u.scheme == "ldaps" ? 636 : 389));
    }
    return (u.scheme.empty() ? std::string("ldap") : u.scheme) + "://" + path.host + ":" +
           std::to_string(port);
}

std::unique_ptr<Backend> OpenDirectory(const PlatformConfig& config, const AdsPath& path,
                                       bool forWrite) {
    const std::string uri = config.DirectoryUri();
    if (IsEmbeddedUri(uri)) return OpenLdbDirectory(EmbeddedPath(uri), LdbOptions{});
    LdapSettings s;
    s.uri = ResolveLdapUri(config, path, forWrite);
    s.bindDn = config.GetOr("directory.bind_dn", "");
    s.password = config.GetOr("directory.password", "");
    // The bind password from a file of its own, private to its owner (the
    // configuration is the quellix group's to read), as a mail store's.
    if (const std::string file = config.GetOr("directory.password_file", ""); !file.empty()) {
        if (!s.password.empty()) {
            throw platform::Error(
                platform::err::kInvalidArg,
                platform::Describe("read configuration", config.SourcePath(),
                                   "directory.password and directory.password_file are both "
                                   "set: keep one",
                                   platform::err::kInvalidArg));
        }
        s.password = ReadPasswordFile(file, config.ServiceAccount());
    }
    s.saslMech = config.GetOr("directory.sasl_mech", "");
    s.startTls = config.GetBool("directory.starttls", false);
    s.networkTimeoutSeconds = static_cast<int>(config.GetWholeNumber(
        "directory.network_timeout", s.networkTimeoutSeconds, 3600, "seconds", 1));
    return OpenLdapDirectory(s);
}

RootDse ReadRootDseFor(Backend& backend, const PlatformConfig& config) {
    RootDse r = backend.ReadRootDse();
    if (r.dnsHostName.empty()) {
        if (auto v = config.Get("directory.dns_host_name")) {
            r.dnsHostName = *v;
        } else if (IsEmbeddedUri(config.DirectoryUri())) {
            r.dnsHostName = Lower(config.ComputerName() + "." + config.DomainDnsName());
        } else {
            const UriParts u = SplitUri(config.DirectoryUri());
            r.dnsHostName =
                u.scheme == "ldapi" || u.host.empty() ? std::string("localhost") : u.host;
        }
    }
    return r;
}

std::string GuidForDn(std::string_view dn) {
    // Two FNV-1a hashes of the normalised DN: stable across loads, so the same
    // LDIF gives the same file.
    const std::string norm = NormalizeDn(dn);
    uint64_t h1 = 14695981039346656037ull, h2 = 1099511628211ull * 31;
    for (unsigned char c : norm) {
        h1 = (h1 ^ c) * 1099511628211ull;
        h2 = (h2 ^ c) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
    }
    std::string g(16, '\0');
    for (int i = 0; i < 8; ++i) {
        g[i] = static_cast<char>(h1 >> (8 * i));
        g[8 + i] = static_cast<char>(h2 >> (8 * i));
    }
    return g;
}

}  // namespace localplatform::directory
