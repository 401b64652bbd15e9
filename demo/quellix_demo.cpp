// quellix-demo: builds a demo server in the configured state folder and
// shows a real cleanup run on it. The store gets this server's namespace with
// marked and unmarked mailboxes, a system mailbox, a destination mailbox and
// junk of many ages in "Spam" and "Spam/Older"; the embedded directory gets
// the mailbox users (one homed on another server); the registration item is
// written, Quellix.so registers itself, and the event host fires the item's
// timer. The run's log and the report message it dropped into the pickup
// folder are printed.
//
// Runs with its caller's privileges; reads the platform configuration and
// writes only below the configured state folder (and the sink's private
// temporary folder, through the run).
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "base/version.h"
#include "isodate/iso_date.h"
#include "localplatform/catalog/component_catalog.h"
#include "localplatform/config/config_option.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/process/service_account.h"
#include "localplatform/store/item_store.h"
#include "platform/system.h"
#include "registration/registration.h"

extern char** environ;

namespace demo {
namespace {

using localplatform::ItemStore;
using platform::Date;
using platform::Upper;

struct DemoUser {
    const char* cn;
    const char* alias;
    const char* mailDomain;  // nullptr: this server's domain
    const char* mark;        // nullptr: no mark
    bool thisServer;
    bool system;
};

// Who lives on the demo server, and why each is there.
const DemoUser kUsers[] = {
    {"Ann Arbor", "ann", nullptr, "Quellix", true, false},             // marked: cleaned
    {"Bob Baker", "bob", "mail.example.net", "QUELLIX", true, false},  // marked, other mail domain
    {"Carla Cruz", "carla", nullptr, nullptr, true, false},            // not marked: left alone
    {"Dieter Dorn", "dieter", nullptr, "Other", true, false},          // another word: left alone
    {"Eve Evans", "eve", nullptr, "Quellix", false, false},            // another server: not seen
    {"Junk Archive", "archive", nullptr, nullptr, true, false},        // destination for --move
    {"SystemMailbox{6A1D}", "SystemMailbox{6A1D}", nullptr, "Quellix", true, true},
};

// Ages in days of the junk in every Spam folder, and in Spam/Older.
const double kSpamAges[] = {0.5, 2, 6, 13, 13.9, 14.1, 15, 21, 30, 45};
const double kOlderAges[] = {3, 20, 60};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: quellix-demo [--config FILE] [--move] [--service [--identity ACCOUNT]]\n"
                 "                    [--module PATH] [--host PATH]\n"
                 "       quellix-demo --version\n"
                 "\n"
                 "Builds a demo server in the configured state folder (which must not hold\n"
                 "a store yet): mailboxes with junk of many ages, a directory of their users,\n"
                 "a registration item (folder Spam with subfolders, 14 days, every day,\n"
                 "marked mailboxes), registers Quellix.so and fires the item's timer through\n"
                 "quellix-host; then prints the run log and the report message.\n"
                 "  --move   move expired junk into the Inbox of 'Junk Archive' instead of\n"
                 "           deleting it\n"
                 "  --service install Quellix.so into the component application 'Quellix'\n"
                 "           (running as this account) and let the event service fire the\n"
                 "           timer at its next instant (quellix-eventd --once, which waits\n"
                 "           for it: the timer is set three seconds ahead) instead of\n"
                 "           calling quellix-host directly\n"
                 "When the platform configuration maps this server's namespace to a mail\n"
                 "store (mailstore.<domain>), the users' mailboxes are the mail server's: it\n"
                 "must hold them, with Spam and Spam/Older (and archive's Inbox); the junk\n"
                 "is delivered into them through the store.\n"
                 "  --identity the account the application runs as (default: this one); run\n"
                 "           as root, give the service account, whose data folder (data_dir)\n"
                 "           it owns: a component never runs as root\n"
                 "exit codes: 0 success, 1 the demo failed, 2 bad usage\n");
}

