#include "localplatform/store/testing/dovecot_server.h"

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
using platform::testing::RunProgram;
using platform::testing::StartServer;
using platform::testing::StopServer;
using platform::testing::WritePrivateFile;

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kDoveadm = "/usr/bin/doveadm";
constexpr const char* kLda = "/usr/lib/dovecot/dovecot-lda";

[[noreturn]] void Fail(const std::string& what, const std::string& object,
                       const std::string& reason) {
    throw platform::Error(platform::err::kFail, platform::Describe(what, object, reason, 0));
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
            const std::string owner =
                options_.mailAccount.empty() ? "nobody" : options_.mailAccount;
            const passwd* pw = ::getpwnam(owner.c_str());
            if (pw == nullptr) Fail("getpwnam", owner, "no such account");
            mailUid_ = pw->pw_uid;
            mailGid_ = pw->pw_gid;
        } else {
            mailUid_ = ::geteuid();
            mailGid_ = ::getegid();
        }
        fs::create_directories(dir_ + "/mail");
        fs::create_directories(dir_ + "/run");
        if (::chown((dir_ + "/mail").c_str(), mailUid_, mailGid_) != 0)
            Fail("chown", dir_ + "/mail", std::strerror(errno));
        port_ = options_.port != 0 ? options_.port : FreeLoopbackPort();
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
           ::access(kLda, X_OK) == 0 && ImapClientAvailable() &&
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

std::string DovecotServer::UserPassdb() const {
    if (!options_.proxy) {
        return "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + dir_ + "/passwd\n}\n";
    }
    // The user's entry, found by its address: its password checks a login
    // of its own, and its host attribute names its backend. A master
    // user's login checks no password here (the master passdb did), and
    // the backend is logged in to through the backends' master user.
    const auto& p = *options_.proxy;
    WritePrivateFile(dir_ + "/dovecot-ldap.conf.ext",
                     "uris = " + p.ldapUri + "\ndn = " + p.bindDn + "\ndnpass = " + p.bindPassword +
                         "\nbase = " + p.base +
                         "\nscope = subtree\nauth_bind = no\n"
                         "pass_filter = (&(objectClass=user)(mail=%u))\n"
                         "pass_attrs = userPassword=password, =proxy=y, =host=%{ldap:host}, "
                         "=port=" +
                         std::to_string(p.backendPort) + ", =master=" + options_.masterUser +
                         ", =pass=" + options_.masterPassword + "\n",
                     0644);
    return "passdb {\n  driver = ldap\n  args = " + dir_ + "/dovecot-ldap.conf.ext\n}\n";
}

void DovecotServer::WriteConfiguration() {
    std::string users;
    for (const auto& u : options_.users) users += u.login + ":{PLAIN}" + u.password + "::::::\n";
    WritePrivateFile(dir_ + "/passwd", users, 0644);
    WritePrivateFile(dir_ + "/masters",
                     options_.masterUser + ":{PLAIN}" + options_.masterPassword + "::::::\n", 0644);
    WritePrivateFile(dir_ + "/master-password", options_.masterPassword + "\n", 0600);

    const bool root = ::geteuid() == 0;
    const std::string mailUser = UserName(mailUid_);
    const std::string mailGroup = GroupName(mailGid_);
    std::ostringstream conf;
    conf << "base_dir = " << dir_ << "/run\n"
         << "state_dir = " << dir_ << "/state\n"
         << "instance_name = quellix-test\n"
         << "log_path = " << dir_ << "/dovecot.log\n"
         << "protocols = imap\n"
         << "listen = " << options_.address << "\n"
         << "ssl = no\n"
         << "disable_plaintext_auth = no\n"
         << "auth_mechanisms = plain login\n"
         // A refused login is answered at once, not after the two seconds
         // that slow a password guesser.
         << "auth_failure_delay = 0\n"
         << "auth_master_user_separator = *\n"
         << "mail_location = " << MailLocation() << "\n"
         << "first_valid_uid = 1\n"
         << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << dir_
         << "/masters\n  master = yes\n  pass = yes\n}\n"
         << UserPassdb() << "userdb {\n  driver = static\n  args = uid=" << mailUser
         << " gid=" << mailGroup << " home=" << dir_ << "/mail/%d/%n\n}\n"
         << "service imap-login {\n  inet_listener imap {\n    address = " << options_.address
         << "\n    port = " << port_ << "\n  }\n  inet_listener imaps {\n    port = 0\n  }\n";
    if (!root) conf << "  chroot =\n";
    conf << "}\n";
    if (!root) {
        // Without root, every service runs as the one account there is.
        conf << "default_internal_user = " << mailUser << "\n"
             << "default_internal_group = " << mailGroup << "\n"
             << "default_login_user = " << mailUser << "\n";
    }
    // Nor does a refused login make the next ones from loopback wait longer.
    conf << "service anvil {\n"
         << "  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n";
    if (!root) conf << "  chroot =\n";
    conf << "}\n";
    WritePrivateFile(dir_ + "/dovecot.conf", conf.str(), 0644);
}

void DovecotServer::Start() {
    if (pid_ > 0) return;
    // A master killed while it started may leave the dot-lock of its list of
    // instances behind, and the next one would wait for it to go stale
    // before it starts a single process. None of this folder runs now.
    std::error_code ec;
    fs::remove(dir_ + "/state/instances.lock", ec);
    // -F: in the foreground, so the pid is the master's.
    pid_ = StartServer({kDovecot, "-F", "-c", dir_ + "/dovecot.conf"}, dir_ + "/dovecot.out", port_,
                       options_.address);
}

void DovecotServer::Stop() {
    StopServer(pid_, port_, options_.address);
    pid_ = -1;
}

ImapLogin DovecotServer::MasterLogin(const std::string& login) const {
    return {port_, login + "*" + options_.masterUser, dir_ + "/master-password", "",
            options_.address};
}

int64_t DovecotServer::Append(const std::string& login, const std::string& folder,
                              const std::string& rfc822, int64_t received,
                              const std::string& flags) {
    return ImapAppend(MasterLogin(login), folder, rfc822, received, flags);
}

std::vector<int64_t> DovecotServer::Append(const std::string& login, const std::string& folder,
                                           const std::vector<ImapAppended>& messages) {
    return ImapAppend(MasterLogin(login), folder, messages);
}

void DovecotServer::CreateFolder(const std::string& login, const std::string& folder) {
    ImapCreate(MasterLogin(login), folder);
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
        Message m = ParseFetchLine(line, folder);
        m.flags = WithoutRecent(m.flags);
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
