// The status command's judgement of the run history: which mailboxes the
// last two due runs failed or missed, and when the last due run was.
#include "setup/core/run_health.h"

#include <gtest/gtest.h>

#include "base/date.h"
#include "base/testing/temp_platform.h"
#include "localplatform/history/run_history.h"

namespace setup {
namespace {

using platform::RunFolderRecord;

// A due run with its folders and, when given, what it selected.
DueRun Due(int64_t id, std::vector<RunFolderRecord> folders,
           std::optional<std::vector<std::string>> selected = std::nullopt) {
    DueRun due;
    due.run.id = id;
    due.run.outcome = "completed";
    due.folders = std::move(folders);
    if (selected) {
        due.selection.emplace();
        for (const auto& address : *selected)
            due.selection->push_back({address, "name of " + address});
    }
    return due;
}
RunFolderRecord Swept(const std::string& mailbox) {
    return {mailbox, "http://x/" + mailbox + "/Spam", 1, 10, false, ""};
}
RunFolderRecord Failed(const std::string& mailbox) {
    return {mailbox, "http://x/" + mailbox + "/Spam", 0, 0, false, "access denied"};
}
using Selected = std::vector<std::string>;

TEST(RunHealth, FlagsAMailboxFailedOrMissedOnBothOfTheLastTwoDueRuns) {
    struct Case {
        const char* name;
        std::vector<DueRun> runs;  // newest first
        std::vector<std::string> flagged;
        std::vector<std::string> firstReasons;  // of the first flag
    };
    const Case cases[] = {
        {"failed twice",
         {Due(2, {Failed("ann@x.org"), Swept("bob@x.org")}), Due(1, {Failed("Ann@X.org")})},
         {"ann@x.org"},
         {"run 2: http://x/ann@x.org/Spam: access denied",
          "run 1: http://x/Ann@X.org/Spam: access denied"}},
        {"failed once", {Due(2, {Failed("ann@x.org")}), Due(1, {Swept("ann@x.org")})}, {}, {}},
        {"selected and not reached twice",
         {Due(2, {Swept("bob@x.org")}, Selected{"ANN@x.org", "bob@x.org"}),
          Due(1, {}, Selected{"ann@x.org", "bob@x.org"})},
         {"ANN@x.org"},
         {"run 2: not reached", "run 1: not reached"}},
        {"failed, then selected and not reached",
         {Due(2, {}, Selected{"ann@x.org"}), Due(1, {Failed("ann@x.org")})},
         {"ann@x.org"},
         {"run 2: not reached", "run 1: http://x/ann@x.org/Spam: access denied"}},
        // Marked after both runs: neither selected it, so neither missed it.
        {"a mailbox marked after the runs is not missed",
         {Due(2, {Swept("bob@x.org")}, Selected{"bob@x.org"}),
          Due(1, {Swept("bob@x.org")}, Selected{"bob@x.org"})},
         {},
         {}},
        // A run that stopped before it asked the directory selected nothing
        // it could tell: it misses no mailbox.
        {"runs that recorded no selection miss nothing", {Due(2, {}), Due(1, {})}, {}, {}},
        {"a mailbox no longer selected that failed twice",
         {Due(2, {Failed("cid@x.org")}), Due(1, {Failed("cid@x.org")})},
         {"cid@x.org"},
         {"run 2: http://x/cid@x.org/Spam: access denied",
          "run 1: http://x/cid@x.org/Spam: access denied"}},
        {"one folder of several failed",
         {Due(2, {Swept("ann@x.org"), Failed("ann@x.org")}),
          Due(1, {Failed("ann@x.org"), Swept("ann@x.org")})},
         {"ann@x.org"},
         {}},
        {"one due run only", {Due(1, {Failed("ann@x.org")})}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto flags = FlagMailboxes(c.runs);
        std::vector<std::string> got;
        for (const auto& f : flags) got.push_back(f.address);
        EXPECT_EQ(got, c.flagged);
        if (!c.firstReasons.empty() && !flags.empty()) {
            EXPECT_EQ(flags[0].reasons, c.firstReasons);
        }
    }
}

int64_t Utc(int year, int month, int day, int hour, int minute) {
    return platform::Date::FromParts(year, month, day, hour, minute).UnixSeconds();
}

TEST(RunHealth, TheLastAndNextDueInstantsFollowTheRunDayAndTime) {
    // 2026-12-06 is a Sunday, 2026-12-07 a Monday.
    const int64_t mondayMorning = Utc(2026, 12, 7, 4, 0);
    struct Case {
        int run;
        const char* time;
        int64_t now;
        double bias;
        std::optional<int64_t> last, next;
    };
    const Case cases[] = {
        {1, "7:05 PM", mondayMorning, 0, Utc(2026, 12, 6, 19, 5), Utc(2026, 12, 7, 19, 5)},
        {2, "7:05 PM", mondayMorning, 0, Utc(2026, 12, 6, 19, 5),  // Sunday
         Utc(2026, 12, 13, 19, 5)},
        {3, "7:05 PM", mondayMorning, 0, Utc(2026, 11, 30, 19, 5),  // Monday
         Utc(2026, 12, 7, 19, 5)},
        {3, "3:59 AM", mondayMorning, 0, Utc(2026, 12, 7, 3, 59), Utc(2026, 12, 14, 3, 59)},
        {3, "4:00 AM", mondayMorning, 0, Utc(2026, 12, 7, 4, 0),  // just now
         Utc(2026, 12, 14, 4, 0)},
        {3, "4:01 AM", mondayMorning, 0, Utc(2026, 11, 30, 4, 1),  // not yet today
         Utc(2026, 12, 7, 4, 1)},
        {1, "7:05 PM", Utc(2026, 12, 7, 18, 30), -60, Utc(2026, 12, 7, 18, 5),  // UTC+1
         Utc(2026, 12, 8, 18, 5)},
        {8, "12:00 AM", mondayMorning, 0, Utc(2026, 12, 5, 0, 0),  // Saturday
         Utc(2026, 12, 12, 0, 0)},
        {0, "7:05 PM", mondayMorning, 0, std::nullopt, std::nullopt},  // never runs
        {1, "19:05", mondayMorning, 0, std::nullopt, std::nullopt},    // no time
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.run) + " " + c.time);
        EXPECT_EQ(LastDueInstant(c.run, c.time, c.now, c.bias), c.last);
        EXPECT_EQ(NextDueInstant(c.run, c.time, c.now, c.bias), c.next);
    }
}

constexpr const char* kItem =
    "file://./backofficestorage/example.org/MBX/SystemMailbox{1}/StoreEvents/GlobalEvents/"
    "Quellix.reg";

TEST(RunHealth, AMissedDueRunIsFlaggedAfterItsGrace) {
    platform::testing::TempPlatform temp("quellix-health-");
    temp.Configure();
    const int64_t due = Utc(2026, 12, 6, 19, 5);
    // No history yet: nothing ran, nothing to judge.
    EXPECT_FALSE(CheckRunHealth(platform::RunHistoryReader::OpenCurrent(), kItem, 1, "7:05 PM",
                                due + 3600, 0)
                     .missedRun);
    auto history = localplatform::RunHistory::OpenCurrent();
    const int64_t before = history.BeginRun(kItem, due - 86400, "");
    history.EndRun(before, due - 86400 + 10, "completed", "", 0);
    const auto reader = platform::RunHistoryReader::OpenCurrent();
    EXPECT_EQ(CheckRunHealth(reader, kItem, 1, "7:05 PM", due + 3600, 0).missedRun, due);
    // Within the grace it may still come.
    EXPECT_FALSE(CheckRunHealth(reader, kItem, 1, "7:05 PM", due + 60, 0).missedRun);
    // A run of another item at the due instant is not this registration's.
    const int64_t other =
        history.BeginRun("file://./backofficestorage/example.org/MBX/x/y.reg", due + 2, "");
    history.EndRun(other, due + 20, "failed", "no such item", 0);
    EXPECT_EQ(CheckRunHealth(reader, kItem, 1, "7:05 PM", due + 3600, 0).missedRun, due);
    EXPECT_EQ(CheckRunHealth(reader, kItem, 1, "7:05 PM", due + 3600, 0).lastRun->id, before);
    // A run that started at the due instant, whatever its outcome; by the
    // item's other URL.
    const int64_t ran = history.BeginRun(
        "http://exch01.example.org/exadmin/example.org/mbx/systemmailbox{1}/StoreEvents/"
        "GlobalEvents/Quellix.reg",
        due + 2, "");
    history.EndRun(ran, due + 20, "failed", "directory gone", 0);
    const RunHealth health = CheckRunHealth(reader, kItem, 1, "7:05 PM", due + 3600, 0);
    EXPECT_FALSE(health.missedRun);
    ASSERT_TRUE(health.lastRun);
    EXPECT_EQ(health.lastRun->id, ran);
}

}  // namespace
}  // namespace setup