std::string MessageText(const std::string& to, int n, double age) {
    std::ostringstream out;
    out << "From: Prize Office <winner" << n << "@lottery.example>\r\n"
        << "To: " << to << "\r\n"
        << "Subject: You have won (" << age << " days old)\r\n"
        << "Message-ID: <demo" << n << "@lottery.example>\r\n"
        << "MIME-Version: 1.0\r\n"
        << "Content-Type: text/plain; charset=us-ascii\r\n\r\n"
        << "Claim your prize today.\r\n";
    return out.str();
}

// The directory of the demo, as LDIF: the domain, the Person category and the
// users.
std::string DemoLdif(const std::string& domain, const std::string& server) {
    const std::string base = localplatform::directory::BaseDnForDomain(domain);
    const std::string config = "CN=Configuration," + base;
    std::ostringstream out;
    out << localplatform::directory::NamingContextLdif(domain);
    // Each server's object with its mailbox store and its system attendant,
    // whose homeMDB names the store: the setup program finds this server's
    // system mailbox as the one homed on the same store.
    const auto storeDn = [&](const std::string& name) {
        return "CN=Mailbox Store (" + name + "),CN=" + name + "," + config;
    };
    for (const std::string& name : {Upper(server), std::string("EXCH02")}) {
        out << "dn: CN=" << name << "," << config << "\nobjectClass: top\nobjectClass: container\n"
            << "cn: " << name << "\n\n"
            << "dn: " << storeDn(name) << "\nobjectClass: top\nobjectClass: container\n"
            << "cn: Mailbox Store (" << name << ")\n\n"
            << "dn: CN=Microsoft System Attendant,CN=" << name << "," << config << "\n"
            << "objectClass: top\nobjectClass: exchangeAdminService\n"
            << "cn: Microsoft System Attendant\nhomeMDB: " << storeDn(name) << "\n\n";
    }
    int n = 0;
    for (const auto& u : kUsers) {
        ++n;
        const std::string home = u.thisServer ? Upper(server) : "EXCH02";
        out << "dn: CN=" << u.cn << ",CN=Users," << base << "\n"
            << "objectClass: top\nobjectClass: person\nobjectClass: "
               "organizationalPerson\nobjectClass: user\n"
            << "cn: " << u.cn << "\nsn: " << u.cn << "\n"
            << "objectCategory: " << localplatform::directory::PersonCategory(base) << "\n"
            << "sAMAccountName: " << std::string(u.alias).substr(0, 20) << "\n"
            << "mailNickname: " << u.alias << "\n"
            << "mail: " << u.alias << "@" << (u.mailDomain ? u.mailDomain : domain.c_str()) << "\n"
            << "msExchMailboxGuid: demo-mailbox-" << n << "\n"
            << "msExchHomeServerName: /o=Demo/ou=First Administrative "
               "Group/cn=Configuration/cn=Servers/cn="
            << home << "\n"
            << "homeMDB: " << storeDn(home) << "\n";
        if (u.mark) out << "extensionAttribute8: " << u.mark << "\n";
        out << "\n";
    }
    return out.str();
}

