#include "sink/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>

#include "base/error.h"
#include "base/testing/file_text.h"
#include "sink/testing/sink_fixture.h"
#include "sink/windirs.h"

namespace quellix {
namespace {

using testing::SinkFixture;

TEST(TrimAtNul, CutsAtTheFirstNul) {
    struct Case {
        std::string in, want;
    } cases[] = {
        {std::string("/tmp/x/\0garbage", 15), "/tmp/x/"},
        {"/tmp/x/", "/tmp/x/"},
        {std::string("\0abc", 4), ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(TrimAtNul(c.in), c.want);
}

TEST(ExtractReportAddress, FindsTheAddressInTheRecipientText) {
    struct Case {
        const char* recipient;
        const char* want;
    } cases[] = {
        {"admin@example.org", "admin@example.org"},
        {"Mail Admin (admin@example.org)", "admin@example.org"},
        {"Admin(admin@example.org)", "admin@example.org"},
        {"admin@example.org (Mail Admin)", "admin@example.org"},
        {"Mail Admin", "Mail Admin"},  // no "@": used unchanged
        {"postmaster", "postmaster"},
        {"@example.org", "@example.org"},
        {"x y@z", "y@z"},
    };
    for (const auto& c : cases) EXPECT_EQ(ExtractReportAddress(c.recipient), c.want) << c.recipient;
}

class RunLogTest : public SinkFixture {};

// Entries end with CR LF in a file of the owner's alone; a new run starts the
// log afresh; once the run closed its log, writing fails and keeps the log.
TEST_F(RunLogTest, EntriesEndWithCrLfAndANewRunStartsTheLogAfresh) {
    WriteLog(Log(), "first run");
    NewRun();
    EXPECT_EQ(Log().LogFileNumber(), 0);
    WriteLog(Log(), "Started at: x");
    WriteLog(Log(), "");
    WriteLog(Log(), "\r\nMailbox: Ann\r\nSource folder: Spam");
    EXPECT_NE(Log().LogFileNumber(), 0);
    EXPECT_EQ(ReadLog(), "Started at: x\r\n\r\n\r\nMailbox: Ann\r\nSource folder: Spam\r\n");
    struct stat st {};
    ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CloseLog(Log());
    EXPECT_THROW(WriteLog(Log(), "late"), platform::Error);
    EXPECT_EQ(ReadLog(), "Started at: x\r\n\r\n\r\nMailbox: Ann\r\nSource folder: Spam\r\n");
}

TEST_F(RunLogTest, NoRecipientOrNoLogSendsNothing) {
    // No recipient.
    WriteLog(Log(), "Started at: x");
    SendReport(Log(), "");
    // No log.
    std::filesystem::remove(LogPath());
    NewRun();
    SendReport(Log(), "admin@example.org");
    const auto reports = [&] {
        const std::string pickup = dir_ + "/pickup";
        if (!std::filesystem::exists(pickup)) return 0L;
        return static_cast<long>(std::distance(std::filesystem::directory_iterator(pickup),
                                               std::filesystem::directory_iterator()));
    };
    EXPECT_EQ(reports(), 0);
    // With both, exactly one report goes: the two above sent nothing because
    // they must not, not because nothing can be sent.
    NewRun();
    WriteLog(Log(), "Started at: x");
    SendReport(Log(), "admin@example.org");
    EXPECT_EQ(reports(), 1);
}

}  // namespace
}  // namespace quellix
