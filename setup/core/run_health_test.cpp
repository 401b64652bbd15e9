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

DueRun Due(int64_t id, std::vector<RunFolderRecord> folders) {
    DueRun due;
    due.run.id = id;
    due.run.outcome = "completed";
    due.folders = std::move(folders);
    return due;
}
RunFolderRecord Swept(const std::string& mailbox) {
    return {mailbox, "http://x/" + mailbox + "/Spam", 1, 10, false, ""};
}
RunFolderRecord Failed(const std::string& mailbox) {
    return {mailbox, "http://x/" + mailbox + "/Spam", 0, 0, false, "access denied"};
}

TEST(RunHealth, FlagsAMailboxFailedOrMissedOnBothOfTheLastTwoDueRuns) {
    struct Case {
        const char* name;
        std::vector<DueRun> runs;  // newest first
        std::vector<std::string> selected;
        std::vector<std::string> flagged;
        std::vector<std::string> firstReasons;  // of the first flag
    };
    const Case cases[] = {
        {"failed twice",
         {Due(2, {Failed("ann@x.org"), Swept("bob@x.org")}), Due(1, {Failed("Ann@X.org")})},
         {"ann@x.org", "bob@x.org"},
         {"ann@x.org"},
         {"run 2: http://x/ann@x.org/Spam: access denied",
          "run 1: http://x/Ann@X.org/Spam: access denied"}},
        {"failed once",
         {Due(2, {Failed("ann@x.org")}), Due(1, {Swept("ann@x.org")})},
         {"ann@x.org"},
         {},
         {}},
        {"not reached twice",
         {Due(2, {Swept("bob@x.org")}), Due(1, {})},
         {"ANN@x.org", "bob@x.org"},
         {"ANN@x.org"},
         {"run 2: not reached", "run 1: not reached"}},
        {"failed, then not reached",
         {Due(2, {}), Due(1, {Failed("ann@x.org")})},
         {"ann@x.org"},
         {"ann@x.org"},
         {"run 2: not reached", "run 1: http://x/ann@x.org/Spam: access denied"}},
        {"a mailbox no longer selected is not missed",
         {Due(2, {Failed("cid@x.org")}), Due(1, {})},
         {},
         {},
         {}},
        {"a mailbox no longer selected that failed twice",
         {Due(2, {Failed("cid@x.org")}), Due(1, {Failed("cid@x.org")})},
         {},
         {"cid@x.org"},
         {"run 2: http://x/cid@x.org/Spam: access denied",
          "run 1: http://x/cid@x.org/Spam: access denied"}},
        {"one folder of several failed",
         {Due(2, {Swept("ann@x.org"), Failed("ann@x.org")}),
          Due(1, {Failed("ann@x.org"), Swept("ann@x.org")})},
         {"ann@x.org"},
         {"ann@x.org"},
         {}},
        {"one due run only", {Due(1, {Failed("ann@x.org")})}, {"ann@x.org"}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto flags = FlagMailboxes(c.runs, c.selected);
        std::vector<std::string> got;
        for (const auto& f : flags) got.push_back(f.mailbox);
        EXPECT_EQ(got, c.flagged);
        if (!c.firstReasons.empty() && !flags.empty()) {
            EXPECT_EQ(flags[0].reasons, c.firstReasons);
        }
    }
}

int64_t Utc(int year, int month, int day, int hour, int minute) {
    return platform::Date::FromParts(year, month, day, hour, minute).UnixSeconds();
}

TEST(RunHealth, TheLastDueInstantFollowsTheRunDayAndTime) {
    // 2026-12-06 is a Sunday, 2026-12-07 a Monday.
    const int64_t mondayMorning = Utc(2026, 12, 7, 4, 0);
    struct Case {
        int run;
        const char* time;
        int64_t now;
        double bias;
        std::optional<int64_t> want;
    };
    const Case cases[] = {
        {1, "7:05 PM", mondayMorning, 0, Utc(2026, 12, 6, 19, 5)},
        {2, "7:05 PM", mondayMorning, 0, Utc(2026, 12, 6, 19, 5)},               // Sunday
        {3, "7:05 PM", mondayMorning, 0, Utc(2026, 11, 30, 19, 5)},              // Monday
        {3, "3:59 AM", mondayMorning, 0, Utc(2026, 12, 7, 3, 59)},               // this Monday
        {3, "4:00 AM", mondayMorning, 0, Utc(2026, 12, 7, 4, 0)},                // just now
        {3, "4:01 AM", mondayMorning, 0, Utc(2026, 11, 30, 4, 1)},               // not yet today
        {1, "7:05 PM", Utc(2026, 12, 7, 18, 30), -60, Utc(2026, 12, 7, 18, 5)},  // UTC+1
        {8, "12:00 AM", mondayMorning, 0, Utc(2026, 12, 5, 0, 0)},               // Saturday
        {0, "7:05 PM", mondayMorning, 0, std::nullopt},                          // never runs
        {1, "19:05", mondayMorning, 0, std::nullopt},                            // no time
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.run) + " " + c.time);
        EXPECT_EQ(LastDueInstant(c.run, c.time, c.now, c.bias), c.want);
    }
}

TEST(RunHealth, AMissedDueRunIsFlaggedAfterItsGrace) {
    platform::testing::TempPlatform temp("quellix-health-");
    temp.Configure();
    const int64_t due = Utc(2026, 12, 6, 19, 5);
    // No history yet: nothing ran, nothing to judge.
    EXPECT_FALSE(
        CheckRunHealth(platform::RunHistoryReader::OpenCurrent(), {}, 1, "7:05 PM", due + 3600, 0)
            .missedRun);
    auto history = localplatform::RunHistory::OpenCurrent();
    const int64_t before = history.BeginRun("item", due - 86400, "");
    history.EndRun(before, due - 86400 + 10, "completed", "", 0);
    const auto reader = platform::RunHistoryReader::OpenCurrent();
    EXPECT_EQ(CheckRunHealth(reader, {}, 1, "7:05 PM", due + 3600, 0).missedRun, due);
    // Within the grace it may still come.
    EXPECT_FALSE(CheckRunHealth(reader, {}, 1, "7:05 PM", due + 60, 0).missedRun);
    // A run that started at the due instant, whatever its outcome.
    const int64_t ran = history.BeginRun("item", due + 2, "");
    history.EndRun(ran, due + 20, "failed", "directory gone", 0);
    EXPECT_FALSE(CheckRunHealth(reader, {}, 1, "7:05 PM", due + 3600, 0).missedRun);
}

}  // namespace
}  // namespace setup
