// The sink as the store meets it: Quellix.so registered through its own
// self-registration, created by ProgID from the class registry, OnTimer
// called on a thread of the host, the report received by a real SMTP server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "localplatform/mail/mail_message.h"
#include "localplatform/mail/testing/smtp_harness.h"
#include "platform/com.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using localplatform::mailtest::SmtpSink;
using platform::Date;
using registration::OnTimerRegistration;
using testing::SinkFixture;
using Strings = std::vector<std::string>;

// Every "now" text of a log or subject, for comparing whole texts.
std::string WithoutTimes(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
    return std::regex_replace(text, stamp, "<now>");
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
            {.cn = "Ann Arbor",
             .account = "ann",
             .alias = "ann",
             .mail = "ann@example.org",
             .mark = "Quellix"},
            {.cn = "Bob Baker",
             .account = "bob",
             .alias = "bob",
             .mail = "bob@other.example",
             .mark = "QUELLIX"},
            {.cn = "Carla", .account = "carla", .alias = "carla", .mail = "carla@example.org"},
            {.cn = "Remote",
             .account = "remote",
             .alias = "remote",
             .mail = "remote@example.org",
             .homeServer = "EXCH02",
             .mark = "Quellix"},
            {.cn = "Archive", .account = "arch", .alias = "arch", .mail = "arch@example.org"},
        });
        const Date now = Date::NowUtc();
        for (const char* alias : {"ann", "bob", "carla", "remote"}) {
            const int64_t spam = Folder(alias, "Spam");
            Message(spam, std::string(alias) + "-1", now.AddDays(-30));
            Message(spam, std::string(alias) + "-2", now.AddDays(-15));
            Message(spam, std::string(alias) + "-3", now.AddDays(-2));
            Message(Folder(alias, "Spam/Older"), std::string(alias) + "-4", now.AddDays(-40));
        }
        Mailbox("arch");
    }

    static OnTimerRegistration Params() {
        OnTimerRegistration r;
        r.searchRoot = testing::kSearchRoot;
        r.folderName = "Spam";
        r.expirationPeriod = 14;
        r.run = 1;
        r.reportRecipient = "Mail Admin (admin@example.org)";
        r.allMailboxes = "0";
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

TEST_F(QuellixModuleTest, ATimerEventPerformsTheWholeRunAndMailsTheLog) {
    const std::string item = Registration(Params());
    EXPECT_EQ(FireTimer(item), platform::S_OK);

    const std::string base = "file://./backofficestorage/example.org/mbx";
    const std::string log = ReadLog();
    EXPECT_EQ(WithoutTimes(log),
              "Started at: <now>\r\n"
              "\r\n"
              "\r\n"
              "Mailbox: Ann Arbor\r\n"
              "Source folder: Spam\r\n"
              "3 messages has been deleted in " +
                  base +
                  "/ann/Spam\r\n"
                  "\r\n"
                  "Mailbox: Bob Baker\r\n"
                  "Source folder: Spam\r\n"
                  "3 messages has been deleted in " +
                  base +
                  "/bob/Spam\r\n"
                  "\r\n"
                  "Mailboxes processed: 2\r\n"
                  "\r\n"
                  "Completed at: <now>\r\n");
    EXPECT_EQ(Messages("ann", "Spam"), Strings{"ann-3"});
    EXPECT_TRUE(Messages("ann", "Spam/Older").empty());
    EXPECT_EQ(Messages("carla", "Spam").size(), 3u);
    EXPECT_EQ(Messages("remote", "Spam").size(), 3u);

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
}

TEST_F(QuellixModuleTest, AMovingRunLogsTheDestinationAndMovesIntoItsInbox) {
    OnTimerRegistration p = Params();
    p.mailboxToMove = "Archive (arch@example.org)";
    p.includeSubfolders = "0";
    EXPECT_EQ(FireTimer(Registration(p)), platform::S_OK);
    const std::string base = "file://./backofficestorage/example.org/mbx";
    EXPECT_EQ(WithoutTimes(ReadLog()),
              "Started at: <now>\r\n"
              "\r\n"
              "Destination folder arch/Inbox is ready to collect messages.\r\n"
              "\r\n"
              "Mailbox: Ann Arbor\r\n"
              "Source folder: Spam\r\n"
              "2 messages has been moved from " +
                  base +
                  "/ann/Spam to arch/Inbox\r\n"
                  "\r\n"
                  "Mailbox: Bob Baker\r\n"
                  "Source folder: Spam\r\n"
                  "2 messages has been moved from " +
                  base +
                  "/bob/Spam to arch/Inbox\r\n"
                  "\r\n"
                  "Mailboxes processed: 2\r\n"
                  "\r\n"
                  "Completed at: <now>\r\n");
    EXPECT_EQ(Subjects("arch", "Inbox"), (Strings{"ann-1", "ann-2", "bob-1", "bob-2"}));
}

TEST_F(QuellixModuleTest, AnItemUrlOutsideAMailboxLogsOnlyTheFrame) {
    EXPECT_EQ(FireTimer("file://./backofficestorage/example.org/Quellix.reg"), platform::S_OK);
    EXPECT_EQ(WithoutTimes(ReadLog()), "Started at: <now>\r\n\r\n\r\nCompleted at: <now>\r\n");
    // A fresh thread has no recipient: no report.
    EXPECT_TRUE(smtp_->Messages().empty());
}

TEST_F(QuellixModuleTest, AReportThatCannotBeSentStillEndsTheRunWithSuccess) {
    const std::string item = Registration(Params());
    Configure({"mail.transport = smtp://127.0.0.1:" + std::to_string(SmtpSink::FreePort())});
    EXPECT_EQ(FireTimer(item), platform::S_OK);
    EXPECT_TRUE(WithoutTimes(ReadLog()).ends_with(
        "\r\nMailboxes processed: 2\r\n\r\nCompleted at: <now>\r\n"))
        << ReadLog();
    EXPECT_TRUE(smtp_->Messages().empty());
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
    EXPECT_EQ(events->OnTimer(nullptr, 0), platform::S_OK);
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(events->QueryInterface(platform::IID_IClassFactory, &none), platform::E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    events->Release();
    reg->Release();
    unknown->Release();
}

TEST_F(QuellixModuleTest, SelfRegistrationWritesAndRemovesTheClass) {
    auto entry = platform::FindClassByProgId("Quellix.QuellixCls");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->modulePath, std::filesystem::canonical(QUELLIX_MODULE_PATH).string());
    EXPECT_EQ(entry->threadingModel, "Apartment");
    EXPECT_EQ(platform::CallModuleRegistration(QUELLIX_MODULE_PATH, true), platform::S_OK);
    EXPECT_FALSE(platform::FindClassByProgId("Quellix.QuellixCls"));
}

int RunHost(const std::vector<std::string>& args) {
    std::string command = QUELLIX_HOST_PATH;
    for (const auto& a : args) command += " '" + a + "'";
    command += " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(QuellixModuleTest, TheHostFiresTheTimerOfARegistrationItem) {
    const std::string item = Registration(Params());
    EXPECT_EQ(RunHost({"ontimer", item}), 0);
    EXPECT_TRUE(ReadLog().find("Mailboxes processed: 2") != std::string::npos) << ReadLog();
    EXPECT_EQ(smtp_->Messages().size(), 1u);

    EXPECT_EQ(RunHost({}), 2);
    EXPECT_EQ(RunHost({"ontimer"}), 2);
    EXPECT_EQ(RunHost({"--help"}), 0);
    EXPECT_EQ(RunHost({"ontimer", "--progid", "Nobody.Cls", item}), 1);
    EXPECT_EQ(RunHost({"unregister", QUELLIX_MODULE_PATH}), 0);
    EXPECT_EQ(RunHost({"ontimer", item}), 1);
    EXPECT_EQ(RunHost({"register", QUELLIX_MODULE_PATH}), 0);
    EXPECT_EQ(RunHost({"register", dir_ + "/missing.so"}), 1);
}

}  // namespace
}  // namespace quellix
