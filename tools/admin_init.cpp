// quellix-admin init and check: a server set up in one step, and the checks
// an administrator runs when a run failed.
//
// init writes the platform configuration (refusing to replace one without
// --force), makes the state and data folders with their owners and modes,
// makes what the embedded platform lacks (the embedded directory's entries
// of this server, the store with this server's namespace and system
// mailbox), and then runs the checks of check. Runs as root on a server (it
// gives the data folder to the service account), or as any account for a
// folder of its own. Reads the options, answers typed on a terminal, a
// password file, the configuration and the directory's entries.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "localplatform/config/mail_store_settings.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/store/item_store.h"
#include "platform/ado.h"
#include "platform/message.h"
#include "setup/core/environment.h"
#include "tools/admin_checks.h"
#include "tools/admin_verbs.h"

namespace admin {
namespace {

using localplatform::PlatformConfig;

constexpr const char* kInitUsage =
    "usage: quellix-admin [--config FILE] init [OPTIONS]\n"
    "\n"
    "Writes the platform configuration (--config, else $QUELLIX_CONFIG, else\n"
    "/etc/quellix/platform.conf) with the keys below and every other key at its\n"
    "default, commented; makes the folders; makes what an embedded platform lacks\n"
    "(this server's entries in the embedded directory, the store with this\n"
    "server's namespace and system mailbox); then runs the checks of 'check'.\n"
    "On a terminal it asks for each value not given; otherwise the defaults hold.\n"
    "\n"
    "  --computer-name NAME     this server's short name (default: the host name)\n"
    "  --domain DNS-NAME        this server's domain (default: the host's domain)\n"
    "  --directory URI          ldb:///path/file.ldb (the embedded file, default\n"
    "                           <data-dir>/directory.ldb) or ldap://host:port,\n"
    "                           ldaps://..., ldapi://...\n"
    "  --bind-dn DN             the directory's bind DN (anonymous when not given)\n"
    "  --password-file FILE|-   the bind password: the first line of FILE, which\n"
    "                           must be the service account's (or root's), mode\n"
    "                           0600, and is named in the configuration; - reads\n"
    "                           it from standard input into the configuration\n"
    "  --transport T            sendmail (the system's /usr/sbin/sendmail: the\n"
    "                           default where there is one), pickup (files in\n"
    "                           <data-dir>/pickup: the default elsewhere), or\n"
    "                           smtp://host:port, smtps://host:port\n"
    "  --store PATH             the store database (default <data-dir>/store.db)\n"
    "  --mailstore LOCATION     the mail server that holds this server's mailboxes:\n"
    "                           maildir:/var/vmail/%d/%n/Maildir (their Maildirs)\n"
    "                           or imap://host, imaps://host (then set its\n"
    "                           mailstore.<domain>.* login keys); without it the\n"
    "                           store holds the mailboxes itself\n"
    "  --state-dir DIR          default /var/lib/quellix (root's: catalog, class\n"
    "                           registry, the event service's record and lock)\n"
    "  --data-dir DIR           default <state-dir>/data (the service account's:\n"
    "                           store, history, directory, tmp/, pickup/)\n"
    "  --account NAME           the service account (default quellix as root,\n"
    "                           else the calling account)\n"
    "  --unit-dir DIR           where the service's drop-in goes (default\n"
    "                           /etc/systemd/system): as root, init opens a data\n"
    "                           folder outside the state folder and the mapped\n"
    "                           Maildirs to the service (ReadWritePaths=)\n"
    "  --test-mail ADDRESS      send a test message there through the transport\n"
    "  --force                  replace an existing configuration\n"
    "  --yes                    ask nothing, even on a terminal\n"
    "\n"
    "exit codes: 0 configured and every check passed, 1 a step or a check failed\n"
    "(each says what is missing), 2 bad usage\n";

// ---- init -------------------------------------------------------------------

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
};

std::optional<Account> LookUpAccount(const std::string& name) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return Account{found->pw_uid, found->pw_gid, name};
}

