// Benchmark helper of the cleanup sink (driven by scripts/bench-sink.sh and
// scripts/bench-run.sh):
//   directory  --users N [--prefix P] [--digits D] [--server S]
//              the embedded directory of the configured platform with N
//              mailbox users P000001.. (D digits, default 6) homed on server
//              S, all marked, and the destination user "archive"; with
//              --ldif FILE, written to FILE for slapadd instead
//   slapd --ldif FILE
//              a private slapd loaded from FILE, serving until standard
//              input ends (its configuration lines printed, then "ready")
//   import-maildir ROOT [--folder F]
//              the messages of a Maildir++ corpus (ROOT/home/ALIAS/Maildir,
//              its ".F" folder and its Inbox) into the configured store, in
//              the order they were received (every mailbox's messages mixed,
//              as mail arrives), each with its file's mtime as received
//              time: mailbox ALIAS of the domain's namespace, folder F
//              directly below it
//   registration --age DAYS [--folder F] [--move] [--search-root R]
//              the system mailbox (and for a move the archive mailbox) in
//              the store, and a registration item (every day, marked
//              mailboxes, shallow);
//              prints the item's URL
//   measure CMD [ARGS...]
//              runs CMD and prints "seconds=<wall> cpu_seconds=<user+sys>
//              write_bytes=<what it had written to storage> wchar=<bytes
//              it passed to write calls> peak_rss_kib=<child's peak>
//              exit=<status>"
// scripts/bench-sink.sh's corpus comes from "quellix-admin store
// generate-corpus"; scripts/bench-run.sh's from a Maildir tree.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "isodate/iso_date.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "localplatform/store/item_store.h"
#include "registration/registration.h"

