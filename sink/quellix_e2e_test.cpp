// The sink as the store meets it: Quellix.so registered through its own
// self-registration, created by ProgID from the class registry, OnTimer
// called on a thread of the host, the report received by a real SMTP server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "base/testing/small_file_system.h"
#include "localplatform/mail/mail_message.h"
#include "localplatform/mail/testing/smtp_harness.h"
#include "platform/com.h"
#include "platform/run_lock.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using localplatform::mailtest::SmtpSink;
using platform::Date;
using registration::OnTimerRegistration;
using testing::MailUser;
using testing::SinkFixture;
using testing::User;
using Strings = std::vector<std::string>;

// Every "now" text of a log or subject, for comparing whole texts.
std::string WithoutTimes(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
    return std::regex_replace(text, stamp, "<now>");
}

// quellix-host's exit status with args (-1: ended by a signal).
int RunHost(std::vector<std::string> args) {
    args.insert(args.begin(), QUELLIX_HOST_PATH);
    return platform::testing::RunProgram(args).code;
}

class QuellixModuleTest : public SinkFixture {
protected:
    void SetUp() override {
        SinkFixture::SetUp();
        std::filesystem::create_directories(dir_ + "/smtp");
        smtp_ = std::make_unique<SmtpSink>(dir_ + "/smtp");
        Configure({"mail.transport = " + smtp_->Url()});
        ASSERT_EQ(platform::CallModuleRegistration(QUELLIX_MODULE_PATH, false), platform::S_OK);

        Directory({
            MailUser("Ann Arbor", "ann", "ann@example.org", "Quellix"),
            MailUser("Bob Baker", "bob", "bob@other.example", "QUELLIX"),
            MailUser("Archive", "arch", "arch@example.org"),
        });
        const Date now = Date::NowUtc();
        for (const char* alias : {"ann", "bob"}) {
            const int64_t spam = Folder(alias, "Spam");
            Message(spam, std::string(alias) + "-1", now.AddDays(-30));
            Message(spam, std::string(alias) + "-2", now.AddDays(-15));
            Message(spam, std::string(alias) + "-3", now.AddDays(-2));
            Message(Folder(alias, "Spam/Older"), std::string(alias) + "-4", now.AddDays(-40));
        }
        Mailbox("arch");
    }

    // The shared parameters, with a recipient in the "Name (address)" form
    // and subfolders included.
    static OnTimerRegistration Params() {
        OnTimerRegistration r = testing::RunParams();
        r.reportRecipient = "Mail Admin (admin@example.org)";
        r.includeSubfolders = "1";
        return r;
    }

    // OnTimer through the registered module, on a thread of its own as the
    // store's event service calls it.
    static platform::HRESULT FireTimer(const std::string& itemUrl) {
        platform::HRESULT result = platform::E_FAIL;
        std::thread worker([&] {
            platform::IExStoreSystemEvents* sink = nullptr;
            std::string why;
            const platform::HRESULT hr = platform::CreateInstanceByProgId(
                "Quellix.QuellixCls", platform::IID_IExStoreSystemEvents,
                reinterpret_cast<void**>(&sink), &why);
            ASSERT_EQ(hr, platform::S_OK) << why;
            result = sink->OnTimer(itemUrl.c_str(), 0);
            sink->Release();
        });
        worker.join();
        return result;
    }

    std::unique_ptr<SmtpSink> smtp_;
};

