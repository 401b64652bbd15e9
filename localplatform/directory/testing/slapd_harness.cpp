#include "localplatform/directory/testing/slapd_harness.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "base/testing/server_process.h"

namespace localplatform::directory::testing {
namespace {

namespace pt = platform::testing;

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";

std::string SchemaPath() {
#ifdef QUELLIX_DIRECTORY_SCHEMA
    return QUELLIX_DIRECTORY_SCHEMA;
#else
    const char* src = std::getenv("QUELLIX_SOURCE_DIR");
    return std::string(src != nullptr ? src : ".") +
           "/localplatform/directory/schema/quellix.schema";
#endif
}

std::string FirstDcValue(const std::string& suffix) {
    const size_t eq = suffix.find('=');
    const size_t comma = suffix.find(',');
    return suffix.substr(eq + 1, comma == std::string::npos ? std::string::npos : comma - eq - 1);
}

}  // namespace

SlapdHarness::SlapdHarness() : SlapdHarness(Options{}) {}

SlapdHarness::SlapdHarness(const Options& options) : options_(options) {
    char tmpl[] = "/tmp/quellix-slapd-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        throw platform::Error(platform::err::kDsServerDown,
                              platform::Describe("mkdtemp", tmpl, std::strerror(errno), errno));
    }
    dir_ = tmpl;
    try {
        Start();
    } catch (...) {
        Stop();
        throw;
    }
}

SlapdHarness::~SlapdHarness() {
    Stop();
}

bool SlapdHarness::Available() {
    return ::access(kSlapd, X_OK) == 0;
}

std::string SlapdHarness::LdapiUri() const {
    std::string path = dir_ + "/ldapi";
    std::string escaped;
    for (char c : path) escaped += c == '/' ? std::string("%2F") : std::string(1, c);
    return "ldapi://" + escaped;
}

std::string SlapdHarness::ConfigLines() const {
    const std::string port = std::to_string(port_);
    return "directory = " + Uri() + "\n" + "directory.bind_dn = " + options_.rootDn + "\n" +
           "directory.password = " + options_.rootPassword + "\n" + "directory.gc_port = " + port +
           "\n" + "directory.ldap_port = " + port + "\n" + "directory.dns_host_name = 127.0.0.1\n";
}

void SlapdHarness::Start() {
    std::filesystem::create_directories(dir_ + "/db");
    const std::string conf = dir_ + "/slapd.conf";
    {
        std::ofstream out(conf);
        out << "include /etc/ldap/schema/core.schema\n"
            << "include /etc/ldap/schema/cosine.schema\n"
            << "include /etc/ldap/schema/inetorgperson.schema\n"
            << "include " << SchemaPath() << "\n"
            << "pidfile " << dir_ << "/slapd.pid\n"
            << "modulepath /usr/lib/ldap\n"
            << "moduleload back_mdb\n"
            // The clients page; no limit of the server's own gets in the way.
            << (options_.serverSizeLimit > 0
                    ? "sizelimit size.soft=" + std::to_string(options_.serverSizeLimit) +
                          " size.hard=" + std::to_string(options_.serverSizeLimit) +
                          " size.pr=" + std::to_string(options_.serverSizeLimit) +
                          " size.prtotal=" + std::to_string(options_.serverSizeLimit) + "\n"
                : options_.serverPageLimit > 0
                    ? "sizelimit size.soft=" + std::to_string(options_.serverPageLimit) +
                          " size.hard=" + std::to_string(options_.serverPageLimit) + " size.pr=" +
                          std::to_string(options_.serverPageLimit) + " size.prtotal=unlimited\n"
                    : std::string("sizelimit size.soft=unlimited size.hard=unlimited "
                                  "size.pr=unlimited size.prtotal=unlimited\n"))
            << "timelimit unlimited\n"
            << "database mdb\n"
            << "maxsize 17179869184\n"  // a map bound, not a size: room for 10^6 users
            << "suffix \"" << options_.suffix << "\"\n"
            << "rootdn \"" << options_.rootDn << "\"\n"
            << "rootpw " << options_.rootPassword << "\n"
            << "directory " << dir_ << "/db\n"
            << "index "
               "objectClass,objectCategory,cn,mail,mailNickname,sAMAccountName,extensionAttribute8 "
               "eq\n"
            << "index msExchMailboxGuid pres\n"
            << "access to * by * write\n";
    }
    std::string ldif = options_.preloadLdif;
    if (ldif.empty()) {
        // The head entry, so that the suffix exists.
        ldif = dir_ + "/base.ldif";
        std::ofstream out(ldif);
        out << "dn: " << options_.suffix
            << "\nobjectClass: top\nobjectClass: domainDNS\ndc: " << FirstDcValue(options_.suffix)
            << "\n\n";
    }
    const pt::ProgramOutcome add = pt::RunProgram({kSlapadd, "-q", "-f", conf, "-l", ldif});
    if (add.code != 0) {
        throw platform::Error(
            platform::err::kDsServerDown,
            platform::Describe("slapadd", ldif, "the load failed: " + add.out + add.err, add.code));
    }
    std::string why;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = pt::FreeLoopbackPort();
        // -d 0: stay in the foreground, so the pid is the server's. An exit
        // may be a port taken meanwhile: another port is tried.
        try {
            pid_ = pt::StartServer({kSlapd, "-f", conf, "-h", Uri() + "/ " + LdapiUri(), "-d", "0"},
                                   dir_ + "/slapd.log", port_);
            return;
        } catch (const platform::Error& e) {
            why = e.Description();
        }
    }
    throw platform::Error(platform::err::kDsServerDown, why);
}

void SlapdHarness::Stop() {
    pt::StopServer(pid_, port_);
    pid_ = -1;
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

}  // namespace localplatform::directory::testing