// Runs a program and waits for it; its output goes to ours.
int RunProgram(const std::vector<std::string>& argv) {
    std::fflush(stdout);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One line per message of a swept folder: its received time (UTC), its age
// and whether it is older than the cutoff, i.e. expired for the run.
void PrintMessages(ItemStore& store, int64_t folder, int64_t now, int64_t cutoff) {
    for (const auto& m : store.ItemsIn(folder)) {
        const int64_t received = m.received.value_or(m.created);
        std::printf("      %s  %5.1f days%s\n",
                    ISODate::FormatIsoDate(localplatform::FromStoreTime(received)).c_str(),
                    static_cast<double>(now - received) / 86400.0,
                    received < cutoff ? "  expired" : "");
    }
}

// The demo server's Spam folders as the run sees them: the swept folders of
// the marked mailboxes message by message, the others as a count.
void PrintFolders(ItemStore& store, const std::string& ns, const char* title, int64_t now,
                  int64_t cutoff) {
    std::printf("%s (expired: received before %s)\n", title,
                ISODate::FormatIsoDate(localplatform::FromStoreTime(cutoff)).c_str());
    std::string leftAlone;
    for (const auto& u : kUsers) {
        if (!u.thisServer || u.system) continue;
        const bool swept = u.mark != nullptr && platform::EqualsNoCase(u.mark, "Quellix");
        for (const char* path : {"Spam", "Spam/Older"}) {
            std::vector<std::string> segments = {ns, "MBX", u.alias};
            std::stringstream parts(path);
            for (std::string p; std::getline(parts, p, '/');) segments.push_back(p);
            const auto folder = store.Lookup(segments);
            if (!folder) continue;
            const size_t count = store.ItemsIn(folder->id).size();
            if (!swept) {
                leftAlone += "  " + std::string(u.alias) + " " + path + ": " +
                             std::to_string(count) + " messages\n";
                continue;
            }
            std::printf("  %s %s (marked %s): %zu messages\n", u.alias, path, u.mark, count);
            PrintMessages(store, folder->id, now, cutoff);
        }
    }
    if (const auto inbox = store.Lookup({ns, "MBX", "archive", "Inbox"})) {
        const size_t count = store.ItemsIn(inbox->id).size();
        std::printf("  archive Inbox (destination of a move): %zu messages\n", count);
        PrintMessages(store, inbox->id, now, cutoff);
    }
    std::printf("Not swept (mailbox not marked \"Quellix\"):\n%s", leftAlone.c_str());
}

// A folder of a mailbox the mail server holds; the server makes mailboxes and
// folders, so a missing one is the demo's setup gone wrong.
int64_t MailServerFolder(ItemStore& store, const std::string& ns, const std::string& alias,
                         const std::vector<std::string>& path) {
    std::vector<std::string> segments = {ns, "MBX", alias};
    segments.insert(segments.end(), path.begin(), path.end());
    const auto folder = store.Lookup(segments);
    if (!folder) {
        std::string joined;
        for (const auto& p : path) joined += "/" + p;
        throw platform::Error(platform::err::kNotFound,
                              platform::Describe("find", alias + joined,
                                                 "the mail server has no such folder; make the "
                                                 "mailbox and its folders there first",
                                                 0));
    }
    return folder->id;
}

// The account this demo runs as: the component application runs as it too.
std::string CurrentAccount() {
    return localplatform::AccountName(geteuid()).value_or("Interactive User");
}

}  // namespace
}  // namespace demo

