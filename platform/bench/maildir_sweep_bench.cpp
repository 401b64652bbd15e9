// Benchmark of the sweep over a namespace held by Maildirs: the sink's query
// and row-by-row deletes through the access layer, folder by folder, against
// the same sweep of the item store, and against the floor of the file system
// (list the folder, stat each file, unlink the expired ones, sync the
// folder). In a fresh temporary folder it makes FOLDERS mailboxes with a
// Spam folder of PER_FOLDER messages of about 2 KB, half of them expired,
// in both stores (the Maildir files written as a delivery agent writes
// them). Prints the seconds of each, ROUNDS times, and the medians with the
// ratios to the floor.
//   usage: maildir_sweep_bench [FOLDERS [PER_FOLDER [ROUNDS]]]  (100 200 3)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "base/testing/temp_platform.h"
#include "localplatform/store/item_store.h"
#include "platform/ado.h"

namespace {

using platform::testing::BenchClock;
using platform::testing::FloorLine;
using platform::testing::Median;
using platform::testing::SecondsSince;
namespace fs = std::filesystem;

struct Round {
    double store = 0, maildir = 0, floor = 0;
    size_t deleted = 0;
};

constexpr int64_t kExpired = 1000000000;  // 2001: long expired
constexpr const char* kCutoff = "2010-01-01T00:00:00Z";

// The sink's query for one folder.
std::string SweepQuery(const std::string& folderUrl) {
    return "select \"DAV:href\" from scope ('shallow traversal of \"" + folderUrl +
           "\"') WHERE \"DAV:ishidden\" = false AND \"DAV:iscollection\" = false AND "
           "(\"urn:schemas:httpmail:datereceived\" <= CAST(\"" +
           kCutoff + "\" as 'dateTime'))";
}

size_t Sweep(const std::string& folderUrl) {
    platform::Connection cnn;
    cnn.SetProvider("ExOLEDB.DataSource");
    cnn.Open(folderUrl, "", "", -1);
    platform::Recordset rs;
    rs.Open(SweepQuery(folderUrl), cnn);
    size_t n = 0;
    for (; !rs.Eof(); rs.MoveNext(), ++n) rs.Delete(platform::adAffectCurrent);
    rs.Close();
    cnn.Close();
    return n;
}

// The file system's floor: what any Maildir sweep has to do.
size_t FloorSweep(const std::string& cur) {
    DIR* dir = opendir(cur.c_str());
    size_t n = 0;
    while (const dirent* d = readdir(dir)) {
        struct stat st {};
        if (d->d_name[0] == '.' || fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (st.st_mtime <= kExpired && unlinkat(dirfd(dir), d->d_name, 0) == 0) ++n;
    }
    fsync(dirfd(dir));
    closedir(dir);
    return n;
}

void WriteMaildir(const std::string& root, long perFolder, const std::string& body, long id) {
    for (const char* sub : {"cur", "new", "tmp", ".Spam/cur", ".Spam/new", ".Spam/tmp"})
        fs::create_directories(root + "/" + sub);
    const int64_t now = std::time(nullptr);
    for (long m = 0; m < perFolder; ++m) {
        const std::string path = root + "/.Spam/cur/" + std::to_string(now) + ".M" +
                                 std::to_string(m) + "P" + std::to_string(id) + ".bench:2,S";
        std::ofstream(path) << body;
        const int64_t t = m % 2 == 0 ? kExpired : now;
        const std::array<struct timespec, 2> times{{{t, 0}, {t, 0}}};
        utimensat(AT_FDCWD, path.c_str(), times.data(), 0);
    }
}

Round OneRound(long folders, long perFolder) {
    platform::testing::TempPlatform folder("quellix-bench-");
    const std::string& dir = folder.Dir();
    folder.Configure("store = " + dir +
                     "/store.db\nserver.computer_name = MAIL01\n"
                     "server.domain_dns_name = example.test\n"
                     "mailstore.mail.test = maildir:" +
                     dir + "/vmail/%d/%n/Maildir\n");
    localplatform::ItemStore::Create(dir + "/store.db");
    const std::string body = "Subject: bench\r\n\r\n" + std::string(2000, 'x') + "\r\n";
    {
        auto store = localplatform::ItemStore::ForThisThread();
        store->CreateNamespace("example.test");
        store->CreateNamespace("mail.test");
        store->BeginTransaction();
        for (long f = 0; f < folders; ++f) {
            const std::string alias = "u" + std::to_string(f);
            store->CreateMailbox("example.test", alias, false);
            const auto inbox = store->Lookup({"example.test", "MBX", alias, "Inbox"});
            const int64_t spam = store->CreateFolder(inbox->id, "Spam");
            for (long m = 0; m < perFolder; ++m)
                (void)store->SaveMessage(spam, body, m % 2 == 0 ? kExpired : std::time(nullptr));
            WriteMaildir(dir + "/vmail/mail.test/" + alias + "/Maildir", perFolder, body, f);
            WriteMaildir(dir + "/floor/" + alias, perFolder, body, f);
        }
        store->CommitTransaction();
    }
    Round r;
    auto start = BenchClock::now();
    for (long f = 0; f < folders; ++f)
        r.deleted += Sweep("file://./backofficestorage/example.test/MBX/u" + std::to_string(f) +
                           "/Inbox/Spam");
    r.store = SecondsSince(start);
    start = BenchClock::now();
    size_t fromMaildir = 0;
    for (long f = 0; f < folders; ++f)
        fromMaildir +=
            Sweep("file://./backofficestorage/mail.test/MBX/u" + std::to_string(f) + "/Spam");
    r.maildir = SecondsSince(start);
    start = BenchClock::now();
    size_t fromFloor = 0;
    for (long f = 0; f < folders; ++f)
        fromFloor += FloorSweep(dir + "/floor/u" + std::to_string(f) + "/.Spam/cur");
    r.floor = SecondsSince(start);
    if (fromMaildir != r.deleted || fromFloor != r.deleted) {
        throw std::runtime_error("deleted " + std::to_string(r.deleted) + " from the store, " +
                                 std::to_string(fromMaildir) + " from Maildirs, " +
                                 std::to_string(fromFloor) + " at the floor");
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv,
                                      "maildir_sweep_bench [FOLDERS [PER_FOLDER [ROUNDS]]]");
    const long folders = args.NumberWord("FOLDERS", 100, 1);
    const long perFolder = args.NumberWord("PER_FOLDER", 200, 2);
    const auto rounds = static_cast<int>(args.NumberWord("ROUNDS", 3, 1));
    if (auto exit = args.Done()) return *exit;
    std::vector<double> store, maildir, floor;
    size_t deleted = 0;
    for (int i = 0; i < rounds; ++i) {
        Round r;
        try {
            r = OneRound(folders, perFolder);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "maildir_sweep_bench: %s\n", e.what());
            return 1;
        }
        std::printf("round %d: %zu deleted each: item store %.3f s, Maildir %.3f s, floor %.3f s\n",
                    i + 1, r.deleted, r.store, r.maildir, r.floor);
        store.push_back(r.store);
        maildir.push_back(r.maildir);
        floor.push_back(r.floor);
        deleted = r.deleted;
    }
    FloorLine("median: sweep of " + std::to_string(deleted) + " from Maildirs", Median(maildir),
              Median(floor))
        .FloorName("list, stat and unlink")
        .Print();
    FloorLine("median: sweep of " + std::to_string(deleted) + " from the item store", Median(store),
              Median(floor))
        .FloorName("list, stat and unlink")
        .Print();
    return 0;
}
