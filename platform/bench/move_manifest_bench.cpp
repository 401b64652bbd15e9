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
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "base/testing/temp_platform.h"
#include "localplatform/store/item_store.h"
#include "platform/ado.h"
#include "platform/move_manifest.h"

namespace {

using platform::testing::BenchClock;
using platform::testing::FloorLine;
using platform::testing::Median;
using platform::testing::SecondsSince;

struct Round {
    double floor = 0, manifest = 0, undo = 0;
};

constexpr const char* kBase = "file://./backofficestorage/example.test/MBX/";

Round OneRound(long folders, long perFolder) {
    platform::testing::TempPlatform folder("quellix-bench-");
    const std::string& dir = folder.Dir();
    folder.Configure("store = " + dir +
                     "/store.db\nserver.computer_name = MAIL01\n"
                     "server.domain_dns_name = example.test\n");
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
    const std::string dest = std::string(kBase) + "dest/Inbox";
    Round r;
    for (long f = 0; f < folders; ++f) {
        const bool recorded = f % 2 == 1;
        const auto start = BenchClock::now();
        {
            platform::Connection cnn;  // the sink's connection per folder
            cnn.SetProvider("ExOLEDB.DataSource");
            cnn.Open(std::string(kBase) + "u" + std::to_string(f) + "/Inbox/Spam", "", "", -1);
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
        throw std::runtime_error("put back " + std::to_string(back) + ", expected " +
                                 std::to_string(folders / 2 * perFolder));
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv,
                                      "move_manifest_bench [FOLDERS [PER_FOLDER [ROUNDS]]]");
    const long folders = args.NumberWord("FOLDERS", 200, 2);
    const long perFolder = args.NumberWord("PER_FOLDER", 100, 1);
    const auto rounds = static_cast<int>(args.NumberWord("ROUNDS", 3, 1));
    if (auto exit = args.Done()) return *exit;
    std::vector<double> floor, manifest, undo;
    for (int i = 0; i < rounds; ++i) {
        Round r;
        try {
            r = OneRound(folders, perFolder);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "move_manifest_bench: %s\n", e.what());
            return 1;
        }
        std::printf(
            "round %d: moves %ld: floor (MoveRecord) %.3f s, with manifest %.3f s; "
            "put back %ld: %.3f s\n",
            i + 1, folders / 2 * perFolder, r.floor, r.manifest, folders / 2 * perFolder, r.undo);
        floor.push_back(r.floor);
        manifest.push_back(r.manifest);
        undo.push_back(r.undo);
    }
    const long moves = folders / 2 * perFolder;
    FloorLine("median: " + std::to_string(moves) + " moves with manifest", Median(manifest),
              Median(floor))
        .FloorName("floor (MoveRecord)")
        .Print();
    FloorLine("median: " + std::to_string(moves) + " put back", Median(undo), Median(floor))
        .FloorName("floor's moves")
        .Print();
    return 0;
}
