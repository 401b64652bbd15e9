#include "localplatform/store/testing/dovecot_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include "base/testing/run_program.h"

extern char** environ;

namespace localplatform::testing {
namespace {

namespace fs = std::filesystem;
using platform::testing::RunProgram;

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kDoveadm = "/usr/bin/doveadm";
constexpr const char* kLda = "/usr/lib/dovecot/dovecot-lda";
constexpr const char* kPython = "/usr/bin/python3";

[[noreturn]] void Fail(const std::string& what, const std::string& object,
                       const std::string& reason) {
    throw platform::Error(platform::err::kFail, platform::Describe(what, object, reason, 0));
}

int FreeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool Answers(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    {
        std::ofstream out(path, std::ios::trunc);
        out << text;
        if (!out) Fail("write", path, std::strerror(errno));
    }
    ::chmod(path.c_str(), mode);
}

std::string ScriptPath() {
#ifdef QUELLIX_IMAP_APPEND_SCRIPT
    return QUELLIX_IMAP_APPEND_SCRIPT;
#else
    const char* src = std::getenv("QUELLIX_SOURCE_DIR");
    return std::string(src != nullptr ? src : ".") + "/localplatform/store/testing/imap_append.py";
#endif
}

std::string UserName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* gr = ::getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

// The login's parts as Dovecot splits them: %n before the "@", %d after.
std::pair<std::string, std::string> SplitLogin(const std::string& login) {
    const size_t at = login.find('@');
    if (at == std::string::npos) return {login, ""};
    return {login.substr(0, at), login.substr(at + 1)};
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0;
    while (true) {
        const size_t tab = line.find('\t', from);
        fields.push_back(
            line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
        if (tab == std::string::npos) return fields;
        from = tab + 1;
    }
}

std::string WithoutRecent(const std::string& flags) {
    std::istringstream in(flags);
    std::string flag;
    std::string kept;
    while (in >> flag) {
        if (flag == "\\Recent") continue;
        kept += (kept.empty() ? "" : " ") + flag;
    }
    return kept;
}

// A folder name as doveadm takes it: "/" between levels becomes the
// namespace's separator ("." on Maildir++, "/" with LAYOUT=fs).
std::string DoveadmMailbox(const std::string& folder, bool fsLayout) {
    if (folder.empty()) return "INBOX";
    std::string name = folder;
    if (!fsLayout) {
        for (char& c : name)
            if (c == '/') c = '.';
    }
    return name;
}

}  // namespace

DovecotServer::DovecotServer() : DovecotServer(Options{}) {}

DovecotServer::DovecotServer(const Options& options) : options_(options) {
    char tmpl[] = "/tmp/quellix-dovecot-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) Fail("mkdtemp", tmpl, std::strerror(errno));
    dir_ = tmpl;
    try {
        // Dovecot's own users and the mail's owner must reach the folder.
        ::chmod(dir_.c_str(), 0755);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr) Fail("getpwnam", "nobody", "no such account");
            mailUid_ = nobody->pw_uid;
            mailGid_ = nobody->pw_gid;
        } else {
            mailUid_ = ::geteuid();
            mailGid_ = ::getegid();
        }
        fs::create_directories(dir_ + "/mail");
        fs::create_directories(dir_ + "/run");
        if (::chown((dir_ + "/mail").c_str(), mailUid_, mailGid_) != 0)
            Fail("chown", dir_ + "/mail", std::strerror(errno));
        port_ = FreeLoopbackPort();
        WriteConfiguration();
        Start();
    } catch (...) {
        Stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        throw;
    }
}

DovecotServer::~DovecotServer() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

bool DovecotServer::Available() {
    return ::access(kDovecot, X_OK) == 0 && ::access(kDoveadm, X_OK) == 0 &&
           ::access(kLda, X_OK) == 0 && ::access(kPython, X_OK) == 0 &&
           fs::exists("/usr/lib/dovecot/imap");
}

std::string DovecotServer::MailLocation() const {
    return "maildir:" + dir_ + "/mail/%d/%n/Maildir" + (options_.fsLayout ? ":LAYOUT=fs" : "");
}

std::string DovecotServer::MaildirOf(const std::string& login) const {
    const auto [alias, ns] = SplitLogin(login);
    return dir_ + "/mail/" + ns + "/" + alias + "/Maildir";
}

std::string DovecotServer::MaildirConfigLines(const std::string& ns) const {
    return "mailstore." + ns + " = " + MailLocation() + "\n";
}

