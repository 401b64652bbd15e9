#include "localplatform/directory/testing/slapd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "base/testing/server_process.h"

extern char** environ;

namespace localplatform::directory::testing {
namespace {

using platform::testing::FreeLoopbackPort;
using platform::testing::PortAnswers;
using platform::testing::ReadWholeFile;

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";

// Runs a program with stdout and stderr going to logPath; returns its pid.
pid_t Spawn(const std::vector<std::string>& args, const std::string& logPath) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        throw platform::Error(platform::err::kDsServerDown,
                              platform::Describe("start", args[0], std::strerror(rc), rc));
    }
    return pid;
}

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
            << "maxsize 2147483648\n"
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
    const std::string log = dir_ + "/slapd.log";
    std::string ldif = options_.preloadLdif;
    if (ldif.empty()) {
        // The head entry, so that the suffix exists.
        ldif = dir_ + "/base.ldif";
        std::ofstream out(ldif);
        out << "dn: " << options_.suffix
            << "\nobjectClass: top\nobjectClass: domainDNS\ndc: " << FirstDcValue(options_.suffix)
            << "\n\n";
    }
    const pid_t add = Spawn({kSlapadd, "-q", "-f", conf, "-l", ldif}, log);
    int status = 0;
    ::waitpid(add, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw platform::Error(
            platform::err::kDsServerDown,
            platform::Describe("slapadd", ldif, "the load failed: " + ReadWholeFile(log), status));
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        const std::string urls = Uri() + "/ " + LdapiUri();
        // -d 0: stay in the foreground, so the pid is the server's. setpriv
        // makes it die with the test process, even when a failed test never
        // reaches the teardown.
        pid_ = Spawn(
            {"/usr/bin/setpriv", "--pdeathsig", "KILL", kSlapd, "-f", conf, "-h", urls, "-d", "0"},
            log);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (PortAnswers(port_)) return;
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                break;  // it exited: perhaps the port was taken meanwhile
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ > 0) break;
    }
    throw platform::Error(
        platform::err::kDsServerDown,
        platform::Describe("start", kSlapd, "the server did not answer: " + ReadWholeFile(log), 0));
}

void SlapdHarness::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int st = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(pid_, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &st, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

}  // namespace localplatform::directory::testing
