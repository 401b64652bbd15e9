#include "tools/admin_checks.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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
#include "selection/mailbox_selection.h"
#include "selection/server_names.h"
#include "setup/core/environment.h"
#include "tools/admin_verbs.h"

namespace admin {

using localplatform::PlatformConfig;

namespace {

constexpr const char* kCheckUsage =
    "usage: quellix-admin [--config FILE] check [--test-mail ADDRESS]\n"
    "\n"
    "Checks the platform configuration and each service it names, and says\n"
    "plainly what is missing: the configuration file and its folders; the\n"
    "directory (bind and root DSE), this server's system attendant and system\n"
    "mailbox in it, and the mailboxes homed on this server; the store, this\n"
    "server's namespace and the system mailbox's event folder in it; the marked\n"
    "mailboxes, reached in the store as a run reaches them (the first 200); the\n"
    "account that owns the data folder, whom runs go as, reading the\n"
    "configuration and writing the store, the history and the folders; the mail\n"
    "transport, with a test message to ADDRESS when asked. What quellix-setup\n"
    "needs to install is exactly what these checks find; run it after a failed\n"
    "run or a changed configuration.\n"
    "\n"
    "exit codes: 0 every check passed, 1 a check failed, 2 bad usage\n";

void CheckFolder(Report& r, const std::string& path, const char* role) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        r.Missing(std::string(role) + " " + path + " does not exist");
    } else if (!S_ISDIR(st.st_mode)) {
        r.Failed(std::string(role) + " " + path + " is not a folder (a link or a file)");
    } else if ((st.st_mode & S_IWOTH) != 0) {
        r.Failed(std::string(role) + " " + path + " can be written by every account");
    } else {
        r.Ok(std::string(role) + " " + path);
    }
}

// The store: it opens, holds this server's namespace first (the setup
// program takes the store's first namespace), and the system mailbox's
// event folder.
void CheckStore(Report& r, const PlatformConfig& config, const std::string& systemAlias) {
    try {
        auto store = localplatform::ItemStore::ForThisThread();
        r.Ok("store " + store->Path());
        const auto namespaces = store->Namespaces();
        const std::string domain = config.DomainDnsName();
        if (namespaces.empty()) {
            r.Missing("the store holds no namespace; make " + domain +
                      " (quellix-admin store create-namespace " + domain + ")");
            return;
        }
        if (!platform::EqualsNoCase(namespaces.front(), domain)) {
            r.Failed("the store's first namespace is " + namespaces.front() + ", not " + domain +
                     " (the setup program takes the first one)");
        } else {
            r.Ok("namespace " + namespaces.front());
        }
        if (systemAlias.empty()) return;
        if (store->Lookup(
                {namespaces.front(), "MBX", systemAlias, "StoreEvents", "GlobalEvents"})) {
            r.Ok("event folder of " + systemAlias + " in the store");
        } else {
            r.Missing("the system mailbox " + systemAlias +
                      " in the store, with StoreEvents/GlobalEvents (quellix-admin store "
                      "create-mailbox " +
                      namespaces.front() + " '" + systemAlias + "' --system)");
        }
    } catch (const std::exception& e) {
        r.Failed("store " + config.StorePath() + ": " + Described(e));
    }
}

void CheckTransport(Report& r, const PlatformConfig& config, const std::string& testMail) {
    const std::string transport = config.MailTransport();
    const std::string lower = platform::Lower(transport);
    try {
        // What a report's sending reads, read as it reads it: a value it
        // would refuse fails here, not at the first report.
        (void)config.GetWholeNumber("mail.timeout", 300, 86400, "seconds", 1);
        (void)config.GetWholeNumber("mail.connect_timeout", 30, 86400, "seconds", 1);
        (void)config.GetChoice("mail.starttls", "no", {"no", "yes", "required"});
    } catch (const platform::Error& e) {
        r.Failed("mail transport " + transport + ": " + e.Description());
        return;
    }
    if (lower == "pickup") {
        // The transport makes a missing pickup folder (0700) with the first message.
        if (access(config.PickupDir().c_str(), F_OK) != 0) {
            r.Note("pickup folder " + config.PickupDir() + " is made with the first report");
        } else {
            CheckFolder(r, config.PickupDir(), "pickup folder (mail.transport = pickup)");
        }
        r.Note("reports wait in " + config.PickupDir() +
               " for a program that collects them: nothing delivers them from there");
    } else if (lower == "sendmail") {
        const std::string program = config.GetOr("mail.sendmail", "/usr/sbin/sendmail");
        if (program.empty() || program[0] != '/' || access(program.c_str(), X_OK) != 0) {
            r.Failed("mail transport sendmail: " + program +
                     " is not a program this account can run (mail.sendmail)");
            return;
        }
        r.Ok("mail transport sendmail (" + program + ")");
    } else if (lower.starts_with("smtp://") || lower.starts_with("smtps://")) {
        r.Ok("mail transport " + transport);
    } else {
        r.Failed("mail transport " + transport +
                 ": none of pickup, sendmail and an smtp:// or smtps:// URL (mail.transport)");
        return;
    }
    if (testMail.empty()) return;
    try {
        platform::Message message;
        message.SetFrom("Quellix <>");
        message.SetTo(testMail);
        message.SetSubject("Quellix test message from " + config.ComputerName() + "." +
                           config.DomainDnsName());
        message.SetTextBody(
            "This message was sent by 'quellix-admin' to check the mail "
            "transport " +
            transport + ".\r\n");
        message.Send();
        r.Ok("test message to " + testMail + " accepted by " + transport);
    } catch (const std::exception& e) {
        r.Failed("test message to " + testMail + " through " + transport + ": " + Described(e));
    }
}

