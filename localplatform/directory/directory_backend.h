// One interface in front of the two directories the platform can use: the
// embedded one (Samba's ldb, an mdb file) and any LDAP server (OpenLDAP's
// libldap). Values are raw bytes (UTF-8 text or binary); attribute names
// compare without regard to case. Every failure raises platform::Error.
#pragma once

#include <cstddef>
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
    // Every entry the request matches, in the directory's order. Raises
    // kDsTimeLimit when the time limit passes, kDsSizeLimit when the server
    // refuses to return that many, kDsNoSuchObject for a missing base.
    [[nodiscard]] virtual std::vector<Entry> Search(const SearchRequest& request) = 0;
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