namespace {

namespace dir = localplatform::directory;
using platform::testing::BenchArgs;

dir::Entry User(const std::string& base, const std::string& cn, const std::string& alias,
                const std::string& mail, const std::string& server, bool marked, size_t n) {
    std::string guid(16, '\0');
    std::memcpy(guid.data(), &n, sizeof n);
    dir::Entry e;
    e.dn = "CN=" + cn + ",CN=Users," + base;
    e.attributes = {
        {"objectClass", {"top", "person", "organizationalPerson", "user"}},
        {"cn", {cn}},
        {"sn", {cn}},
        {"objectCategory", {dir::PersonCategory(base)}},
        {"sAMAccountName", {alias}},
        {"mailNickname", {alias}},
        {"mail", {mail}},
        {"msExchMailboxGuid", {guid}},
        {"msExchHomeServerName",
         {"/o=Bench/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" + server}}};
    if (marked) e.attributes.push_back({"extensionAttribute8", {"Quellix"}});
    return e;
}

int Directory(BenchArgs& args) {
    const long users = args.Number("--users", 10000, 0);
    const std::string prefix = args.Text("--prefix", "user");
    const int digits = static_cast<int>(args.Number("--digits", 6, 1));
    const std::string serverOption = args.Text("--server", "");
    const std::string ldif = args.Text("--ldif", "");
    if (auto exit = args.Done()) return *exit;
    const auto& config = localplatform::PlatformConfig::Current();
    const std::string domain = config.DomainDnsName();
    const std::string server = serverOption.empty() ? config.ComputerName() : serverOption;
    const std::string base = dir::BaseDnForDomain(domain);
    const std::string configNc = "CN=Configuration," + base;
    // Written as made into an LDIF file (for slapadd), or gathered for the
    // embedded directory's bulk load.
    std::ofstream out;
    if (!ldif.empty()) {
        out.open(ldif, std::ios::binary | std::ios::trunc);
        if (!out) return args.Fail("cannot write " + ldif);
    }
    std::vector<dir::Entry> entries;
    size_t made = 0;
    auto add = [&](dir::Entry e) {
        ++made;
        if (ldif.empty()) {
            entries.push_back(std::move(e));
        } else {
            out << dir::ToLdif(e);
        }
    };
    add({base,
         {{"objectClass", {"top", "domainDNS"}}, {"dc", {domain.substr(0, domain.find('.'))}}}});
    for (const auto& [cn, parent] :
         std::vector<std::pair<std::string, std::string>>{{"Users", base},
                                                          {"Configuration", base},
                                                          {"Schema", configNc},
                                                          {"Person", "CN=Schema," + configNc}}) {
        add({"CN=" + cn + "," + parent, {{"objectClass", {"top", "container"}}, {"cn", {cn}}}});
    }
    for (long i = 1; i <= users; ++i) {
        char alias[64];
        std::snprintf(alias, sizeof alias, "%s%0*ld", prefix.c_str(), digits, i);
        add(User(base, std::string("User ") + alias, alias, std::string(alias) + "@" + domain,
                 server, true, static_cast<size_t>(i)));
    }
    add(User(base, "Archive", "archive", "archive@" + domain, server, false, 0));
    if (!ldif.empty()) {
        out.close();
        if (!out) return args.Fail("cannot write " + ldif);
        std::printf("directory: %zu entries in %s\n", made, ldif.c_str());
        return 0;
    }
    auto backend = dir::OpenLdbDirectory(dir::EmbeddedPath(config.DirectoryUri()),
                                         {.create = true, .batch = true});
    std::printf("directory: %zu entries\n", dir::LoadEntries(*backend, entries));
    return 0;
}

// A private slapd loaded from an LDIF file (the configured domain's suffix),
// serving until standard input ends; its configuration lines are printed
// first, on one line each, then a line "ready".
int Slapd(BenchArgs& args) {
    const std::string ldif = args.Text("--ldif", "");
    if (auto exit = args.Done()) return *exit;
    if (ldif.empty()) return args.Fail("slapd needs --ldif FILE");
    dir::testing::SlapdHarness::Options o;
    o.suffix = dir::BaseDnForDomain(localplatform::PlatformConfig::Current().DomainDnsName());
    o.rootDn = "CN=admin," + o.suffix;
    o.preloadLdif = ldif;
    const dir::testing::SlapdHarness server(o);
    std::printf("%sready\n", server.ConfigLines().c_str());
    std::fflush(stdout);
    char buffer[256];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
    return 0;
}

int Registration(BenchArgs& args) {
    const std::string folderName = args.Text("--folder", "Spam");
    const long age = args.Number("--age", 14, 0);
    const bool move = args.Flag("--move");
    const std::string searchRoot = args.Text("--search-root", "");
    if (auto exit = args.Done()) return *exit;
    const auto& config = localplatform::PlatformConfig::Current();
    const std::string domain = config.DomainDnsName();
    auto store = localplatform::ItemStore::ForThisThread();
    const std::string system = "SystemMailbox{BE7C}";
    if (!store->Lookup({domain, "MBX", system})) store->CreateMailbox(domain, system, true);
    // Only a move needs it; a namespace held by a mail store has no user
    // mailbox of the item store's own.
    if (move && !store->Lookup({domain, "MBX", "archive"}))
        store->CreateMailbox(domain, "archive", false);
    store.reset();

    registration::OnTimerRegistration item;
    item.mailboxUrl = "file://./backofficestorage/" + domain + "/MBX/" + system;
    item.timerStartTime = platform::Date::NowUtc();
    item.searchRoot =
        searchRoot.empty() ? "GC://" + config.ComputerName() + "." + domain : searchRoot;
    item.folderName = folderName;
    item.expirationPeriod = static_cast<int16_t>(age);
    item.run = 1;
    item.mailboxToMove = move ? "Archive (archive@" + domain + ")" : "";
    item.reportRecipient = "postmaster@" + domain;
    platform::Error failure(0, "");
    const std::string folder = registration::CreateOnTimerEventRegistration(item, &failure);
    if (folder.empty()) {
        std::fprintf(stderr, "sink_bench: %s\n", failure.Description().c_str());
        return 1;
    }
    std::printf("%s/%s\n", folder.c_str(), registration::kItemName);
    return 0;
}

// One message file of a Maildir corpus, in the order the store receives it.
struct MaildirMessage {
    int64_t received = 0;
    size_t mailbox = 0;  // index into the sorted mailbox names
    bool junk = false;
    std::string path;
};

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw platform::Error(platform::err::kFileNotFound, "cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int ImportMaildir(BenchArgs& args) {
    namespace fs = std::filesystem;
    const std::optional<std::string> root = args.Word();
    const std::string folderName = args.Text("--folder", "Junk");
    if (auto exit = args.Done()) return *exit;
    if (!root) return args.Fail("import-maildir needs the corpus's folder");
    const fs::path home = fs::path(*root) / "home";
    const std::string domain = localplatform::PlatformConfig::Current().DomainDnsName();
    std::vector<std::string> aliases;
    for (const auto& e : fs::directory_iterator(home)) {
        if (e.is_directory()) aliases.push_back(e.path().filename().string());
    }
    std::sort(aliases.begin(), aliases.end());
    std::vector<MaildirMessage> messages;
    for (size_t m = 0; m < aliases.size(); ++m) {
        const fs::path maildir = home / aliases[m] / "Maildir";
        for (const bool junk : {true, false}) {
            for (const auto& e :
                 fs::directory_iterator(maildir / (junk ? "." + folderName : "") / "cur")) {
                const auto mtime = fs::last_write_time(e.path());
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::file_clock::to_sys(mtime).time_since_epoch());
                messages.push_back({seconds.count(), m, junk, e.path().string()});
            }
        }
    }
    std::sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) {
        return std::tie(a.received, a.mailbox, a.junk, a.path) <
               std::tie(b.received, b.mailbox, b.junk, b.path);
    });

    localplatform::ItemStore::Create();
    auto store = localplatform::ItemStore::ForThisThread();
    if (!store->Lookup({domain})) store->CreateNamespace(domain);
    std::vector<std::pair<int64_t, int64_t>> folders;  // per mailbox: the folder, Inbox
    store->BeginTransaction();
    for (const auto& alias : aliases) {
        const int64_t mailbox = store->CreateMailbox(domain, alias, false);
        const auto inbox = store->Lookup({domain, "MBX", alias, "Inbox"});
        folders.emplace_back(store->CreateFolder(mailbox, folderName), inbox->id);
    }
    store->CommitTransaction();
    // A few thousand messages per transaction: the journal stays small.
    constexpr size_t kPerTransaction = 5000;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (i % kPerTransaction == 0) store->BeginTransaction();
        const auto& msg = messages[i];
        const auto& [junk, inbox] = folders[msg.mailbox];
        store->SaveMessage(msg.junk ? junk : inbox, ReadWhole(msg.path), msg.received);
        if ((i + 1) % kPerTransaction == 0 || i + 1 == messages.size()) store->CommitTransaction();
    }
    std::printf("imported %zu messages into %zu mailboxes\n", messages.size(), aliases.size());
    return 0;
}