void DovecotServer::WriteConfiguration() {
    std::string users;
    for (const auto& u : options_.users) users += u.login + ":{PLAIN}" + u.password + "::::::\n";
    WriteFile(dir_ + "/passwd", users, 0644);
    WriteFile(dir_ + "/masters",
              options_.masterUser + ":{PLAIN}" + options_.masterPassword + "::::::\n", 0644);
    WriteFile(dir_ + "/master-password", options_.masterPassword + "\n", 0600);

    const bool root = ::geteuid() == 0;
    const std::string mailUser = UserName(mailUid_);
    const std::string mailGroup = GroupName(mailGid_);
    std::ostringstream conf;
    conf << "base_dir = " << dir_ << "/run\n"
         << "state_dir = " << dir_ << "/state\n"
         << "instance_name = quellix-test\n"
         << "log_path = " << dir_ << "/dovecot.log\n"
         << "protocols = imap\n"
         << "listen = 127.0.0.1\n"
         << "ssl = no\n"
         << "disable_plaintext_auth = no\n"
         << "auth_mechanisms = plain login\n"
         << "auth_master_user_separator = *\n"
         << "mail_location = " << MailLocation() << "\n"
         << "first_valid_uid = 1\n"
         << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << dir_
         << "/masters\n  master = yes\n  pass = yes\n}\n"
         << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << dir_ << "/passwd\n}\n"
         << "userdb {\n  driver = static\n  args = uid=" << mailUser << " gid=" << mailGroup
         << " home=" << dir_ << "/mail/%d/%n\n}\n"
         << "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = "
         << port_ << "\n  }\n  inet_listener imaps {\n    port = 0\n  }\n";
    if (!root) conf << "  chroot =\n";
    conf << "}\n";
    if (!root) {
        // Without root, every service runs as the one account there is.
        conf << "default_internal_user = " << mailUser << "\n"
             << "default_internal_group = " << mailGroup << "\n"
             << "default_login_user = " << mailUser << "\n"
             << "service anvil {\n  chroot =\n}\n";
    }
    WriteFile(dir_ + "/dovecot.conf", conf.str(), 0644);
}

void DovecotServer::Start() {
    if (pid_ > 0) return;
    const std::string log = dir_ + "/dovecot.out";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    const std::string conf = dir_ + "/dovecot.conf";
    // -F: stay in the foreground, so the pid is the master's. setpriv makes
    // it die with the test process, even when a failed test never reaches
    // the teardown.
    std::vector<std::string> args = {
        "/usr/bin/setpriv", "--pdeathsig", "KILL", kDovecot, "-F", "-c", conf};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        Fail("start", kDovecot, std::strerror(rc));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Answers(port_)) return;
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    Fail("start", kDovecot,
         "the server did not answer: " + ReadFile(log) + ReadFile(dir_ + "/dovecot.log"));
}

void DovecotServer::Stop() {
    if (pid_ <= 0) return;
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
    // The master's children leave with it; wait until nothing answers, so
    // that a test of a stopped server finds it stopped.
    const auto quiet = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Answers(port_) && std::chrono::steady_clock::now() < quiet)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

int64_t DovecotServer::Append(const std::string& login, const std::string& folder,
                              const std::string& rfc822, int64_t received,
                              const std::string& flags) {
    const auto out =
        RunProgram({kPython, ScriptPath(), std::to_string(port_), login + "*" + options_.masterUser,
                    dir_ + "/master-password", folder, std::to_string(received), flags},
                   rfc822);
    if (out.code != 0) Fail("IMAP APPEND", login + " " + folder, out.err);
    return std::stoll(out.out);
}

void DovecotServer::CreateFolder(const std::string& login, const std::string& folder) {
    const auto out =
        RunProgram({kPython, ScriptPath(), "--create", std::to_string(port_),
                    login + "*" + options_.masterUser, dir_ + "/master-password", folder});
    if (out.code != 0) Fail("IMAP CREATE", login + " " + folder, out.err);
}

void DovecotServer::Deliver(const std::string& login, const std::string& folder,
                            const std::string& rfc822) {
    const auto out = RunProgram({kLda, "-c", dir_ + "/dovecot.conf", "-d", login, "-m",
                                 DoveadmMailbox(folder, options_.fsLayout)},
                                rfc822);
    if (out.code != 0) Fail("dovecot-lda", login + " " + folder, out.err + out.out);
}

std::string DovecotServer::Doveadm(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {kDoveadm, "-c", dir_ + "/dovecot.conf"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto out = RunProgram(argv);
    if (out.code != 0) {
        std::string command;
        for (const auto& a : args) command += (command.empty() ? "" : " ") + a;
        Fail("doveadm", command, out.err);
    }
    return out.out;
}

std::vector<DovecotServer::Message> DovecotServer::Messages(const std::string& login,
                                                            const std::string& folder) const {
    const std::string text =
        Doveadm({"-f", "tab", "fetch", "-u", login,
                 "uid date.received.unixtime size.physical flags hdr.message-id", "mailbox",
                 DoveadmMailbox(folder, options_.fsLayout)});
    std::vector<Message> messages;
    std::istringstream in(text);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            header = false;
            continue;
        }
        if (line.empty()) continue;
        const auto f = SplitTabs(line);
        if (f.size() < 5) Fail("doveadm fetch", login + " " + folder, "unexpected line: " + line);
        Message m;
        m.uid = std::stoll(f[0]);
        m.received = std::stoll(f[1]);
        m.size = std::stoll(f[2]);
        m.flags = WithoutRecent(f[3]);
        m.messageId = f[4];
        messages.push_back(std::move(m));
    }
    return messages;
}

std::vector<std::string> DovecotServer::Folders(const std::string& login) const {
    const std::string text = Doveadm({"mailbox", "list", "-u", login});
    std::vector<std::string> folders;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (!options_.fsLayout) {
            for (char& c : line)
                if (c == '.') c = '/';
        }
        folders.push_back(line);
    }
    return folders;
}

}  // namespace localplatform::testing
