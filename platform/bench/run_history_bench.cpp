// Benchmark of the run history: what recording a run of FOLDERS folders
// costs. Runs one of:
//   recorder     the sink's way: RunRecorder::Begin, Folder() per folder
//                (written in batches), End, and the metrics file when the
//                configuration names one;
//   commit-each  the same rows with one transaction per folder (what
//                batching saves).
// Prints one line: mode, folders, wall seconds, CPU seconds (user +
// system). The history is the one named by the platform configuration
// (QUELLIX_CONFIG); scripts/bench-history.sh sets it up and measures the
// floor beside it.
#include <cstdio>
#include <string>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "localplatform/history/run_history.h"
#include "platform/run_history.h"

namespace {

platform::RunFolderRecord FolderOf(long i) {
    char alias[32];
    std::snprintf(alias, sizeof alias, "user%06ld", i);
    return {std::string(alias) + "@bench.test",
            "http://bench.bench.test/exadmin/bench.test/mbx/" + std::string(alias) + "/Spam",
            40,
            int64_t{40} * 2048,
            false,
            i % 1000 == 0 ? "access denied" : ""};
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform::testing;
    BenchArgs args(argc, argv, "run_history_bench recorder|commit-each FOLDERS");
    const std::string mode = args.Word().value_or("");
    const long folders = args.NumberWord("FOLDERS", -1, 0);
    if (auto exit = args.Done()) return *exit;
    if (mode != "recorder" && mode != "commit-each")
        return args.Fail("no such mode '" + mode + "'");
    if (folders < 0) return args.Fail("FOLDERS is needed");
    const std::string item =
        "file://./backofficestorage/bench.test/MBX/SystemMailbox/"
        "StoreEvents/GlobalEvents/Quellix.reg";
    try {
        const auto start = BenchClock::now();
        const double cpu = CpuSeconds();
        if (mode == "recorder") {
            auto run = platform::RunRecorder::Begin(item, "Folder: Spam\nAge: 14");
            for (long i = 0; i < folders; ++i) run.Folder(FolderOf(i));
            run.End("completed", "", folders);
        } else {
            auto history = localplatform::RunHistory::OpenCurrent();
            const int64_t id = history.BeginRun(item, 0, "");
            for (long i = 0; i < folders; ++i) {
                const auto f = FolderOf(i);
                history.RecordFolders(id, {{f.mailbox, f.url, f.count, f.bytes, f.moved, f.error}});
            }
            history.EndRun(id, 0, "completed", "", folders);
        }
        const double seconds = SecondsSince(start);
        ReportLine()
            .Add("mode", mode)
            .Add("folders", folders)
            .Add("seconds", seconds)
            .Add("cpu_seconds", CpuSeconds() - cpu)
            .Print();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "run_history_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
