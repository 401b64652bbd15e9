// One interface in front of the two directories the platform can use: the
// embedded one (Samba's ldb, an mdb file) and any LDAP server (OpenLDAP's
// libldap). Values are raw bytes (UTF-8 text or binary); attribute names
// compare without regard to case. Every failure raises platform::Error.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_query.h"

namespace localplatform::directory {

struct Attribute {
    std::string name;
    std::vector<std::string> values;
};

struct Entry {
    std::string dn;
    std::vector<Attribute> attributes;
    // The attribute of that name (any letter case), or null.
    [[nodiscard]] const Attribute* Find(std::string_view name) const;
    [[nodiscard]] Attribute* Find(std::string_view name);
};

// What the root DSE tells about the directory.
struct RootDse {
    std::string defaultNamingContext;
    std::string schemaNamingContext;  // "CN=Schema,CN=Configuration,<default>" when not published
    std::string configurationNamingContext;  // likewise "CN=Configuration,<default>"
    std::string dnsHostName;                 // empty when the directory does not say
};

struct SearchRequest {
    std::string base;
    int scope = 2;  // 0 base, 1 one level, 2 subtree
    std::string filter;
    std::vector<std::string> attributes;  // empty: all user attributes
    int timeLimitSeconds = 0;             // 0: no limit of the caller's
    int pageSize = 0;                     // 0: the backend's page (LDAP pages at 1000 or less)
};

// The entries of one search, read a page at a time. A cursor belongs to the
// backend that opened it and must not outlive it.
class SearchCursor {
public:
    virtual ~SearchCursor() = default;
    // Replaces page with the next entries, in the directory's order; false
    // when the search has no more (page is then empty). Each call's waits are
    // bounded by the request's time limit. Raises as Backend::Search does,
    // except for a server's size limit, which ends the entries (see Cut).
    [[nodiscard]] virtual bool NextPage(std::vector<Entry>& page) = 0;
    // Why the entries stop short of every match (the server's own size
    // limit, with its reply), as one line; empty while they do not.
    [[nodiscard]] const std::string& Cut() const { return cut_; }

protected:
    std::string cut_;
};

struct Modification {
    enum class Op { Replace, Clear };
    Op op = Op::Replace;
    std::string attribute;
    std::vector<std::string> values;
};

class Backend {
public:
    virtual ~Backend() = default;

    [[nodiscard]] virtual RootDse ReadRootDse() = 0;
    // Opens a search of the entries the request matches, read request.pageSize
    // entries at a time (the backend's page when 0). Raises kDsNoSuchObject
    // for a missing base (here or at the first page).
    [[nodiscard]] virtual std::unique_ptr<SearchCursor> OpenSearch(
        const SearchRequest& request) = 0;
    // Calls each for every entry the request matches, in the directory's
    // order, never holding more than a page of them. Returns the cut (see
    // SearchCursor::Cut), empty when every match was given.
    virtual std::string ForEach(const SearchRequest& request,
                                const std::function<void(Entry&)>& each);
    // Every entry the request matches, in the directory's order. Raises
    // kDsTimeLimit when the time limit passes, kDsSizeLimit when the server
    // refuses to return that many, kDsNoSuchObject for a missing base.
    [[nodiscard]] std::vector<Entry> Search(const SearchRequest& request);
    // Whether the directory's schema defines the attribute.
    [[nodiscard]] virtual bool IsKnownAttribute(const std::string& name) = 0;
    // Applies the changes to one entry at once. Clearing an absent attribute
    // is harmless. Raises kDsNoSuchObject for a missing entry.
    virtual void Modify(const std::string& dn, const std::vector<Modification>& changes) = 0;
    // Adds one entry; raises kResourceExists when the DN is taken.
    virtual void Add(const Entry& entry) = 0;
    // Caps every wait of this connection, the small reads behind a search
    // (root DSE, schema) included, at seconds (> 0); the caller's time-out.
    virtual void SetTimeLimit(int seconds) { (void)seconds; }
    // Bulk loads: many Adds inside one transaction (a no-op over LDAP).
    virtual void BeginBulk() {}
    virtual void CommitBulk() {}
};

// The embedded directory. path is the file; create makes a new one with the
// platform's attribute definitions and indexes (else a missing file raises
// kDsServerDown); batch speeds up bulk loads (one transaction, fewer checks).
struct LdbOptions {
    bool create = false;
    bool batch = false;
    bool readOnly = false;
};
std::unique_ptr<Backend> OpenLdbDirectory(const std::string& path, const LdbOptions& options);

// An LDAP server. uri is "ldap://host:port", "ldaps://..." or "ldapi://...".
struct LdapSettings {
    std::string uri;
    std::string bindDn;
    std::string password;
    std::string saslMech;  // "EXTERNAL" (over ldapi) or empty for a simple bind
    bool startTls = false;
    int networkTimeoutSeconds = 10;
};
std::unique_ptr<Backend> OpenLdapDirectory(const LdapSettings& settings);

// True when the configured directory is the embedded one ("ldb://...",
// "mdb://..."); then EmbeddedPath gives its file.
bool IsEmbeddedUri(const std::string& uri);
std::string EmbeddedPath(const std::string& uri);

// The directory that answers for an ADsPath under this configuration: the
// embedded file whatever the host, or the LDAP server at the path's host on
// the scheme's port ("directory.gc_port" / "directory.ldap_port", else the
// port of the configured URI, else 3268 / 389). forWrite sends the change to
// "directory.write_uri" when it is set.
std::unique_ptr<Backend> OpenDirectory(const PlatformConfig& config, const AdsPath& path,
                                       bool forWrite);
// The LDAP URI OpenDirectory connects to for a path (not for the embedded one).
std::string ResolveLdapUri(const PlatformConfig& config, const AdsPath& path, bool forWrite);

// The root DSE with the host name filled in: the directory's own, else
// "directory.dns_host_name", else the configured server's host (LDAP) or
// this computer's FQDN (embedded).
RootDse ReadRootDseFor(Backend& backend, const PlatformConfig& config);

// A deterministic 16-byte objectGUID for a DN that has none.
std::string GuidForDn(std::string_view dn);

}  // namespace localplatform::directory