// A moving run fired by quellix-host: the log's whole text, mailed as the
// report (a run fired on a thread as the store does, and a deleting run,
// are the tests below). Then the host's other verbs.
TEST_F(QuellixModuleTest, ATimerEventPerformsTheWholeRunAndMailsTheLog) {
    const std::string base = "file://./backofficestorage/example.org/mbx";
    OnTimerRegistration p = Params();
    p.mailboxToMove = "Archive (arch@example.org)";
    p.includeSubfolders = "0";
    const std::string item = Registration(p);
    EXPECT_EQ(RunHost({"ontimer", item}), 0);
    const std::string log = ReadLog();
    EXPECT_EQ(WithoutTimes(log),
              "Started at: <now>\r\n\r\n"
              "Destination folder arch/Inbox is ready to collect messages.\r\n"
              "\r\nMailbox: Ann Arbor\r\nSource folder: Spam\r\n"
              "2 messages has been moved from " +
                  base + "/ann/Spam to arch/Inbox\r\n" +
                  "\r\nMailbox: Bob Baker\r\nSource folder: Spam\r\n"
                  "2 messages has been moved from " +
                  base + "/bob/Spam to arch/Inbox\r\n" +
                  "\r\nMailboxes processed: 2\r\n\r\nCompleted at: <now>\r\n");

    const auto received = smtp_->Messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].mailFrom, "<>");
    EXPECT_EQ(received[0].rcptTo, Strings{"admin@example.org"});
    const auto mail = localplatform::MailMessage::Parse(received[0].data);
    EXPECT_EQ(mail.Header("From"), "Quellix <>");
    EXPECT_EQ(mail.Header("To"), "admin@example.org");
    EXPECT_EQ(WithoutTimes(mail.Header("Subject")), "Quellix Report <now>");
    EXPECT_EQ(mail.TextBody(), "");
    const auto attachments = mail.Attachments();
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0].fileName, "Quellix.LOG");
    EXPECT_EQ(attachments[0].bytes, log);
    EXPECT_EQ(Subjects("arch", "Inbox"), (Strings{"ann-1", "ann-2", "bob-1", "bob-2"}));
    EXPECT_EQ(Messages("ann", "Spam"), Strings{"ann-3"});

    EXPECT_EQ(RunHost({}), 2);
    EXPECT_EQ(RunHost({"ontimer"}), 2);
    EXPECT_EQ(RunHost({"--help"}), 0);
    EXPECT_EQ(RunHost({"ontimer", "--progid", "Nobody.Cls", item}), 1);
    EXPECT_EQ(RunHost({"unregister", QUELLIX_MODULE_PATH}), 0);
    EXPECT_EQ(RunHost({"ontimer", item}), 1);
    EXPECT_EQ(RunHost({"register", QUELLIX_MODULE_PATH}), 0);
    EXPECT_EQ(RunHost({"register", dir_ + "/missing.so"}), 1);
}

TEST_F(QuellixModuleTest, OverlappingRunsMailOneWholeLogEach) {
    const std::string item = Registration(Params());
    std::thread other([&] { EXPECT_EQ(FireTimer(item), platform::S_OK); });
    EXPECT_EQ(FireTimer(item), platform::S_OK);
    other.join();
    const auto received = smtp_->Messages();
    ASSERT_EQ(received.size(), 2u);
    for (const auto& r : received) {
        const auto attachments = localplatform::MailMessage::Parse(r.data).Attachments();
        ASSERT_EQ(attachments.size(), 1u);
        const std::string& log = attachments[0].bytes;
        EXPECT_TRUE(log.starts_with("Started at: ")) << log;
        EXPECT_TRUE(log.find("Started at: ", 1) == std::string::npos) << log;
        // The first run swept; the second found nothing left but treated the
        // same mailboxes. Neither log holds a line of the other.
        EXPECT_TRUE(WithoutTimes(log).ends_with(
            "\r\nMailboxes processed: 2\r\n\r\nCompleted at: <now>\r\n"))
            << log;
        EXPECT_EQ(log.find("Mailboxes processed: "), log.rfind("Mailboxes processed: ")) << log;
    }
}

