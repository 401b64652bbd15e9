// Benchmark of the move manifest: what recording each move costs a move run,
// and what putting the run back costs. In a fresh store (a temporary folder,
// its own platform configuration) it makes FOLDERS mailboxes with a Spam
// folder of PER_FOLDER messages of about 2 KB each, in two equal halves of
// mailboxes, then moves them folder by folder into one destination Inbox as
// the sink does (one store Connection per folder, so a batch per folder),
// alternating the halves: one half through Record::MoveRecord (the floor, no
// manifest), the other through MoveRecordForRun. Then puts the second half
// back message by message. Prints the seconds of each, repeated ROUNDS times
// on fresh stores, and the medians with the ratio manifest/floor.
//   usage: move_manifest_bench [FOLDERS [PER_FOLDER [ROUNDS]]]  (200 100 3)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/testing/bench_timing.h"
#include "localplatform/store/item_store.h"
#include "platform/ado.h"
#include "platform/move_manifest.h"

namespace {

using platform::testing::BenchClock;
using platform::testing::SecondsSince;

struct Round {
    double floor = 0, manifest = 0, undo = 0;
};

const std::string kBase = "file://./backofficestorage/example.test/MBX/";

Round OneRound(long folders, long perFolder) {
    char tmpl[] = "/tmp/quellix-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string config = dir + "/platform.conf";
    std::ofstream(config) << "state_dir = " << dir << "\nstore = " << dir << "/store.db\n"
                          << "server.computer_name = MAIL01\n"
                          << "server.domain_dns_name = example.test\n";
    setenv("QUELLIX_CONFIG", config.c_str(), 1);
    localplatform::ItemStore::Create(dir + "/store.db");
    const std::string body = "Subject: bench\r\n\r\n" + std::string(2000, 'x') + "\r\n";
    std::vector<std::vector<std::string>> urls(static_cast<size_t>(folders));
    {
        auto store = localplatform::ItemStore::ForThisThread();
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", "dest", false);
        store->BeginTransaction();
        for (long f = 0; f < folders; ++f) {
            const std::string alias = "u" + std::to_string(f);
            store->CreateMailbox("example.test", alias, false);
            const auto inbox = store->Lookup({"example.test", "MBX", alias, "Inbox"});
            const int64_t spam = store->CreateFolder(inbox->id, "Spam");
            for (long m = 0; m < perFolder; ++m) {
                const std::string name = "m" + std::to_string(m) + ".EML";
                (void)store->SaveMessage(spam, body, 1000 + m, name);
                urls[static_cast<size_t>(f)].push_back(kBase + alias + "/Inbox/Spam/" + name);
            }
        }
        store->CommitTransaction();
    }
    const std::string dest = kBase + "dest/Inbox";
    Round r;
    for (long f = 0; f < folders; ++f) {
        const bool recorded = f % 2 == 1;
        const auto start = BenchClock::now();
        {
            platform::Connection cnn;  // the sink's connection per folder
            cnn.SetProvider("ExOLEDB.DataSource");
            cnn.Open(kBase + "u" + std::to_string(f) + "/Inbox/Spam", "", "", -1);
            platform::Record rec;
            for (const auto& url : urls[static_cast<size_t>(f)]) {
                if (recorded) {
                    (void)platform::MoveRecordForRun(url, dest, 7);
                } else {
                    (void)rec.MoveRecord(url, dest);
                }
            }
            cnn.Close();
        }
        (recorded ? r.manifest : r.floor) += SecondsSince(start);
    }
    const auto start = BenchClock::now();
    size_t back = 0;
    for (const auto& m : platform::MovedMessagesOfRun(7)) {
        back +=
            platform::PutBackMovedMessage(m).outcome == platform::PutBackResult::Outcome::kPutBack;
    }
    r.undo = SecondsSince(start);
    if (back != static_cast<size_t>(folders / 2 * perFolder)) {
        std::fprintf(stderr, "put back %zu, expected %ld\n", back, folders / 2 * perFolder);
        std::exit(1);
    }
    unsetenv("QUELLIX_CONFIG");
    std::filesystem::remove_all(dir);
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const long folders = argc > 1 ? std::atol(argv[1]) : 200;
    const long perFolder = argc > 2 ? std::atol(argv[2]) : 100;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (folders < 2 || perFolder < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: move_manifest_bench [FOLDERS [PER_FOLDER [ROUNDS]]]\n");
        return 2;
    }
    std::vector<double> floor, manifest, undo;
    for (int i = 0; i < rounds; ++i) {
        const Round r = OneRound(folders, perFolder);
        std::printf(
            "round %d: moves %ld: floor (MoveRecord) %.3f s, with manifest %.3f s; "
            "put back %ld: %.3f s\n",
            i + 1, folders / 2 * perFolder, r.floor, r.manifest, folders / 2 * perFolder, r.undo);
        floor.push_back(r.floor);
        manifest.push_back(r.manifest);
        undo.push_back(r.undo);
    }
    std::printf(
        "median: floor %.3f s, with manifest %.3f s, ratio %.2f; put back %.3f s "
        "(ratio to the floor's moves %.2f)\n",
        Median(floor), Median(manifest), Median(manifest) / Median(floor), Median(undo),
        Median(undo) / Median(floor));
    return 0;
}