// What /proc says the process (a zombie not yet reaped) wrote: its
// "write_bytes" (sent to storage) and "wchar" (passed to write calls).
std::pair<long long, long long> WrittenBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    long long writeBytes = -1, wchar = -1;
    std::string key;
    long long value = 0;
    while (in >> key >> value) {
        if (key == "write_bytes:") writeBytes = value;
        if (key == "wchar:") wchar = value;
    }
    return {writeBytes, wchar};
}

int Measure(BenchArgs& args) {
    std::vector<char*> command = args.Rest();
    if (auto exit = args.Done()) return *exit;
    if (command.size() < 2) return args.Fail("measure needs a command to run");
    const auto start = platform::testing::BenchClock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "sink_bench: fork failed: %s\n", std::strerror(errno));
        return 1;
    }
    if (pid == 0) {
        execv(command[0], command.data());
        std::fprintf(stderr, "sink_bench: execv(%s) failed: %s\n", command[0],
                     std::strerror(errno));
        _exit(127);
    }
    // The child's counters are read while it is a zombie, before reaping.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        std::fprintf(stderr, "sink_bench: waitid(%d) failed: %s\n", static_cast<int>(pid),
                     std::strerror(errno));
        return 1;
    }
    const double seconds = platform::testing::SecondsSince(start);
    const auto [writeBytes, wchar] = WrittenBytes(pid);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::fprintf(stderr, "sink_bench: wait4(%d) failed: %s\n", static_cast<int>(pid),
                     std::strerror(errno));
        return 1;
    }
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto cpu = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    platform::testing::ReportLine()
        .Add("seconds", seconds)
        .Add("cpu_seconds", cpu(usage.ru_utime) + cpu(usage.ru_stime))
        .Add("write_bytes", writeBytes)
        .Add("wchar", wchar)
        .Add("peak_rss_kib", usage.ru_maxrss)
        .Add("exit", exit)
        .Print();
    return WIFEXITED(status) ? exit : 1;
}

}  // namespace

int main(int argc, char** argv) {
    BenchArgs args(argc, argv,
                   "sink_bench directory [--users N] [--prefix P] [--digits D] [--server S]\n"
                   "                         [--ldif FILE]\n"
                   "       sink_bench slapd --ldif FILE\n"
                   "       sink_bench import-maildir ROOT [--folder F]\n"
                   "       sink_bench registration [--age DAYS] [--folder F] [--move]\n"
                   "                         [--search-root GC://HOST]\n"
                   "       sink_bench measure CMD [ARGS...]");
    const std::string verb = args.Word().value_or("");
    try {
        if (verb == "directory") return Directory(args);
        if (verb == "registration") return Registration(args);
        if (verb == "slapd") return Slapd(args);
        if (verb == "import-maildir") return ImportMaildir(args);
        if (verb == "measure") return Measure(args);
    } catch (const platform::Error& e) {
        std::fprintf(stderr, "sink_bench: %s (%d)\n", e.Description().c_str(), e.Number());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sink_bench: %s\n", e.what());
        return 1;
    }
    return args.Fail("no such verb '" + verb + "'");
}
