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
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "localplatform/history/run_history.h"
#include "platform/run_history.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

platform::RunFolderRecord FolderOf(long i) {
    char alias[32];
    std::snprintf(alias, sizeof alias, "user%06ld", i);
    return {std::string(alias) + "@bench.test",
            "http://bench.bench.test/exadmin/bench.test/mbx/" + std::string(alias) + "/Spam",
            40,
            40 * 2048,
            false,
            i % 1000 == 0 ? "access denied" : ""};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 ||
        (std::strcmp(argv[1], "recorder") != 0 && std::strcmp(argv[1], "commit-each") != 0)) {
        std::fprintf(stderr, "usage: run_history_bench recorder|commit-each FOLDERS\n");
        return 2;
    }
    const std::string mode = argv[1];
    const long folders = std::atol(argv[2]);
    const std::string item =
        "file://./backofficestorage/bench.test/MBX/SystemMailbox/"
        "StoreEvents/GlobalEvents/Quellix.reg";
    try {
        const auto start = std::chrono::steady_clock::now();
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
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("mode=%s folders=%ld seconds=%.3f cpu_seconds=%.3f\n", mode.c_str(), folders,
                    seconds, CpuSeconds() - cpu);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "run_history_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