std::string CallingAccountName() {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::to_string(geteuid());
    return found->pw_name;
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

// Makes a folder (when missing) and gives it owner and mode, through a
// descriptor opened without following a link, so a link put in its place
// is refused rather than followed.
void MakeFolder(Report& r, const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    const bool made = mkdir(path.c_str(), mode) == 0;
    if (!made && errno != EEXIST)
        Fail("cannot make the folder " + path + ": " + std::strerror(errno));
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) Fail("cannot open the folder " + path + " (a link?): " + std::strerror(errno));
    const bool ok = fchown(fd, uid, gid) == 0 && fchmod(fd, mode) == 0;
    const int error = errno;
    close(fd);
    if (!ok) Fail("cannot set the owner and mode of " + path + ": " + std::strerror(error));
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    if (made) {
        r.Made(path + " (" + text + ")");
    } else {
        r.Ok(path + " (" + text + ")");
    }
}

// Gives the files a service writes in the data folder to the account, 0600;
// links are left alone (never followed).
void GiveDataFiles(const std::string& dataDir, const std::vector<std::string>& names,
                   const Account& account) {
    for (const auto& name : names) {
        const std::string path = dataDir + "/" + name;
        // The folder is the account's: a link is not followed, and a FIFO
        // put in a file's place does not hold us up.
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) continue;  // not made (yet)
        if (fd < 0) Fail("cannot open " + path + " (a link?): " + std::strerror(errno));
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            Fail(path + " is not a plain file: left alone");
        }
        const bool ok = fchown(fd, account.uid, account.gid) == 0 && fchmod(fd, 0600) == 0;
        const int error = errno;
        close(fd);
        if (!ok) Fail("cannot give " + path + " to " + account.name + ": " + std::strerror(error));
    }
}

// A value from the options, else asked on a terminal, else the default.
std::string Value(const Args& args, const std::string& key, const std::string& question,
                  const std::string& fallback, bool ask) {
    if (args.Has(key)) return args.Get(key, "");
    if (!ask) return fallback;
    std::printf("%s [%s]: ", question.c_str(), fallback.c_str());
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line)) Fail("no answer for " + question);
    line = platform::Trim(line);
    return line.empty() ? fallback : line;
}

std::string ReadPassword(const std::string& file, bool ask) {
    std::string line;
    if (file == "-") {
        std::getline(std::cin, line);
    } else if (!file.empty()) {
        std::ifstream in(file);
        if (!in) Fail("cannot read the password file " + file + ": " + std::strerror(errno));
        std::getline(in, line);
    } else if (ask) {
        std::printf("Bind password (not shown): ");
        std::fflush(stdout);
        termios old{};
        const bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
        if (tty) {
            termios quiet = old;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
        std::getline(std::cin, line);
        if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::printf("\n");
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// A key's line. A value is one line of the file: a line break or another
// control character in it would make a line of its own, so it is refused.
std::string KeyLine(const std::string& key, const std::string& value) {
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            Fail("the value for " + key +
                 " holds a control character: " + platform::VisibleText(value));
    }
    return key + " = " + value + "\n";
}

std::string ConfigurationText(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::ostringstream out;
    out << "# The local platform's configuration, written by 'quellix-admin init'.\n"
           "# Every key and its default: localplatform/config/platform_config.h and\n"
           "# README. 'quellix-admin check' checks what this file names.\n\n";
    for (const auto& [key, value] : keys) out << KeyLine(key, value);
    out << "\n# Every other key at its default:\n"
           "# directory.sasl_mech =\n"
           "# directory.starttls = no\n"
           "# directory.gc_port = 3268\n"
           "# directory.ldap_port = 389\n"
           "# directory.write_uri =\n"
           "# directory.dns_host_name =\n"
           "# directory.network_timeout = 10\n"
           "# directory.hosts =\n"
           "# classes = <state_dir>/classes.db\n"
           "# catalog = <state_dir>/catalog.db\n"
           "# catalog.busy_timeout_ms = 10000\n"
           "# store.busy_timeout_ms = 10000\n"
           "# store.busy_budget_ms = 60000\n"
           "# store.run_lock_wait_ms = 60000\n"
           "# store.synchronous = normal\n"
           "# store.secure_delete = fast\n"
           "# store.batch_ms = 100\n"
           "# store.move_manifest_keep_days = 90\n"
           "# run.workers = <1 on the item store alone; 2 a core, up to 8, with a mail store>\n"
           "# history.keep_days = 90\n"
           "# history.busy_timeout_ms = 10000\n"
           "# metrics.textfile =\n"
           "# mail.starttls = no\n"
           "# mail.smtp_user =\n"
           "# mail.smtp_password =\n"
           "# mail.helo = <server.computer_name>.<server.domain_dns_name>\n"
           "# mail.ca_file =\n"
           "# mail.connect_timeout = 30\n"
           "# mail.timeout = 300\n"
           "# timezone.active_time_bias =\n"
           "# catch_up = no\n"
           "# eventd.poll_ms = 2000\n"
           "# eventd.run_limit_s = 3600\n"
           "# eventd.lock_wait_ms = 10000\n"
           "# eventd.record = <state_dir>/eventd.record\n"
           "# eventd.lock = <state_dir>/quellix-eventd.pid\n";
    return out.str();
}

// True when the file holds a key line: a file of comments only (as the
// package installs it) is no configuration yet.
bool HoldsConfiguration(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string t = platform::Trim(line);
        if (!t.empty() && t[0] != '#') return true;
    }
    return false;
}

// Writes the file under a temporary name in its folder, with its owner and
// mode set before a byte is written, and renames it into place.
void WriteConfiguration(const std::string& path, const std::string& text, gid_t group,
                        mode_t mode = 0640) {
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot write " + temp + ": " + std::strerror(errno));
    bool ok = fchown(fd, geteuid(), group) == 0 && fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        ok = n > 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        const std::string cause = std::strerror(ok ? errno : error);
        unlink(temp.c_str());
        Fail("cannot write " + path + ": " + cause);
    }
}

