// The run history on a real database in a temporary folder: a run's round
// trip, runs whose process is gone, pruning, the bounded wait for a busy
// history, and the metrics file as Prometheus's own parser reads it.
#include "localplatform/history/run_history.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "base/testing/temp_platform.h"
#include "localplatform/history/metrics_file.h"
#include "localplatform/sqlite/sqlite_db.h"

namespace localplatform {
namespace {

using platform::testing::RunProgram;
using platform::testing::TempPlatform;
namespace outcome = run_outcome;

constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1'800'000'000;
constexpr const char* kItem =
    "file://./backofficestorage/example.org/MBX/SystemMailbox/"
    "StoreEvents/GlobalEvents/Quellix.reg";

class RunHistoryTest : public ::testing::Test {
protected:
    TempPlatform temp_{"quellix-history-"};
    std::string path_ = temp_.Dir() + "/state/history.db";
};

// A history written before it kept what undo put back, names and
// selections gets them when it is opened, its runs intact; a run may be
// recorded under the identity the store gave it.
TEST_F(RunHistoryTest, AnOlderHistoryGetsTheNewRecordsAndKeepsItsRuns) {
    std::filesystem::create_directories(temp_.Dir() + "/state");
    {
        SqliteDb::Options options;
        options.wal = true;
        auto old = SqliteDb::Open(path_, options);
        old.Exec(
            "CREATE TABLE runs (id INTEGER PRIMARY KEY AUTOINCREMENT, item_url TEXT NOT NULL,"
            " started INTEGER NOT NULL, ended INTEGER, outcome TEXT NOT NULL,"
            " detail TEXT NOT NULL DEFAULT '', parameters TEXT NOT NULL DEFAULT '',"
            " pid INTEGER NOT NULL, host TEXT NOT NULL, token TEXT NOT NULL DEFAULT '',"
            " mailboxes INTEGER NOT NULL DEFAULT 0, deleted INTEGER NOT NULL DEFAULT 0,"
            " moved INTEGER NOT NULL DEFAULT 0, bytes INTEGER NOT NULL DEFAULT 0,"
            " errors INTEGER NOT NULL DEFAULT 0);"
            "CREATE TABLE folders (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
            " run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
            " mailbox TEXT NOT NULL COLLATE NOCASE, url TEXT NOT NULL, count INTEGER NOT NULL,"
            " bytes INTEGER NOT NULL, moved INTEGER NOT NULL, error TEXT NOT NULL DEFAULT '');"
            "INSERT INTO runs (item_url, started, outcome, pid, host) VALUES ('x', 1, 'completed',"
            " 1, 'h');");
    }
    auto h = RunHistory::Open(path_, 10000, 0);
    EXPECT_EQ(h.HighestRunId(), 1);
    EXPECT_TRUE(h.RecordPutBack(1, 3, kNow));
    EXPECT_FALSE(h.RecordPutBack(9, 3, kNow));
    EXPECT_EQ(h.Run(1)->putBack, 3);
    EXPECT_EQ(h.Run(1)->putBackAt, kNow);
    EXPECT_FALSE(h.Selection(1));

    const int64_t run = h.BeginRun(kItem, kNow, "", 40);
    EXPECT_EQ(run, 40);
    EXPECT_EQ(h.HighestRunId(), 40);
    // A selection recorded in pages is none until its last page is.
    h.RecordSelection(run, {{"ann@example.org", "Ann"}}, false);
    EXPECT_FALSE(h.Selection(run)) << "a selection not yet whole";
    h.RecordSelection(run, {{"", "Wendy Lee 2"}});
    h.RecordFolders(run, {{"", "", 0, 0, false, "no URL to try", "Wendy Lee 2"}});
    const auto selection = h.Selection(run);
    ASSERT_TRUE(selection);
    ASSERT_EQ(selection->size(), 2U);
    EXPECT_EQ((*selection)[0].name, "Ann");
    EXPECT_EQ((*selection)[1].name, "Wendy Lee 2");
    EXPECT_EQ(h.Folders(run).at(0).name, "Wendy Lee 2");
    EXPECT_THROW((void)h.BeginRun(kItem, kNow, "", 40), platform::Error);
    // The history's own numbers go on above it.
    EXPECT_EQ(h.BeginRun(kItem, kNow, ""), 41);
}

TEST_F(RunHistoryTest, RecordsARunAndSumsItsFolders) {
    auto h = RunHistory::Open(path_);
    const int64_t run = h.BeginRun(kItem, kNow, "folder=Spam\nage=14");
    h.RecordFolders(run, {{"Ann@example.org", "http://x/ann/Spam", 3, 300, false, ""},
                          {"bob@example.org", "http://x/bob/Spam", 0, 0, false, "no such folder"}});
    h.RecordFolders(run, {{"ann@example.org", "http://x/ann/Spam/Old", 2, 50, true, ""}});
    const auto running = h.Run(run);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->outcome, outcome::kRunning);  // this process is alive
    EXPECT_EQ(running->pid, ::getpid());
    h.EndRun(run, kNow + 7, outcome::kFailed, "directory gone", 2);