TEST_F(QuellixModuleTest, TheClassAnswersTheStoresOtherCalls) {
    platform::IUnknown* unknown = nullptr;
    ASSERT_EQ(platform::CreateInstanceByProgId("quellix.quellixcls", platform::IID_IUnknown,
                                               reinterpret_cast<void**>(&unknown)),
              platform::S_OK);
    platform::ICreateRegistration* reg = nullptr;
    ASSERT_EQ(
        unknown->QueryInterface(platform::IID_ICreateRegistration, reinterpret_cast<void**>(&reg)),
        platform::S_OK);
    int32_t result = -1;
    EXPECT_EQ(reg->Register(nullptr, "file://./backofficestorage/x/MBX/y/z", 0, &result),
              platform::S_OK);
    EXPECT_EQ(result, 0);
    platform::IExStoreSystemEvents* events = nullptr;
    ASSERT_EQ(
        reg->QueryInterface(platform::IID_IExStoreSystemEvents, reinterpret_cast<void**>(&events)),
        platform::S_OK);
    EXPECT_EQ(events->OnMDBStartUp("{guid}", "First Storage Group", 0), platform::S_OK);
    EXPECT_EQ(events->OnMDBShutDown("{guid}", 0), platform::S_OK);
    EXPECT_EQ(events->OnTimer(nullptr, 0), platform::E_FAIL);  // no item, no run
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(events->QueryInterface(platform::IID_IClassFactory, &none), platform::E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    events->Release();
    reg->Release();
    unknown->Release();
}

// quellix-host as the event service starts it: its exit status and what it
// wrote on standard error.
struct HostRun {
    int status = -1;  // exit status; 77: the child's setup could not be made
    std::string err;
};

// quellix-host with args, started; see StartProgram for childSetup.
pid_t StartHost(std::vector<std::string> args, const std::string& errPath,
                const std::function<bool()>& childSetup = {}) {
    args.insert(args.begin(), QUELLIX_HOST_PATH);
    return platform::testing::StartProgram(args, errPath, childSetup);
}

HostRun WaitHost(pid_t pid, const std::string& errPath) {
    int status = 0;
    const bool exited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    return {exited ? WEXITSTATUS(status) : -1, platform::testing::FileText(errPath)};
}

HostRun RunHostCapturing(const std::vector<std::string>& args, const std::string& errPath,
                         const std::function<bool()>& childSetup = {}) {
    return WaitHost(StartHost(args, errPath, childSetup), errPath);
}

// In the child: a private mount namespace with a tmpfs of two pages on dir,
// one of them taken by a filler file, so that dir holds one page of log and
// nothing more (or nothing at all when full). Needs root or user namespaces.
bool SmallFileSystemOn(const std::string& dir, bool full) {
    if (!platform::testing::MountSmallFileSystem(dir, "8k")) return false;
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0) return false;
    static const char page[4096] = {};
    // One page for the filler, or every page when the file system is to be full.
    for (int i = 0; full || i < 1; ++i) {
        if (write(fd, page, sizeof page) <= 0) break;
    }
    close(fd);
    return true;
}

class HostFailureTest;
using Texts = std::vector<std::string>;

struct HostCase {
    const char* name;
    // Makes the fault in the fixture; returns the texts that the one line
    // on standard error must hold.
    std::function<Texts(HostFailureTest&)> fault;
    const char* what;  // "run" or "report"
    bool logSaysWhy;   // the log's last line is an error entry
};

class HostFailureTest : public QuellixModuleTest, public ::testing::WithParamInterface<HostCase> {
public:
    // Access for the fault makers.
    std::string Tmp() const { return tmpDir_; }
    void Reconfigure(const std::string& line) {
        std::vector<std::string> lines = extraConfig_;
        lines.push_back(line);
        Configure(lines);
    }
};