// The folder a mail store's Maildirs lie in: the location's path up to its
// first template (%d, %n, ~ ...); empty when that leaves no folder below
// the root.
std::string MaildirRoot(const std::string& location) {
    if (!location.starts_with("maildir:/")) return {};
    std::string path = location.substr(8);
    path = path.substr(0, path.find_first_of("%~"));
    path = path.substr(0, path.rfind('/'));
    return path.size() > 1 ? path : std::string();
}

// The service runs with the file system read-only but for its state folder
// (ProtectSystem=strict, ProtectHome=read-only): a data folder elsewhere and
// the Maildirs a namespace is mapped to are opened for writing by a drop-in
// of init's own, written again by every init ("-": a folder that does not
// exist is no error). Only as root, and only where the unit folder exists.
void WriteServiceDropIn(Report& r, const std::string& unitDir,
                        const std::vector<std::string>& paths) {
    if (geteuid() != 0) return;
    struct stat st {};
    if (lstat(unitDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    const std::string folder = unitDir + "/quellix-eventd.service.d";
    const std::string file = folder + "/quellix-admin-init.conf";
    if (paths.empty()) {
        if (unlink(file.c_str()) == 0) r.Made("service drop-in " + file + " removed: none needed");
        return;
    }
    if (access(folder.c_str(), F_OK) != 0) MakeFolder(r, folder, 0, 0, 0755);
    std::string text =
        "# Written by quellix-admin init, and again by each init: the folders the\n"
        "# runs write besides the state folder (the data folder, mapped Maildirs).\n"
        "[Service]\n";
    std::string shown;
    for (const std::string& p : paths) {
        // One word each, quoted: a blank in a path does not split it.
        (void)KeyLine("ReadWritePaths", p);  // refuses a control character
        if (p.find_first_of("\"\\") != std::string::npos)
            Fail("the folder " + platform::VisibleText(p) + " holds a quote or a backslash");
        text += "ReadWritePaths=\"-" + p + "\"\n";
        shown += (shown.empty() ? "" : " ") + p;
    }
    WriteConfiguration(file, text, 0, 0644);
    r.Made("service drop-in " + file + " (ReadWritePaths=" + shown +
           "; systemctl daemon-reload takes it in)");
}

// The store an init before made for another domain (init --force with a
// new --domain): its namespace gives way when it holds nothing but what
// init made (the system mailbox's folders), as the setup program takes the
// store's first namespace. A store holding anything more is another
// server's data: left alone, and the way out said.
void ReplaceEmptyNamespace(Report& r, localplatform::ItemStore& items,
                           const std::vector<std::string>& namespaces, const std::string& domain) {
    const std::string& old = namespaces.front();
    const auto root = items.Lookup({old});
    size_t mailboxes = 0;
    size_t held = 0;
    if (root) {
        for (const int64_t folder : items.FolderSubtree(root->id)) {
            const auto row = items.Get(folder);
            if (row && row->kind == localplatform::ItemKind::kMailbox &&
                !platform::StartsWithNoCase(row->name, "SystemMailbox{"))
                ++mailboxes;
            held += items.ItemsIn(folder).size();
        }
    }
    if (!root || namespaces.size() > 1 || mailboxes > 0 || held > 0) {
        Fail("the store " + items.Path() + " serves " + old + " (" + std::to_string(mailboxes) +
             " mailboxes, " + std::to_string(held) + " items" +
             (namespaces.size() > 1 ? ", " + std::to_string(namespaces.size()) + " namespaces"
                                    : std::string()) +
             "), not " + domain + ": it is left as it is. Give --store a new file for " + domain +
             ", or --domain " + old);
    }
    (void)items.DeleteItem(root->id);
    r.Made("namespace " + old + " taken out of the store: it held only what init made");
}

// A seed for the system mailbox's GUID, so that every server's differs.
uint64_t RandomSeed() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != sizeof seed)
        seed = static_cast<uint64_t>(time(nullptr));
    return seed;
}