    const auto r = h.Run(run);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::vector<std::string>({r->itemUrl, r->outcome, r->detail, r->parameters}),
              std::vector<std::string>(
                  {kItem, outcome::kFailed, "directory gone", "folder=Spam\nage=14"}));
    EXPECT_EQ(r->ended, kNow + 7);
    // Mailboxes as the run counted them; the rest summed over its folders.
    EXPECT_EQ(std::vector<int64_t>({r->mailboxes, r->deleted, r->moved, r->bytes, r->errors}),
              std::vector<int64_t>({2, 3, 2, 350, 1}));
    // The address is compared without regard to case, for runs and folders.
    EXPECT_EQ(h.Folders(run).size(), 3u);
    EXPECT_EQ(h.Folders(run, "ANN@example.org").size(), 2u);
    EXPECT_EQ(h.Runs(0, "BOB@EXAMPLE.ORG").size(), 1u);
    EXPECT_TRUE(h.Runs(0, "carol@example.org").empty());
    EXPECT_THROW(h.EndRun(run + 100, kNow, outcome::kCompleted, "", 0), platform::Error);

    // The newest first, and "not a run day" is no last run for the metrics.
    const int64_t second = h.BeginRun(kItem, kNow + kDay, "");
    h.EndRun(second, kNow + kDay, outcome::kNotARunDay, "", 0);
    const auto runs = h.Runs(1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, second);
    const auto last = h.LastRuns();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].id, run);
}

// A run begun by a process that ended without recording its end reads
// "interrupted", whether the process exited or was killed; while the
// process lives, it reads "running".
TEST_F(RunHistoryTest, ARunWhoseProcessIsGoneReadsInterrupted) {
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "killed" : "exited");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            auto h = RunHistory::Open(path_);
            const int64_t id = h.BeginRun(kItem, kNow, "");
            h.RecordFolders(id, {{"ann@example.org", "http://x/ann/Spam", 1, 10, false, ""}});
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
            if (kill) ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        auto h = RunHistory::Open(path_);
        if (kill) {
            EXPECT_EQ(h.Runs(1).at(0).outcome, outcome::kRunning);
            ::kill(child, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        const auto r = h.Runs(1).at(0);
        EXPECT_EQ(r.outcome, outcome::kInterrupted);
        EXPECT_EQ(r.pid, child);
        EXPECT_FALSE(r.ended);
        EXPECT_EQ(h.Folders(r.id).size(), 1u);
    }
}

TEST_F(RunHistoryTest, BeginningARunPrunesRunsOlderThanTheKeptAge) {
    struct Case {
        int keepDays;
        size_t kept;  // of the runs 100, 30 and 1 days old, and the new one
    };
    for (const Case c : {Case{90, 3}, Case{10, 2}, Case{0, 4}}) {
        SCOPED_TRACE(c.keepDays);
        const std::string path = temp_.Dir() + "/keep" + std::to_string(c.keepDays) + ".db";
        auto h = RunHistory::Open(path, 10000, c.keepDays);
        for (int64_t age : {100, 30, 1}) {
            const int64_t id = h.BeginRun(kItem, kNow - age * kDay, "");
            h.RecordFolders(id, {{"ann@example.org", "u", 1, 1, false, ""}});
            h.EndRun(id, kNow - age * kDay + 60, outcome::kCompleted, "", 1);
        }
        h.BeginRun(kItem, kNow, "");
        const auto runs = h.Runs();
        EXPECT_EQ(runs.size(), c.kept);
        // The folders of a pruned run go with it.
        for (const auto& r : runs)
            EXPECT_GE(r.started, kNow - (c.keepDays ? c.keepDays : 999) * kDay);
        SqliteDb db = SqliteDb::Open(path, {.source = "test"});
        auto q = db.Prepare("SELECT COUNT(*) FROM folders");
        ASSERT_TRUE(q.Step());
        EXPECT_EQ(q.Int(0), static_cast<int64_t>(c.kept == 4 ? 3 : c.kept - 1));
    }
}

// The configuration names the history and its bounds; a writer waits for a
// busy history up to that bound and says so, while readers never wait.
TEST_F(RunHistoryTest, AWriterWaitsForABusyHistoryUpToTheConfiguredBound) {
    temp_.Configure("history.keep_days = 7\nhistory.busy_timeout_ms = 300\n");
    auto h = RunHistory::OpenCurrent();
    EXPECT_EQ(h.Path(), temp_.Dir() + "/history.db");
    EXPECT_EQ(h.KeepDays(), 7);
    SqliteDb other = SqliteDb::Open(h.Path(), {.wal = true, .source = "test"});
    SqliteDb::Transaction holding(other);
    const auto start = std::chrono::steady_clock::now();
    try {
        (void)h.BeginRun(kItem, kNow, "");
        FAIL() << "a busy history was written";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kResourceLocked);
        EXPECT_NE(e.Description().find(h.Path()), std::string::npos) << e.Description();
        EXPECT_NE(e.Description().find("300 ms (history.busy_timeout_ms)"), std::string::npos)
            << e.Description();
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_TRUE(h.Runs().empty());

    temp_.Configure("history = " + path_ + "\nhistory.keep_days = a week\n");
    try {
        (void)RunHistory::OpenCurrent();
        FAIL() << "a keep_days that is no number was taken";
    } catch (const platform::Error& e) {
        EXPECT_NE(e.Description().find("history.keep_days"), std::string::npos);
    }
}