// Built before main: a throw here ends the test program, which is outcome enough.
// NOLINTNEXTLINE(cert-err58-cpp)
const HostCase kHostCases[] = {
    {"TempDirGroupWritable",
     [](HostFailureTest& f) -> Texts {
         EXPECT_EQ(chmod(f.Tmp().c_str(), 0770), 0);
         return {f.Tmp(), "not private"};
     },
     "run", false},
    {"BadStoreSetting",
     [](HostFailureTest& f) -> Texts {
         f.Reconfigure("store.busy_timeout_ms = soon");
         return {"store.busy_timeout_ms", "soon"};
     },
     "run", true},
    {"RelayUnreachable",
     [](HostFailureTest& f) -> Texts {
         const std::string relay = "smtp://127.0.0.1:" + std::to_string(SmtpSink::FreePort());
         f.Reconfigure("mail.transport = " + relay);
         return {relay};
     },
     "report", true},
};

// Whatever stops a run or its report, one of each kind: the host exits 1
// and its standard error holds one line naming the cause and the path; the
// log, where it can be written, ends with the error entry.
TEST_P(HostFailureTest, AFailureReachesStandardErrorAsOneLineAndTheExitStatus) {
    const HostCase& c = GetParam();
    const std::string item = Registration(Params());
    const Texts want = c.fault(*this);
    const HostRun run = RunHostCapturing({"ontimer", item}, dir_ + "/host.err");
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    const std::string prefix = std::string("Quellix: ") + c.what + " of " + item + " failed: ";
    EXPECT_TRUE(run.err.starts_with(prefix)) << run.err;
    for (const auto& text : want) EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    const std::string log = std::filesystem::exists(LogPath()) ? ReadLog() : "";
    if (c.logSaysWhy) {
        // An error entry naming the cause; a report's failure comes last.
        const auto lines = testing::LogLines(log);
        ASSERT_FALSE(lines.empty());
        const auto entry = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return testing::StartsWithNowStamp(l) && l.find(want.front()) != std::string::npos;
        });
        EXPECT_NE(entry, lines.end()) << log;
        if (std::string(c.what) == "report") {
            EXPECT_EQ(entry, lines.end() - 1) << log;
        }
    } else {
        EXPECT_EQ(log.find("Started at: "), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, HostFailureTest, ::testing::ValuesIn(kHostCases),
                         [](const ::testing::TestParamInfo<HostCase>& info) {
                             return std::string(info.param.name);
                         });

class FullFileSystemTest : public QuellixModuleTest {};

// A file system that is full under the log, or fills during the run: the
// host says so and fails, naming the log; a run that began keeps what it did.
TEST_F(FullFileSystemTest, AFullFileSystemUnderTheLogReachesStandardError) {
    // Enough mailboxes that their lines outgrow the one page left.
    std::vector<User> users;
    const Date now = Date::NowUtc();
    for (int i = 0; i < 60; ++i) {
        char alias[16];
        std::snprintf(alias, sizeof alias, "u%02d", i);
        users.push_back({.cn = std::string("User ") + alias,
                         .account = alias,
                         .alias = alias,
                         .mail = std::string(alias) + "@example.org",
                         .mark = "Quellix"});
        Message(Folder(alias, "Spam"), std::string(alias) + "-old", now.AddDays(-30));
    }
    std::filesystem::remove(dir_ + "/directory.ldb");
    Directory(users);
    // Each folder committed at once, so its lines are written after it and
    // the log fills part-way through the mailboxes, not at the run's end.
    Configure({"mail.transport = " + smtp_->Url(), "store.batch_ms = 0"});
    const std::string item = Registration(Params());
    for (const bool full : {true, false}) {
        SCOPED_TRACE(full ? "full before the run" : "fills during the run");
        const std::string tmp = tmpDir_;
        const HostRun run = RunHostCapturing({"ontimer", item}, dir_ + "/host.err",
                                             [&] { return SmallFileSystemOn(tmp, full); });
        if (run.status == 77) GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
        EXPECT_NE(run.err.find(tmpDir_ + "/Quellix.LOG"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
        EXPECT_TRUE(smtp_->Messages().empty());
    }
    // A run with room enough says which mailboxes the runs before it swept:
    // none before the run, some of them when the log filled during it.
    EXPECT_EQ(RunHost({"ontimer", item}), 0);
    const std::string log = ReadLog();
    size_t swept = 0, left = 0;
    for (const auto& line : testing::LogLines(log)) {
        if (line.starts_with("0 messages has been deleted")) ++swept;
        if (line.starts_with("1 messages has been deleted")) ++left;
    }
    EXPECT_EQ(swept + left, 60u) << log;
    EXPECT_GT(swept, 0u) << log;
    EXPECT_LT(swept, 60u) << log;
}

class RunLockTest : public QuellixModuleTest {
protected:
    // A copy of this test's platform configuration with its own temporary
    // directory (as another account or $TMPDIR would have) and extra lines.
    std::string OtherConfig(const std::string& name, const std::vector<std::string>& extra) {
        const std::string tmp = dir_ + "/" + name + "-tmp";
        std::filesystem::create_directories(tmp);
        EXPECT_EQ(chmod(tmp.c_str(), 0700), 0);
        std::ifstream in(std::getenv("QUELLIX_CONFIG"));
        std::ostringstream out;
        for (std::string line; std::getline(in, line);) {
            if (!line.starts_with("temp_dir")) out << line << "\n";
        }
        out << "temp_dir = " << tmp << "\n";
        for (const auto& line : extra) out << line << "\n";
        std::string path = dir_ + "/" + name + ".conf";
        std::ofstream(path) << out.str();
        return path;
    }
};

// Two processes run the same registration at once, each with its own
// temporary directory: they take turns on the registration's lock in the
// store, and in move mode every expired message arrives once.
TEST_F(RunLockTest, RunsWithDifferentTemporaryDirectoriesTakeTurnsAndMoveEachMessageOnce) {
    OnTimerRegistration p = Params();
    p.mailboxToMove = "Archive (arch@example.org)";
    const std::string item = Registration(p);
    std::vector<pid_t> hosts;
    for (const char* name : {"first", "second", "third"}) {
        hosts.push_back(StartHost({"--config", OtherConfig(name, {}), "ontimer", item},
                                  dir_ + "/" + name + ".err"));
    }
    int index = 0;
    for (const char* name : {"first", "second", "third"}) {
        const HostRun run = WaitHost(hosts[index++], dir_ + "/" + name + ".err");
        EXPECT_EQ(run.status, 0) << name << ": " << run.err;
    }
    EXPECT_EQ(Subjects("arch", "Inbox"),
              (Strings{"ann-1", "ann-2", "ann-4", "bob-1", "bob-2", "bob-4"}));
    EXPECT_EQ(smtp_->Messages().size(), 3u);
}

// A run that finds the registration's lock held (here by this process)
// beyond the configured wait is skipped, and says so and who holds it.
TEST_F(RunLockTest, ARunThatFindsTheLockHeldIsSkippedAfterTheWait) {
    const std::string item = Registration(Params());
    Configure({"mail.transport = " + smtp_->Url(), "store.run_lock_wait_ms = 1000"});
    auto lock = platform::RunLock::Acquire(item, std::chrono::seconds(0), nullptr);
    ASSERT_TRUE(lock);
    const HostRun run = RunHostCapturing({"ontimer", item}, dir_ + "/waiter.err");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    EXPECT_TRUE(run.err.starts_with("Quellix: run of " + item + " skipped: ")) << run.err;
    EXPECT_NE(run.err.find("pid " + std::to_string(getpid())), std::string::npos) << run.err;
    // The skipped run's log says so too, and nothing was swept.
    EXPECT_NE(ReadLog().find("run skipped: another run of the registration holds its lock"),
              std::string::npos)
        << ReadLog();
    EXPECT_EQ(Messages("ann", "Spam").size(), 3u);

    lock.reset();
    EXPECT_EQ(RunHost({"ontimer", item}), 0);
    EXPECT_EQ(Messages("ann", "Spam"), Strings{"ann-3"});
}

}  // namespace
}  // namespace quellix
