// A private OpenLDAP server for tests and benchmarks: Debian's slapd with
// the project's schema (over core, cosine and inetOrgPerson) and an mdb
// database in a temporary folder, listening on a free loopback port and on
// an ldapi socket in that folder. The constructor returns once the server
// answers; the destructor stops it and removes the folder. Works as root
// (the server then runs as root) and as an ordinary user.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace localplatform::directory::testing {

class SlapdHarness {
public:
    struct Options {
        std::string suffix = "DC=example,DC=com";
        std::string rootDn = "CN=admin,DC=example,DC=com";
        std::string rootPassword = "secret";
        // LDIF loaded with slapadd before the server starts (fast bulk load);
        // empty: the database starts empty.
        std::string preloadLdif;
        // The server's own limit on the entries of one search (paged or
        // not); 0: none.
        int serverSizeLimit = 0;
        // A limit like a forest's MaxPageSize: at most this many entries in
        // an unpaged search and in one page, while a paged search returns
        // every entry; 0: none. (serverSizeLimit, when set, wins.)
        int serverPageLimit = 0;
    };

    // Raises platform::Error (kDsServerDown) when slapd cannot be started;
    // its log is in the message.
    explicit SlapdHarness(const Options& options);
    SlapdHarness();
    ~SlapdHarness();
    SlapdHarness(const SlapdHarness&) = delete;
    SlapdHarness& operator=(const SlapdHarness&) = delete;

    // True when /usr/sbin/slapd is installed (tests skip otherwise).
    static bool Available();

    [[nodiscard]] int Port() const { return port_; }
    [[nodiscard]] std::string Uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
    [[nodiscard]] std::string LdapiUri() const;
    [[nodiscard]] const std::string& Folder() const { return dir_; }
    [[nodiscard]] const Options& Settings() const { return options_; }
    // Platform configuration lines that point the directory at this server
    // (simple bind as the root DN, both path schemes on its port).
    [[nodiscard]] std::string ConfigLines() const;

private:
    void Start();
    void Stop();

    Options options_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace localplatform::directory::testing