// ------------------------------------------------------------- metrics file

// What the Python client's parser reads from a metrics file: one line per
// sample, "name item value", or "bad: why" when a read is not complete.
constexpr const char* kParse = R"(
import sys, os, time
from prometheus_client.parser import text_string_to_metric_families
path, want, stop = sys.argv[1], int(sys.argv[2]), sys.argv[3] if len(sys.argv) > 3 else ""
def read():
    with open(path) as f:
        text = f.read()
    families = list(text_string_to_metric_families(text))
    samples = [s for f in families for s in f.samples]
    sizes = {len(f.samples) for f in families}
    if len(families) != 9 or len(sizes) != 1 or not text.endswith("\n"):
        raise ValueError("incomplete: %d families, sizes %s" % (len(families), sizes))
    return families
if not stop:
    for f in read():
        for s in f.samples:
            print(s.name, f.type, s.labels.get("item"), int(s.value))
    sys.exit(0)
reads, deadline = 0, time.time() + 120
while not os.path.exists(stop) and time.time() < deadline:
    try:
        read()
    except Exception as e:
        print("bad:", e)
        sys.exit(1)
    reads += 1
print("reads", reads)
)";

RunRecord LastRun(const std::string& item, int64_t n) {
    RunRecord r;
    r.id = n;
    r.itemUrl = item;
    r.started = kNow + n;
    r.ended = kNow + n + 42;
    r.outcome = n % 2 ? outcome::kCompleted : outcome::kFailed;
    r.mailboxes = 10 + n;
    r.deleted = 100 + n;
    r.moved = 5;
    r.bytes = 1 << 20;
    r.errors = n % 2 ? 0 : 1;
    return r;
}

// The file as Prometheus's parser reads it, and never read half written
// while it is replaced.
TEST_F(RunHistoryTest, TheMetricsFileParsesWithPrometheusParserAndIsNeverSeenHalfWritten) {
    const std::string odd = "file://./backofficestorage/a\"b\\c\nd/Quellix.reg";
    const std::string file = temp_.Dir() + "/quellix.prom";
    WriteMetricsFile(file, MetricsText({LastRun(kItem, 1), LastRun(odd, 2)}));
    const auto parsed = RunProgram({QUELLIX_SYSTEM_PYTHON, "-c", kParse, file, "2"});
    ASSERT_EQ(parsed.code, 0) << parsed.err << parsed.out;
    for (const std::string& want :
         {std::string("quellix_last_run_start_time_seconds gauge ") + kItem + " 1800000001",
          std::string("quellix_last_run_duration_seconds gauge ") + kItem + " 42",
          std::string("quellix_last_run_success gauge ") + kItem + " 1",
          std::string("quellix_last_run_success gauge ") + odd + " 0",
          std::string("quellix_last_run_messages_deleted gauge ") + kItem + " 101",
          std::string("quellix_last_run_messages_moved gauge ") + kItem + " 5",
          std::string("quellix_last_run_bytes_freed gauge ") + kItem + " 1048576",
          std::string("quellix_last_run_errors gauge ") + odd + " 1",
          std::string("quellix_last_run_mailboxes_processed gauge ") + odd + " 12"}) {
        EXPECT_NE(parsed.out.find(want + "\n"), std::string::npos) << want << "\n" << parsed.out;
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A folder that cannot be written to names the file; nothing is left.
    try {
        WriteMetricsFile(temp_.Dir() + "/missing/quellix.prom", "x");
        FAIL() << "wrote into a missing folder";
    } catch (const platform::Error& e) {
        EXPECT_NE(e.Description().find(temp_.Dir() + "/missing/quellix.prom"), std::string::npos);
    }

    const std::string stop = temp_.Dir() + "/stop";
    std::thread writer([&] {
        // Files of one and of three items, so that a torn read shows as
        // families of different sizes or a cut line.
        for (int i = 0; i < 400; ++i) {
            std::vector<RunRecord> runs{LastRun(kItem, i)};
            if (i % 2) {
                runs.push_back(LastRun(kItem + std::string("2"), i));
                runs.push_back(LastRun(kItem + std::string(200, 'x'), i));
            }
            WriteMetricsFile(file, MetricsText(runs));
        }
        std::ofstream(stop) << "done";
    });
    const auto reader = RunProgram({QUELLIX_SYSTEM_PYTHON, "-c", kParse, file, "0", stop});
    writer.join();
    EXPECT_EQ(reader.code, 0) << reader.out << reader.err;
    EXPECT_NE(reader.out.find("reads "), std::string::npos) << reader.out;
    // No temporary file is left beside it.
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(temp_.Dir())) {
        files += e.path().filename().string().starts_with("quellix.prom") ? 1 : 0;
    }
    EXPECT_EQ(files, 1u);
}

}  // namespace
}  // namespace localplatform
