#include "localplatform/store/testing/cyrus_server.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "base/testing/server_process.h"

namespace localplatform::testing {
namespace {

namespace fs = std::filesystem;
using platform::testing::FreeLoopbackPort;
using platform::testing::StartServer;
using platform::testing::StopServer;
using platform::testing::WritePrivateFile;

constexpr const char* kMaster = "/usr/sbin/cyrmaster";
constexpr const char* kSaslPasswd = "/usr/sbin/saslpasswd2";
// Cyrus's IMAP program: where its package puts it, or where the project's
// install script takes it out of the package when Dovecot's is installed
// (the two packages conflict).
constexpr const char* kImapdPaths[] = {"/usr/lib/cyrus/bin/imapd",
                                       "/opt/quellix-test/cyrus-imapd/usr/lib/cyrus/bin/imapd"};

std::string Imapd() {
    for (const char* path : kImapdPaths) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "";
}

[[noreturn]] void Fail(const std::string& what, const std::string& object,
                       const std::string& reason) {
    throw platform::Error(platform::err::kFail, platform::Describe(what, object, reason, 0));
}

// The login's parts: the alias before the "@", the domain after.
std::pair<std::string, std::string> SplitLogin(const std::string& login) {
    const size_t at = login.find('@');
    if (at == std::string::npos) return {login, ""};
    return {login.substr(0, at), login.substr(at + 1)};
}

}  // namespace

CyrusServer::CyrusServer() : CyrusServer(Options{}) {}

CyrusServer::CyrusServer(const Options& options) : options_(options) {
    char tmpl[] = "/tmp/quellix-cyrus-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) Fail("mkdtemp", tmpl, std::strerror(errno));
    dir_ = tmpl;
    try {
        ::chmod(dir_.c_str(), 0755);
        for (const char* sub : {"config", "spool", "sieve", "run"})
            fs::create_directories(dir_ + "/" + sub);
        port_ = FreeLoopbackPort();
        WriteConfiguration();
        Start();
        // Every user's mailbox, made by the administrator as a mail
        // server's administrator would.
        for (const auto& user : options_.users) {
            const auto [alias, domain] = SplitLogin(user.login);
            ImapCreate(
                {port_, options_.admin, AdminPasswordFile(), ""},
                std::string("user") + (options_.altNamespace ? "/" : ".") + alias + "@" + domain);
        }
    } catch (...) {
        Stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        throw;
    }
}

CyrusServer::~CyrusServer() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

bool CyrusServer::Available() {
    return ::access(kMaster, X_OK) == 0 && ::access(kSaslPasswd, X_OK) == 0 && !Imapd().empty() &&
           ImapClientAvailable() && (::geteuid() != 0 || ::getpwnam("cyrus") != nullptr);
}

void CyrusServer::WriteConfiguration() {
    const std::string sasldb = dir_ + "/sasldb2";
    auto addUser = [&](const std::string& login, const std::string& password) {
        const auto [alias, domain] = SplitLogin(login);
        const auto out = platform::testing::RunProgram(
            {kSaslPasswd, "-p", "-c", "-f", sasldb, "-u", domain, alias}, password + "\n");
        if (out.code != 0) Fail("saslpasswd2", login, out.err);
    };
    addUser(options_.admin, options_.adminPassword);
    for (const auto& user : options_.users) addUser(user.login, user.password);
    WritePrivateFile(AdminPasswordFile(), options_.adminPassword + "\n", 0600);

    std::ostringstream imapd;
    imapd << "configdirectory: " << dir_ << "/config\n"
          << "partition-default: " << dir_ << "/spool\n"
          << "sievedir: " << dir_ << "/sieve\n"
          << "admins: " << options_.admin << "\n"
          << "sasl_pwcheck_method: auxprop\n"
          << "sasl_auxprop_plugin: sasldb\n"
          << "sasl_sasldb_path: " << sasldb << "\n"
          << "sasl_mech_list: PLAIN LOGIN\n"
          << "allowplaintext: yes\n"
          << "unixhierarchysep: " << (options_.altNamespace ? "yes" : "no") << "\n"
          << "altnamespace: " << (options_.altNamespace ? "yes" : "no") << "\n"
          << "virtdomains: userid\n"
          << "hashimapspool: false\n"
          << "idlesocket: " << dir_ << "/run/idle\n"
          << "lmtpsocket: " << dir_ << "/run/lmtp\n"
          << "notifysocket: " << dir_ << "/run/notify\n"
          << "syslog_prefix: quellix-test-cyrus\n";
    WritePrivateFile(dir_ + "/imapd.conf", imapd.str(), 0644);
    std::ostringstream services;
    services << "START {\n  recover cmd=\"ctl_cyrusdb -r -C " << dir_ << "/imapd.conf\"\n}\n"
             << "SERVICES {\n  imap cmd=\"" << Imapd() << " -C " << dir_
             << "/imapd.conf\" listen=\"127.0.0.1:" << port_
             << "\" prefork=0\n}\nEVENTS {\n}\nDAEMON {\n}\n";
    WritePrivateFile(dir_ + "/cyrus.conf", services.str(), 0644);

    if (::geteuid() == 0) {
        // Cyrus's services run as its own account, which must own its files.
        const passwd* cyrus = ::getpwnam("cyrus");
        if (cyrus == nullptr) Fail("getpwnam", "cyrus", "no such account");
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            if (::lchown(entry.path().c_str(), cyrus->pw_uid, cyrus->pw_gid) != 0)
                Fail("chown", entry.path().string(), std::strerror(errno));
        }
        // The administrator's password stays the test's own.
        if (::chown(AdminPasswordFile().c_str(), 0, 0) != 0)
            Fail("chown", AdminPasswordFile(), std::strerror(errno));
    }
}

void CyrusServer::Start() {
    if (pid_ > 0) return;
    // -D: in the foreground, so the pid is the master's.
    pid_ = StartServer({kMaster, "-D", "-C", dir_ + "/imapd.conf", "-M", dir_ + "/cyrus.conf", "-p",
                        dir_ + "/run/master.pid"},
                       dir_ + "/cyrus.out", port_);
}

void CyrusServer::Stop() {
    StopServer(pid_, port_);
    pid_ = -1;
}

ImapLogin CyrusServer::ProxyLogin(const std::string& login) const {
    return {port_, options_.admin, AdminPasswordFile(), login};
}

int64_t CyrusServer::Append(const std::string& login, const std::string& folder,
                            const std::string& rfc822, int64_t received, const std::string& flags) {
    return ImapAppend(ProxyLogin(login), folder, rfc822, received, flags);
}

void CyrusServer::CreateFolder(const std::string& login, const std::string& folder) {
    ImapCreate(ProxyLogin(login), folder);
}

std::vector<ImapMessage> CyrusServer::Messages(const std::string& login,
                                               const std::string& folder) const {
    return ImapFetch(ProxyLogin(login), folder);
}

}  // namespace localplatform::testing