// How many marked mailboxes check looks for: over IMAP each is a login.
constexpr size_t kMailboxesLookedFor = 200;

// The marked mailboxes as a run reaches them, by the URL forms of their
// alias: a directory whose mailboxes the store does not hold (a namespace
// not mapped to the mail server that has them) makes runs that clean
// nothing.
void CheckMarkedMailboxes(Report& r, const PlatformConfig& config, const std::string& searchRoot) {
    quellix::ServerNames server;
    if (auto unreadable = quellix::FindServerNames(server)) {
        r.Failed("this server's names for the mailboxes' URLs: " + unreadable->Description());
        return;
    }
    size_t marked = 0;
    std::vector<std::string> unreached;
    std::string why;  // the first mailbox's, as the store says it
    try {
        (void)quellix::ForEachTreatedMailbox(
            searchRoot, server.ServerName, 0, [&](const quellix::MailboxRow& row) {
                if (++marked > kMailboxesLookedFor) return;
                std::string said = quellix::kNoAddressReason;
                bool reached = false;
                for (const auto& attempt : quellix::FolderUrlTries(row, server, "")) {
                    if (!attempt.otherName.empty()) continue;  // the alias' own forms only
                    std::string url = attempt.url;
                    if (url.ends_with('/')) url.pop_back();  // the mailbox itself
                    try {
                        platform::Connection cnn;
                        cnn.SetProvider("ExOLEDB.DataSource");
                        cnn.Open(url);
                        reached = true;
                        break;
                    } catch (const platform::Error& e) {
                        // The first form's answer: the store's own URL.
                        if (said == quellix::kNoAddressReason) said = e.Description();
                    }
                }
                if (reached) return;
                unreached.push_back(
                    platform::VisibleText(row.alias.empty() ? row.name : row.alias));
                if (why.empty()) why = platform::VisibleText(said);
            });
    } catch (const std::exception& e) {
        r.Failed("directory search for the marked mailboxes: " + Described(e));
        return;
    }
    const size_t looked = std::min(marked, kMailboxesLookedFor);
    const std::string of = looked < marked ? " (of the first " + std::to_string(looked) + " of " +
                                                 std::to_string(marked) + " marked)"
                                           : "";
    if (unreached.empty()) {
        r.Ok(std::to_string(looked) + " marked mailboxes reached in the store" + of);
        return;
    }
    std::string names;
    for (size_t i = 0; i < unreached.size() && i < 5; ++i)
        names += (i == 0 ? "" : ", ") + unreached[i];
    if (unreached.size() > 5) names += ", ...";
    const std::string ns = config.DomainDnsName();
    r.Failed(std::to_string(unreached.size()) + " of " + std::to_string(looked) +
             " marked mailboxes cannot be reached in the store" + of + ": " + names + " (" + why +
             "); a run cleans nothing there. Map the namespace to the mail server that holds "
             "them (mailstore." +
             ns +
             " = maildir:/var/vmail/%d/%n/Maildir or imap://HOST, with quellix-admin init "
             "--mailstore LOCATION), or make them (quellix-admin store create-mailbox " +
             ns + " ALIAS)");
}

// What an account may do to a file by its mode: read (4) or write (2).
bool Permits(const struct stat& st, uid_t uid, const std::vector<gid_t>& groups, int what) {
    if (uid == 0) return true;
    if (st.st_uid == uid) return (st.st_mode & (what << 6)) != 0;
    if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end())
        return (st.st_mode & (what << 3)) != 0;
    return (st.st_mode & what) != 0;
}