// This server's entries in the embedded directory when it has none: the
// naming context, the server with its mailbox store, system attendant and
// system mailbox (what the mail server's own setup makes on a real one).
void MakeEmbeddedServer(Report& r, const std::string& file, const std::string& server,
                        const std::string& domain) {
    const bool exists = access(file.c_str(), F_OK) == 0;
    auto dir = localplatform::directory::OpenLdbDirectory(file, {.create = true, .batch = true});
    if (exists) return;  // a directory of its own: only checked
    localplatform::directory::GeneratorOptions options;
    options.users = 0;
    options.servers = {platform::Upper(server)};
    options.domain = domain;
    options.seed = RandomSeed();
    const size_t n = localplatform::directory::LoadEntries(
        *dir, localplatform::directory::GenerateDirectory(options));
    r.Made("embedded directory " + file + " with this server's " + std::to_string(n) +
           " entries (system attendant, system mailbox); load the mailbox users with "
           "'quellix-admin directory load'");
}

int Init(const Args& args) {
    const bool ask = !args.Has("yes") && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    const std::string path = PlatformConfig::DefaultPath();
    if (access(path.c_str(), F_OK) == 0 && HoldsConfiguration(path) && !args.Has("force")) {
        std::fprintf(stderr,
                     "quellix-admin init: %s already holds a configuration; 'quellix-admin "
                     "check' checks it, --force replaces it\n",
                     path.c_str());
        return platform::kExitFailed;
    }
    const bool root = geteuid() == 0;
    const std::string accountName = args.Get("account", root ? "quellix" : CallingAccountName());
    const auto account = LookUpAccount(accountName);
    if (!account) {
        std::fprintf(stderr,
                     "quellix-admin init: the service account %s does not exist (the package "
                     "makes it; else: adduser --system --group --no-create-home %s)\n",
                     accountName.c_str(), accountName.c_str());
        return platform::kExitFailed;
    }
    if (!root && account->uid != geteuid()) {
        std::fprintf(stderr,
                     "quellix-admin init: only root can give the data folder to %s; run as root "
                     "or name your own account with --account\n",
                     accountName.c_str());
        return platform::kExitFailed;
    }

    // The host's names are the defaults, as the platform itself takes them.
    const PlatformConfig hostDefaults;
    const std::string server = platform::Lower(
        Value(args, "computer-name", "This server's short name", hostDefaults.ComputerName(), ask));
    const std::string domain = platform::Lower(
        Value(args, "domain", "This server's DNS domain", hostDefaults.DomainDnsName(), ask));
    const std::string stateDir = Value(args, "state-dir", "State folder", "/var/lib/quellix", ask);
    const std::string dataDir = Value(args, "data-dir", "Data folder", stateDir + "/data", ask);
    const std::string directory =
        Value(args, "directory", "Directory (ldb:///file or ldap://host:port)",
              "ldb://" + dataDir + "/directory.ldb", ask);
    const bool embedded = localplatform::directory::IsEmbeddedUri(directory);
    const std::string bindDn =
        embedded ? "" : Value(args, "bind-dn", "Bind DN (empty: anonymous)", "", ask);
    // A password file stays where it is, named by the configuration, once
    // it is the service account's (or root's) alone, as the runs will read
    // it; a password given on standard input or typed goes into the
    // configuration.
    const std::string passwordFile = bindDn.empty() ? "" : args.Get("password-file", "");
    const bool fromFile = !passwordFile.empty() && passwordFile != "-";
    if (fromFile) {
        if (passwordFile[0] != '/')
            Fail("--password-file " + passwordFile + " is not an absolute path");
        try {
            (void)localplatform::ReadPasswordFile(passwordFile, account->uid);
        } catch (const platform::Error& e) {
            Fail(e.Description());
        }
        // The runs read it as the service account: root's own file would
        // pass here and fail every run.
        struct stat st {};
        if (lstat(passwordFile.c_str(), &st) == 0 && st.st_uid != account->uid) {
            Fail("the password file " + passwordFile + " is not " + account->name +
                 "'s, the account the runs read it as: chown " + account->name + " " +
                 passwordFile);
        }
    }
    const std::string password = bindDn.empty() || fromFile ? "" : ReadPassword(passwordFile, ask);
    // Where the host has a sendmail, reports go through it, as cron's mail
    // does; else they wait in the pickup folder.
    const bool hasSendmail = access("/usr/sbin/sendmail", X_OK) == 0;
    const std::string transport =
        Value(args, "transport", "Mail transport (sendmail, pickup or smtp://host:port)",
              hasSendmail ? "sendmail" : "pickup", ask);
    const std::string store = Value(args, "store", "Store database", dataDir + "/store.db", ask);
    if (server.empty() || domain.empty()) Fail("this server's name and domain are needed");
    // The namespace's mailboxes then come from the mail server: its
    // location is checked as a run reads it, before anything is written.
    const std::string mailstore = args.Get("mailstore", "");
    if (!mailstore.empty()) {
        const std::string lower = platform::Lower(mailstore);
        if (!lower.starts_with("maildir:/") && !lower.starts_with("imap://") &&
            !lower.starts_with("imaps://")) {
            Fail("--mailstore " + platform::VisibleText(mailstore) +
                 ": none of maildir:/PATH, imap://HOST and imaps://HOST");
        }
    }

    std::vector<std::pair<std::string, std::string>> keys = {
        {"server.computer_name", server},
        {"server.domain_dns_name", domain},
        {"state_dir", stateDir},
        // Named even where it is the default: its owner is the account the
        // runs go as, whom root's programs read that account's password
        // files for.
        {"data_dir", dataDir},
        {"store", store},
        {"history", dataDir + "/history.db"},
        {"directory", directory},
    };
    if (!bindDn.empty()) keys.emplace_back("directory.bind_dn", bindDn);
    if (!password.empty()) keys.emplace_back("directory.password", password);
    if (fromFile) keys.emplace_back("directory.password_file", passwordFile);
    if (!mailstore.empty()) keys.emplace_back("mailstore." + domain, mailstore);
    keys.emplace_back("mail.transport", transport);
    keys.emplace_back("mail.pickup_dir", dataDir + "/pickup");
    keys.emplace_back("temp_dir", dataDir + "/tmp");

    const std::string text = ConfigurationText(keys);  // refuses a value of two lines
    Report r;
    // The configuration's folder is root's (or the caller's), readable by all;
    // the file is readable by the service account's group only: it may hold
    // the bind password.
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string folder = path.substr(0, slash);
        if (access(folder.c_str(), F_OK) != 0) MakeFolder(r, folder, geteuid(), getegid(), 0755);
    }
    WriteConfiguration(path, text, account->gid);
    r.Made("configuration " + path + " (0640, group " + accountName + ")");

    MakeFolder(r, stateDir, geteuid(), getegid(), 0755);
    MakeFolder(r, dataDir, account->uid, account->gid, 0750);
    MakeFolder(r, dataDir + "/tmp", account->uid, account->gid, 0700);
    MakeFolder(r, dataDir + "/pickup", account->uid, account->gid, 0700);
    {
        std::vector<std::string> writes;
        if (!(dataDir + "/").starts_with(stateDir + "/")) writes.push_back(dataDir);
        if (const std::string root = MaildirRoot(mailstore); !root.empty()) writes.push_back(root);
        WriteServiceDropIn(r, args.Get("unit-dir", "/etc/systemd/system"), writes);
    }

    // From here on the platform is the one just written.
    setenv("QUELLIX_CONFIG", path.c_str(), 1);
    const PlatformConfig& config = PlatformConfig::Current();
    if (embedded) {
        MakeEmbeddedServer(r, localplatform::directory::EmbeddedPath(config.DirectoryUri()), server,
                           domain);
    }
    if (localplatform::ItemStore::Create()) r.Made("store " + config.StorePath());
    {
        auto items = localplatform::ItemStore::ForThisThread();
        if (const auto namespaces = items->Namespaces();
            !namespaces.empty() && !platform::EqualsNoCase(namespaces.front(), domain)) {
            ReplaceEmptyNamespace(r, *items, namespaces, domain);
        }
        if (items->Namespaces().empty()) {
            items->CreateNamespace(domain);
            r.Made("namespace " + domain + " in the store");
        }
    }
    // The system mailbox the directory names, in the store.
    {
        // Found as the checks find it; the checks below say what is missing.
        Report quiet;
        quiet.quiet = true;
        const std::string alias = CheckDirectory(quiet, config);
        if (!alias.empty()) {
            auto items = localplatform::ItemStore::ForThisThread();
            const std::string ns = items->Namespaces().front();
            if (!items->Lookup({ns, "MBX", alias})) {
                items->CreateMailbox(ns, alias, true);
                r.Made("system mailbox " + alias + " in the store");
            }
        }
    }
    GiveDataFiles(
        DataDir(config),
        {"store.db", "store.db-wal", "store.db-shm", "directory.ldb", "directory.ldb-lock"},
        *account);
    std::printf("\n");
    const int checks = RunChecks(args.Get("test-mail", ""));
    if (checks == platform::kExitOk) {
        std::printf(
            "Next: quellix-setup --module /usr/lib/quellix/Quellix.so install --identity %s "
            "--password-file FILE, then systemctl enable --now quellix-eventd\n",
            accountName.c_str());
    }
    return checks;
}

}  // namespace

int InitMain(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        std::printf("%s", kInitUsage);
        return platform::kExitOk;
    }
    try {
        const Args args = Split(std::vector<std::string>(argv, argv + argc), {"force", "yes"});
        if (!args.positional.empty()) throw UsageError("unexpected " + args.positional.front());
        for (const auto& [key, value] : args.options) {
            static const char* known[] = {"computer-name", "domain",    "directory", "bind-dn",
                                          "password-file", "transport", "store",     "state-dir",
                                          "data-dir",      "account",   "mailstore", "unit-dir",
                                          "test-mail",     "force",     "yes"};
            bool ok = false;
            for (const char* k : known) ok = ok || key == k;
            if (!ok) throw UsageError("unknown option --" + key);
        }
        return Init(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "quellix-admin init: %s\n%s", e.what(), kInitUsage);
        return platform::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quellix-admin init: %s\n", Described(e).c_str());
        return platform::kExitFailed;
    }
}

}  // namespace admin
