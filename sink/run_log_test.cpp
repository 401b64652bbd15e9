#include "sink/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

// A temporary directory or a log that another account could have planted
// is refused before anything is written, naming the path and why; what a
// link or a second name points to keeps its bytes.
TEST_F(RunLogTest, AnUnsafeTemporaryDirectoryOrLogIsRefusedBeforeAnythingIsWritten) {
    const std::string victim = dir_ + "/victim";
    std::ofstream(victim) << "precious";
    const std::string longDir = dir_ + "/" + std::string(200, 'x') + "/" + std::string(60, 'y');
    std::filesystem::create_directories(longDir);
    ASSERT_EQ(chmod(longDir.c_str(), 0700), 0);
    // Each fault is made on a fresh private directory tmp; it returns the
    // directory to configure (tmp, or another in its place).
    using Fault = std::function<std::string(const std::string& tmp)>;
    const auto log = [&](int (*plant)(const char*, const char*)) -> Fault {
        return [&victim, plant](const std::string& tmp) {
            EXPECT_EQ(plant(victim.c_str(), (tmp + "/Quellix.LOG").c_str()), 0);
            return tmp;
        };
    };
    const auto fifo = [](const char*, const char* path) { return mkfifo(path, 0600); };
    const auto dir = [](const char*, const char* path) { return mkdir(path, 0700); };
    struct Case {
        const char* name;
        Fault fault;
        std::string why;
        bool namesLog;  // the refusal names the log, not the directory
        bool rootOnly = false;
    } cases[] = {
        {"directory group-writable",
         [](const std::string& tmp) { return chmod(tmp.c_str(), 0770) == 0 ? tmp : ""; },
         "temporary directory is not private to this account", false},
        {"directory of another account",
         [](const std::string& tmp) { return chown(tmp.c_str(), 65534, 65534) == 0 ? tmp : ""; },
         "temporary directory is not private to this account", false, true},
        {"directory a link",
         [](const std::string& tmp) {
             return symlink(tmp.c_str(), (tmp + "-link").c_str()) == 0 ? tmp + "-link" : "";
         },
         "temporary directory is a symbolic link", false},
        {"directory missing two levels down",
         [](const std::string& tmp) { return tmp + "/no/such"; }, "No such file or directory",
         false},
        {"directory path too long", [&](const std::string&) { return longDir; },
         "path longer than 255 bytes", false},
        {"log a link", log(symlink), "is a symbolic link", true},
        {"log a FIFO", log(fifo), "is not a regular file", true},
        {"log a directory", log(dir), "is not a regular file", true},
        {"log with a second hard link", log(link), "has 2 hard links", true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rootOnly && geteuid() != 0) continue;  // only root gives a folder away
        const std::string tmp = dir_ + "/tmp" + std::to_string(++n);
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
        const std::string configured = c.fault(tmp);
        ASSERT_FALSE(configured.empty());
        Configure({"temp_dir = " + configured});
        NewRun();
        try {
            WriteLog(Log(), "Started at: x");
            ADD_FAILURE() << "the log was written";
        } catch (const platform::Error& e) {
            const std::string path = c.namesLog ? configured + "/Quellix.LOG" : configured;
            EXPECT_NE(e.Description().find(path), std::string::npos) << e.Description();
            EXPECT_NE(e.Description().find(c.why), std::string::npos) << e.Description();
        }
        EXPECT_EQ(platform::testing::FileText(victim), "precious");
    }
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