std::string OwnerAndMode(const struct stat& st) {
    const passwd* pw = getpwuid(st.st_uid);
    const group* gr = getgrgid(st.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return (pw != nullptr ? std::string(pw->pw_name) : std::to_string(st.st_uid)) + ":" +
           (gr != nullptr ? std::string(gr->gr_name) : std::to_string(st.st_gid)) + " " + mode;
}

// The account that owns the data folder is the one the runs go as (init
// gave it the folder): it must read the configuration, and write every file
// and folder a run writes. A run as another account fails on the first of
// them, so each is said here with its owner and mode.
void CheckAccount(Report& r, const PlatformConfig& config, const std::string& configPath) {
    const std::string data = DataDir(config);
    struct stat dataSt {};
    if (stat(data.c_str(), &dataSt) != 0) return;  // the folder's own check said so
    const passwd* pw = getpwuid(dataSt.st_uid);
    if (pw == nullptr) {
        r.Failed("data folder " + data + " belongs to uid " + std::to_string(dataSt.st_uid) +
                 ", which no account has");
        return;
    }
    const std::string name = pw->pw_name;
    const uid_t uid = pw->pw_uid;
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(name.c_str(), pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        (void)getgrouplist(name.c_str(), pw->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    const std::string who = "account " + name + " (the data folder's owner, whom runs go as)";
    int problems = 0;
    // A file the account reads or writes; one missing is made in its folder.
    const auto need = [&](const std::string& path, int what, const std::string& fix) {
        struct stat st {};
        std::string target = path;
        if (stat(path.c_str(), &st) != 0) {
            const size_t slash = path.rfind('/');
            target = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
            if (stat(target.c_str(), &st) != 0) return;
            what = 2;
        }
        if (Permits(st, uid, groups, what)) return;
        ++problems;
        r.Failed(who + " cannot " + (what == 4 ? "read " : "write ") + target + " (" +
                 OwnerAndMode(st) + "): " + fix);
    };
    struct stat cst {};
    const group* cgr = stat(configPath.c_str(), &cst) == 0 ? getgrgid(cst.st_gid) : nullptr;
    need(configPath, 4,
         cgr != nullptr ? "usermod -a -G " + std::string(cgr->gr_name) + " " + name
                        : "give it the configuration's group");
    const std::string chown = "chown " + name + ": it (quellix-admin init --account " + name +
                              " gives the data folder to it)";
    need(data, 2, chown);
    need(config.StorePath(), 2, chown);
    need(config.HistoryPath(), 2, chown);
    need(config.TempDir(), 2, chown);
    if (platform::EqualsNoCase(config.MailTransport(), "pickup"))
        need(config.PickupDir(), 2, chown);
    if (const auto metrics = config.Get("metrics.textfile"); metrics && !metrics->empty()) {
        const size_t slash = metrics->rfind('/');
        if (slash != std::string::npos)
            need(metrics->substr(0, slash == 0 ? 1 : slash), 2,
                 "let it write there (metrics.textfile is written under a new name and renamed)");
    }
    if (problems == 0)
        r.Ok(who + " reads the configuration and writes the store, history and folders");
}

}  // namespace

std::string Described(const std::exception& e) {
    if (const auto* pe = dynamic_cast<const platform::Error*>(&e)) {
        return pe->Description() + " (" + std::to_string(pe->Number()) + ")";
    }
    return e.what();
}

std::string DataDir(const PlatformConfig& config) {
    if (auto d = config.Get("data_dir")) return *d;
    const std::string store = config.StorePath();
    const size_t slash = store.rfind('/');
    return slash == std::string::npos ? "." : store.substr(0, slash == 0 ? 1 : slash);
}

// The directory, as the setup program finds this server in it: the root DSE,
// the system attendant of this server, its system mailbox (the one on the
// attendant's home store) and the mailboxes homed here. Returns the system
// mailbox's alias, empty when there is none.
std::string CheckDirectory(Report& r, const PlatformConfig& config, std::string* markedUnder) {
    setup::SetupContext context;
    const auto errors = setup::DiscoverEnvironment(context);
    bool reached = true;
    for (const auto& e : errors) {
        if (e.where == setup::kStoreShare) continue;  // the store is checked on its own
        r.Failed("directory " + config.DirectoryUri() + ": " + e.where + ": " + e.description);
        reached = false;
    }
    if (!reached) return {};
    r.Ok("directory " + config.DirectoryUri() + " answers; search root " + context.strSearchRoot);

    std::string homeMdb;
    try {
        homeMdb = setup::GetSystemAttendantHomeMDB(context.cnn, context.strSearchRoot,
                                                   context.ShortComputerName);
    } catch (const std::exception& e) {
        r.Failed("directory search for the system attendant: " + Described(e));
        return {};
    }
    if (homeMdb.empty()) {
        r.Missing("this server's system attendant: no entry \"CN=Microsoft System Attendant,CN=" +
                  platform::Upper(context.ShortComputerName) + ",...\" with a homeMDB under " +
                  context.strSearchRoot +
                  " (quellix-setup finds this server's system mailbox through it)");
        return {};
    }
    r.Ok("system attendant of " + platform::Upper(context.ShortComputerName) + ", home store " +
         homeMdb);

    std::string alias;
    try {
        platform::Command cmd;
        cmd.SetActiveConnection(context.cnn);
        cmd.SetCommandText(setup::SystemMailboxQuery(context.strSearchRoot));
        cmd.Properties("searchscope").SetValue(platform::Variant(int32_t{2}));
        platform::Recordset rs = cmd.Execute();
        for (; !rs.Eof() && alias.empty(); rs.MoveNext()) {
            const std::string home = platform::Trim(rs.Fields("homeMDB").Value().ToStringOrEmpty());
            if (platform::EqualsNoCase(home, homeMdb))
                alias = rs.Fields("mailNickName").Value().ToStringOrEmpty();
        }
        rs.Close();
    } catch (const std::exception& e) {
        r.Failed("directory search for the system mailbox: " + Described(e));
        return {};
    }
    if (alias.empty()) {
        r.Missing(
            "this server's system mailbox: no person \"SystemMailbox{...}\" with a mailbox "
            "(msExchMailboxGuid) and homeMDB " +
            homeMdb);
        return {};
    }
    r.Ok("system mailbox " + alias);

    try {
        const setup::MailboxLists lists = setup::GetUsersWithMailboxes(
            context.cnn, context.strSearchRoot, context.ShortComputerName, "", {});
        const size_t n = lists.registerList.size() + lists.unregisterList.size();
        const std::string counts = std::to_string(n) + " mailboxes homed on " +
                                   platform::Upper(context.ShortComputerName) + " (" +
                                   std::to_string(lists.unregisterList.size()) + " marked)";
        if (markedUnder != nullptr && !lists.unregisterList.empty())
            *markedUnder = context.strSearchRoot;
        if (n == 0) {
            // Not a failure: the setup program installs, and a run finds nothing to do.
            r.Note("no mailboxes homed on this server yet (msExchHomeServerName ending in cn=" +
                   platform::Upper(context.ShortComputerName) + ")");
        } else {
            r.Ok(counts);
        }
    } catch (const std::exception& e) {
        r.Failed("directory search for the mailboxes: " + Described(e));
    }
    return alias;
}

int RunChecks(const std::string& testMail) {
    Report r;
    const std::string path = PlatformConfig::DefaultPath();
    if (access(path.c_str(), R_OK) != 0) {
        std::printf("MISSING  configuration %s cannot be read: %s (quellix-admin init writes it)\n",
                    path.c_str(), std::strerror(errno));
        return platform::kExitFailed;
    }
    try {
        const PlatformConfig& config = PlatformConfig::Current();
        r.Ok("configuration " + path + ": server " + config.ComputerName() + "." +
             config.DomainDnsName());
        CheckFolder(r, config.StateDir(), "state folder");
        CheckFolder(r, DataDir(config), "data folder");
        std::string markedUnder;
        const std::string alias = CheckDirectory(r, config, &markedUnder);
        CheckStore(r, config, alias);
        if (!markedUnder.empty()) CheckMarkedMailboxes(r, config, markedUnder);
        CheckAccount(r, config, path);
        CheckTransport(r, config, testMail);
    } catch (const std::exception& e) {
        r.Failed("configuration " + path + ": " + Described(e));
    }
    if (r.failed == 0) {
        std::printf("Every check passed: quellix-setup can install on this server.\n");
        return platform::kExitOk;
    }
    std::printf("%d check%s failed: see the lines above.\n", r.failed, r.failed == 1 ? "" : "s");
    return platform::kExitFailed;
}
bool WantsHelp(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "help") return true;
    }
    return false;
}

int CheckMain(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        std::printf("%s", kCheckUsage);
        return platform::kExitOk;
    }
    try {
        const Args args = Split(std::vector<std::string>(argv, argv + argc), {});
        if (!args.positional.empty()) throw UsageError("unexpected " + args.positional.front());
        for (const auto& [key, value] : args.options) {
            if (key != "test-mail") throw UsageError("unknown option --" + key);
        }
        return RunChecks(args.Get("test-mail", ""));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "quellix-admin check: %s\n%s", e.what(), kCheckUsage);
        return platform::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quellix-admin check: %s\n", Described(e).c_str());
        return platform::kExitFailed;
    }
}

}  // namespace admin
