// RunRecorder and RunHistoryReader over a real history in a temporary
// platform: what the sink records is what the setup program reads, and End
// writes the metrics file when one is configured.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/error.h"
#include "base/testing/file_text.h"
#include "base/testing/temp_platform.h"
#include "platform/run_history.h"

namespace platform {
namespace {

using testing::TempPlatform;

constexpr const char* kItem =
    "file://./backofficestorage/example.org/MBX/SystemMailbox/"
    "StoreEvents/GlobalEvents/Quellix.reg";

TEST(RunRecorder, WhatARunRecordsIsReadBack) {
    TempPlatform temp("quellix-recorder-");
    const std::string metrics = temp.Dir() + "/textfile/quellix.prom";
    std::filesystem::create_directories(temp.Dir() + "/textfile");
    temp.Configure("metrics.textfile = " + metrics + "\n");
    // Nothing was ever recorded: the reader sees nothing and creates nothing.
    EXPECT_TRUE(RunHistoryReader::OpenCurrent().Runs().empty());
    EXPECT_FALSE(std::filesystem::exists(temp.Dir() + "/history.db"));

    int64_t id = 0;
    {
        auto run = RunRecorder::Begin(kItem, "Folder: Spam");
        id = run.Id();
        // More folders than one batch holds: every one arrives.
        for (int i = 0; i < 1234; ++i) {
            run.Folder({"user" + std::to_string(i % 617) + "@example.org",
                        "http://exch01.example.org/exadmin/example.org/mbx/u/Spam", 2, 100,
                        i % 2 == 1, i == 7 ? "access denied" : ""});
        }
        EXPECT_FALSE(std::filesystem::exists(metrics));
        run.End("completed", "", 617);
        EXPECT_THROW(run.Folder({}), Error);
        EXPECT_THROW(run.End("completed", "", 1), Error);
    }
    const auto reader = RunHistoryReader::OpenCurrent();
    const auto runs = reader.Runs();
    ASSERT_EQ(runs.size(), 1u);
    const auto& r = runs[0];
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.outcome, "completed");
    EXPECT_EQ(r.parameters, "Folder: Spam");
    // What the history sums and how it is searched are its own test's.
    EXPECT_EQ(r.mailboxes, 617);
    EXPECT_EQ(reader.Folders(id).size(), 1234u);
    EXPECT_EQ(reader.Folders(id, "user7@example.org")[0].error, "access denied");

    const std::string text = platform::testing::FileText(metrics);
    EXPECT_NE(text.find("quellix_last_run_success{item=\"" + std::string(kItem) + "\"} 1\n"),
              std::string::npos)
        << text;

    // A recorder dropped without End records the run as interrupted.
    { auto dropped = RunRecorder::Begin(kItem, ""); }
    EXPECT_EQ(RunHistoryReader::OpenCurrent().Runs(1).at(0).outcome, "interrupted");

    // A metrics file that cannot be written is returned by End, and the
    // history tells it too: a completed run completed with failures, and
    // says why; a failed one stays failed, with both reasons.
    const std::string nowhere = temp.Dir() + "/nowhere/quellix.prom";
    temp.Configure("metrics.textfile = " + nowhere + "\n");
    const struct {
        const char* outcome;
        const char* detail;
        const char* recorded;
        const char* says;
    } lost[] = {
        {"completed", "", "completed with failures", "the metrics file "},
        {"failed", "directory gone", "failed", "directory gone; the metrics file "},
    };
    for (const auto& c : lost) {
        SCOPED_TRACE(c.outcome);
        auto failing = RunRecorder::Begin(kItem, "");
        const auto why = failing.End(c.outcome, c.detail, 0);
        ASSERT_TRUE(why.has_value());
        EXPECT_NE(why->Description().find(nowhere + " was not written: "), std::string::npos)
            << why->Description();
        const auto run = RunHistoryReader::OpenCurrent().Runs(1).at(0);
        EXPECT_EQ(run.outcome, c.recorded);
        EXPECT_EQ(run.detail.rfind(std::string(c.says) + nowhere + " was not written: ", 0), 0U)
            << run.detail;
    }
}

}  // namespace
}  // namespace platform