int main(int argc, char** argv) {
    using namespace demo;
    bool move = false;
    std::string module = QUELLIX_MODULE_PATH;
    std::string host = QUELLIX_HOST_PATH;
    const std::string eventd = QUELLIX_EVENTD_PATH;
    bool service = false;
    std::string identity;
    for (int i = localplatform::TakeConfigOption(argc, argv); i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return platform::kExitOk;
        } else if (platform::IsVersionOption(a)) {
            return platform::PrintVersion("quellix-demo");
        } else if (a == "--move") {
            move = true;
        } else if (a == "--service") {
            service = true;
        } else if (a == "--identity" && i + 1 < argc) {
            identity = argv[++i];
        } else if (a == "--module" && i + 1 < argc) {
            module = argv[++i];
        } else if (a == "--host" && i + 1 < argc) {
            host = argv[++i];
        } else {
            std::fprintf(stderr, "quellix-demo: %s '%s'\n",
                         a == "--identity" || a == "--module" || a == "--host"
                             ? "a value is missing after"
                             : "unknown option",
                         platform::VisibleText(a).c_str());
            Usage(stderr);
            return platform::kExitUsage;
        }
    }

    try {
        const auto& config = localplatform::PlatformConfig::Current();
        const std::string domain = config.DomainDnsName();
        const std::string server = config.ComputerName();
        if (std::filesystem::exists(config.StorePath())) {
            std::fprintf(stderr,
                         "quellix-demo: %s already holds a store; use an empty state folder\n",
                         config.StorePath().c_str());
            return platform::kExitFailed;
        }
        const std::string directoryUri = config.DirectoryUri();
        if (!localplatform::directory::IsEmbeddedUri(directoryUri)) {
            std::fprintf(stderr, "quellix-demo: the demo builds the embedded directory only (%s)\n",
                         directoryUri.c_str());
            return platform::kExitFailed;
        }

        // The store: mailboxes and junk of many ages (received times in UTC),
        // delivered through the store into the mail server's folders when
        // the namespace is mapped to one.
        const bool onMailServer = config.MailStoreFor(domain).has_value();
        ItemStore::Create();
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace(domain);
        const Date now = Date::NowUtc();
        int n = 0;
        store->BeginTransaction();
        for (const auto& u : kUsers) {
            if (!u.thisServer) continue;
            // A namespace held by a mail server has its users' mailboxes
            // there, made by the server: only the system mailbox is the
            // store's own.
            const bool serversMailbox = onMailServer && !u.system;
            if (!serversMailbox) store->CreateMailbox(domain, u.alias, u.system);
            if (u.system || std::string(u.alias) == "archive") {
                if (serversMailbox) (void)MailServerFolder(*store, domain, u.alias, {"Inbox"});
                continue;
            }
            int64_t spam = 0;
            int64_t older = 0;
            if (serversMailbox) {
                spam = MailServerFolder(*store, domain, u.alias, {"Spam"});
                older = MailServerFolder(*store, domain, u.alias, {"Spam", "Older"});
            } else {
                const auto root = store->Lookup({domain, "MBX", u.alias});
                spam = store->CreateFolder(root->id, "Spam");
                older = store->CreateFolder(spam, "Older");
            }
            const std::string to = std::string(u.alias) + "@" + domain;
            for (double age : kSpamAges) {
                (void)store->SaveMessage(spam, MessageText(to, ++n, age),
                                         localplatform::ToStoreTime(now.AddDays(-age)));
            }
            for (double age : kOlderAges) {
                (void)store->SaveMessage(older, MessageText(to, ++n, age),
                                         localplatform::ToStoreTime(now.AddDays(-age)));
            }
        }
        store->CommitTransaction();

        // The directory of the users.
        {
            auto dir = localplatform::directory::OpenLdbDirectory(
                localplatform::directory::EmbeddedPath(directoryUri),
                {.create = true, .batch = true});
            (void)localplatform::directory::LoadEntries(
                *dir, localplatform::directory::ParseLdif(DemoLdif(domain, server)));
        }

        // The registration item, as the setup program writes it.
        registration::OnTimerRegistration item;
        item.mailboxUrl = "file://./backofficestorage/" + domain + "/MBX/SystemMailbox{6A1D}";
        item.timeToRun = "12:00 AM";
        item.timerStartTime = registration::ComputeTimerStartTime(Date::NowLocal(), item.timeToRun,
                                                                  ISODate::GetTimeZoneBias())
                                  .value_or(now);
        // The event service fires a timer at its instant and not before: for
        // the service demo the daily timer falls due three seconds from now.
        if (service) {
            item.timerStartTime = localplatform::FromStoreTime(
                localplatform::ToStoreTime(Date::NowUtc()) + 3 - int64_t{14} * 86400);
        }
        item.searchRoot = "GC://" + server + "." + domain;
        item.folderName = "Spam";
        item.expirationPeriod = 14;
        item.run = 1;
        item.mailboxToMove = move ? "Junk Archive (archive@" + domain + ")" : "";
        item.reportRecipient = "Mail Admin (postmaster@" + domain + ")";
        item.allMailboxes = "0";
        item.includeSubfolders = "1";
        platform::Error failure(0, "");
        const std::string folder = registration::CreateOnTimerEventRegistration(item, &failure);
        if (folder.empty()) {
            std::fprintf(stderr, "quellix-demo: %s\n", failure.Description().c_str());
            return platform::kExitFailed;
        }
        const std::string itemUrl = folder + "/" + registration::kItemName;

        std::printf("Demo server %s.%s in %s\n", server.c_str(), domain.c_str(),
                    config.StateDir().c_str());
        std::printf("Registration item %s\n", itemUrl.c_str());
        std::printf("  folder Spam with subfolders, 14 days, every day, marked mailboxes, %s\n\n",
                    move ? "moved to Junk Archive" : "deleted");
        const int64_t nowSeconds = localplatform::ToStoreTime(now);
        const int64_t cutoff = nowSeconds - int64_t{item.expirationPeriod} * 86400;
        PrintFolders(*store, domain, "Before the run", nowSeconds, cutoff);
        store.reset();

        std::printf("\n$ quellix-host register %s\n", module.c_str());
        if (RunProgram({host, "register", module}) != 0) return platform::kExitFailed;
        if (service) {
            // The component application the setup program would install,
            // running as this account.
            auto catalog = localplatform::ComponentCatalog::OpenCurrent(true);
            localplatform::CatalogApplication app;
            app.id = "{3E9A61C4-0F2B-4D58-9A7E-5B1C2D3E4F60}";
            app.name = "Quellix";
            app.accessChecksEnabled = false;
            app.identity = identity.empty() ? CurrentAccount() : identity;
            catalog.SaveApplications({{localplatform::ApplicationChange::Kind::Add, app}});
            (void)catalog.InstallComponents(app.id, module);
            // The next instant of the item's daily timer.
            const int64_t start = localplatform::ToStoreTime(item.timerStartTime);
            const int64_t nowUnix = localplatform::ToStoreTime(Date::NowUtc());
            const int64_t next = start + ((nowUnix - start) / 86400 + 1) * 86400;
            const std::string at = ISODate::FormatIsoDate(localplatform::FromStoreTime(next));
            std::printf("$ quellix-eventd --once %s\n\n", at.c_str());
            if (RunProgram({eventd, "--once", at}) != 0) return platform::kExitFailed;
        } else {
            std::printf("$ quellix-host ontimer '%s'\n\n", itemUrl.c_str());
            if (RunProgram({host, "ontimer", itemUrl}) != 0) return platform::kExitFailed;
        }

        std::fflush(stdout);
        PrintFolders(*ItemStore::ForThisThread(), domain, "\nAfter the run", nowSeconds, cutoff);

        char temp[256] = {};
        if (platform::GetTempPathA(sizeof temp, temp) == 0) return platform::kExitFailed;
        const std::string log = std::string(temp) + "Quellix.LOG";
        std::printf("\n---- %s ----\n%s", log.c_str(), ReadFile(log).c_str());

        std::string newest;
        std::filesystem::file_time_type newestTime{};
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(config.PickupDir(), ec)) {
            if (e.path().extension() == ".eml" &&
                (newest.empty() || e.last_write_time() > newestTime)) {
                newest = e.path().string();
                newestTime = e.last_write_time();
            }
        }
        if (newest.empty()) {
            std::printf("\n(no report message in %s)\n", config.PickupDir().c_str());
            return platform::kExitFailed;
        }
        std::printf("\n---- report message %s ----\n%s\n", newest.c_str(),
                    ReadFile(newest).c_str());

        // What the run left in the run history.
        std::printf("\n$ quellix-setup history --last 1\n\n");
        std::fflush(stdout);
        if (RunProgram({QUELLIX_SETUP_PATH, "history", "--last", "1"}) != 0)
            return platform::kExitFailed;
        return platform::kExitOk;
    } catch (const platform::Error& e) {
        std::fprintf(stderr, "quellix-demo: %s (%d)\n", e.Description().c_str(), e.Number());
        return platform::kExitFailed;
    }
}
