// Benchmark helper of the cleanup sink (driven by scripts/bench-sink.sh):
//   directory  --users N [--prefix P] [--server S]
//              the embedded directory of the configured platform with N
//              mailbox users P000001.. homed on server S, all marked, and the
//              destination user "archive"
//   registration --age DAYS [--folder F] [--move]
//              the system mailbox and archive mailbox in the store, and a
//              registration item (every day, marked mailboxes, shallow);
//              prints the item's URL
//   measure CMD [ARGS...]
//              runs CMD and prints "seconds=<wall> peak_rss_kib=<child's peak>"
// The store corpus itself comes from "quellix-admin store generate-corpus".
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "isodate/iso_date.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/store/item_store.h"
#include "registration/registration.h"

namespace {

namespace dir = localplatform::directory;

std::string Option(int argc, char** argv, const std::string& name, const std::string& fallback) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (name == argv[i]) return argv[i + 1];
    }
    return fallback;
}

bool Flag(int argc, char** argv, const std::string& name) {
    for (int i = 2; i < argc; ++i) {
        if (name == argv[i]) return true;
    }
    return false;
}

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

int Directory(int argc, char** argv) {
    const auto& config = localplatform::PlatformConfig::Current();
    const std::string domain = config.DomainDnsName();
    const long users = std::stol(Option(argc, argv, "--users", "10000"));
    const std::string prefix = Option(argc, argv, "--prefix", "user");
    const std::string server = Option(argc, argv, "--server", config.ComputerName());
    const std::string base = dir::BaseDnForDomain(domain);
    const std::string configNc = "CN=Configuration," + base;
    std::vector<dir::Entry> entries;
    entries.push_back(
        {base,
         {{"objectClass", {"top", "domainDNS"}}, {"dc", {domain.substr(0, domain.find('.'))}}}});
    for (const auto& [cn, parent] :
         std::vector<std::pair<std::string, std::string>>{{"Users", base},
                                                          {"Configuration", base},
                                                          {"Schema", configNc},
                                                          {"Person", "CN=Schema," + configNc}}) {
        entries.push_back(
            {"CN=" + cn + "," + parent, {{"objectClass", {"top", "container"}}, {"cn", {cn}}}});
    }
    for (long i = 1; i <= users; ++i) {
        char alias[64];
        std::snprintf(alias, sizeof alias, "%s%06ld", prefix.c_str(), i);
        entries.push_back(User(base, std::string("User ") + alias, alias,
                               std::string(alias) + "@" + domain, server, true,
                               static_cast<size_t>(i)));
    }
    entries.push_back(User(base, "Archive", "archive", "archive@" + domain, server, false, 0));
    auto backend = dir::OpenLdbDirectory(dir::EmbeddedPath(config.DirectoryUri()),
                                         {.create = true, .batch = true});
    std::printf("directory: %zu entries\n", dir::LoadEntries(*backend, entries));
    return 0;
}

int Registration(int argc, char** argv) {
    const auto& config = localplatform::PlatformConfig::Current();
    const std::string domain = config.DomainDnsName();
    auto store = localplatform::ItemStore::ForThisThread();
    const std::string system = "SystemMailbox{BE7C}";
    if (!store->Lookup({domain, "MBX", system})) store->CreateMailbox(domain, system, true);
    if (!store->Lookup({domain, "MBX", "archive"})) store->CreateMailbox(domain, "archive", false);
    store.reset();

    registration::OnTimerRegistration item;
    item.mailboxUrl = "file://./backofficestorage/" + domain + "/MBX/" + system;
    item.timerStartTime = platform::Date::NowUtc();
    item.searchRoot = "GC://" + config.ComputerName() + "." + domain;
    item.folderName = Option(argc, argv, "--folder", "Spam");
    item.expirationPeriod = static_cast<int16_t>(std::stoi(Option(argc, argv, "--age", "14")));
    item.run = 1;
    item.mailboxToMove = Flag(argc, argv, "--move") ? "Archive (archive@" + domain + ")" : "";
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

int Measure(char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seconds=%.3f peak_rss_kib=%ld exit=%d\n", seconds, usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    try {
        if (verb == "directory") return Directory(argc, argv);
        if (verb == "registration") return Registration(argc, argv);
        if (verb == "measure" && argc > 2) return Measure(argv);
    } catch (const platform::Error& e) {
        std::fprintf(stderr, "sink_bench: %s (%d)\n", e.Description().c_str(), e.Number());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: sink_bench directory --users N [--prefix P] [--server S]\n"
                 "       sink_bench registration --age DAYS [--folder F] [--move]\n"
                 "       sink_bench measure CMD [ARGS...]\n");
    return 2;
}
