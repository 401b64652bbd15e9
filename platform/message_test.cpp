#include "platform/message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/error.h"
#include "base/testing/temp_platform.h"
#include "localplatform/mail/mail_message.h"
#include "localplatform/mail/testing/smtp_harness.h"
#include "localplatform/store/item_store.h"

namespace fs = std::filesystem;
using localplatform::MailMessage;
using localplatform::mailtest::SmtpSink;
using localplatform::mailtest::SmtpSinkOptions;
using platform::Message;

namespace {

const std::string kLog =
    "Started at: 2026-12-06 19:00:00\r\n\r\nMailbox: Alice\r\nSource folder: Spam\r\n"
    "3 messages has been deleted in file://./backofficestorage/example.com/MBX/alice/Spam\r\n";

// Each test on its own folder, store and platform configuration.
class MessageTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = temp_.Dir();
        logPath_ = dir_ + "/Quellix.LOG";
        std::ofstream(logPath_, std::ios::binary) << kLog;
        Configure("mail.transport = pickup\n");
    }
    void TearDown() override { unsetenv("QUELLIX_CONFIG"); }
    void Configure(const std::string& lines) {
        temp_.Configure("store = " + dir_ + "/store.db\nmail.pickup_dir = " + dir_ +
                        "/pickup\nserver.computer_name = exch01\n"
                        "server.domain_dns_name = example.com\n" +
                        lines);
    }
    // The report exactly as the run sends it.
    Message Report(const std::string& to) const {
        Message m;
        m.SetTo(to);
        m.SetFrom("Quellix <>");
        m.SetSubject("Quellix Report 2026-12-06 19:00:05");
        m.SetTextBody("");
        m.AddAttachment(logPath_, "", "");
        return m;
    }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    platform::testing::TempPlatform temp_{"messagetest-"};
    std::string dir_, logPath_;
};

void ExpectReportShape(const MailMessage& got) {
    EXPECT_EQ(got.Header("From"), "Quellix <>");
    EXPECT_EQ(got.Header("To"), "admin@example.com");
    EXPECT_EQ(got.Header("Subject"), "Quellix Report 2026-12-06 19:00:05");
    EXPECT_FALSE(got.Header("Date").empty());
    EXPECT_NE(got.Header("Message-ID").find("@exch01.example.com>"), std::string::npos)
        << got.Header("Message-ID");
    EXPECT_EQ(got.TextBody(), "");
    const auto atts = got.Attachments();
    ASSERT_EQ(atts.size(), 1u);
    EXPECT_EQ(atts[0].fileName, "Quellix.LOG");
    EXPECT_EQ(atts[0].bytes, kLog);
}

// Through a real relay, from the null sender, the report is read back by
// the tests of the whole run.
TEST_F(MessageTest, ReportDropsIntoThePickupDirectory) {
    Report("admin@example.com").Send();
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_ + "/pickup")) files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    ExpectReportShape(MailMessage::Parse(Read(files[0])));
}

TEST_F(MessageTest, RefusedUnreachableOrUnknownTransportsFail) {
    SmtpSinkOptions refuse;
    refuse.rejectRecipientsContaining = "admin";
    SmtpSink sink(dir_, refuse);
    struct Case {
        std::string transport;
        std::string to;
        int32_t want;
        const char* mention;
    };
    const Case cases[] = {
        {sink.Url(), "admin@example.com", platform::err::kCdoSendFailed, "550"},
        {"carrier-pigeon", "a@example.com", platform::err::kCdoSendFailed, "carrier-pigeon"},
        {"pickup", "", platform::err::kCdoNoRecipients, "recipient"},
        {"pickup", "Nobody <>", platform::err::kCdoNoRecipients, "recipient"},
        {"pickup", "admin@example.com\nRCPT TO:<b@example.com>", platform::err::kInvalidArg,
         "admin@example.com\\nRCPT"},
    };
    for (const Case& c : cases) {
        Configure("mail.transport = " + c.transport + "\nmail.connect_timeout = 5\n");
        try {
            Report(c.to).Send();
            ADD_FAILURE() << c.transport << " reported as sent";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), c.want) << c.transport;
            EXPECT_NE(e.Description().find(c.mention), std::string::npos) << e.Description();
        }
    }
    EXPECT_TRUE(sink.Messages().empty());
    EXPECT_FALSE(fs::exists(dir_ + "/pickup")) << "nothing was dropped";
}

// Through the system's sendmail (msmtp here, towards a real SMTP server on
// loopback), as cron mails an administrator: the report arrives with its
// envelope, the recipients given to the program as arguments. A program
// that fails is told with its exit status and its words; one that hangs is
// killed at the bound.
TEST_F(MessageTest, TheSystemsSendmailDeliversTheReportOrSaysWhyNot) {
    if (access("/usr/bin/msmtp", X_OK) != 0) GTEST_SKIP() << "msmtp is not installed";
    SmtpSinkOptions refuse;
    refuse.rejectRecipientsContaining = "refused";
    SmtpSink sink(dir_, refuse);
    // The program the configuration names: msmtp with a configuration of
    // its own (private, as msmtp requires), towards the sink.
    const auto sendmail = [&](const std::string& name, int port, const std::string& before) {
        const std::string rc = dir_ + "/" + name + ".msmtprc";
        std::ofstream(rc) << "account default\nhost 127.0.0.1\nport " << port
                          << "\nfrom quellix@example.com\nset_from_header off\nauth off\ntls off\n";
        fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write);
        const std::string program = dir_ + "/" + name;
        std::ofstream(program) << "#!/bin/sh\n"
                               << before << "exec /usr/bin/msmtp -C " << rc << " \"$@\"\n";
        fs::permissions(program, fs::perms::owner_all);
        return program;
    };
    Configure("mail.transport = sendmail\nmail.sendmail = " +
              sendmail("sendmail", sink.Port(), "") + "\n");
    Report("admin@example.com").Send();
    auto got = sink.Messages();
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"admin@example.com"});
    ExpectReportShape(MailMessage::Parse(got[0].data));

    struct Case {
        const char* name;
        std::string program, to;
        const char* mention;
    } cases[] = {
        {"refused by the relay", sendmail("refusing", sink.Port(), ""), "refused@example.com",
         "exit status"},
        {"no relay", sendmail("closed", SmtpSink::FreePort(), ""), "admin@example.com",
         "exit status"},
        {"hangs", sendmail("hanging", sink.Port(), "sleep 30\n"), "admin@example.com",
         "did not end within 1 s (mail.timeout), and was killed"},
        {"no such program", dir_ + "/missing", "admin@example.com", "No such file"},
        {"a recipient taken for an option", sendmail("sendmail", sink.Port(), ""),
         "-oQ/tmp@example.com", "not an address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configure("mail.transport = sendmail\nmail.timeout = 1\nmail.sendmail = " + c.program +
                  "\n");
        try {
            Report(c.to).Send();
            ADD_FAILURE() << "reported as sent";
        } catch (const platform::Error& e) {
            EXPECT_NE(e.Description().find(c.mention), std::string::npos) << e.Description();
            if (c.name != std::string("a recipient taken for an option")) {
                EXPECT_EQ(e.Number(), platform::err::kCdoSendFailed);
                EXPECT_NE(e.Description().find(c.program), std::string::npos) << e.Description();
            }
        }
    }
    EXPECT_EQ(sink.Messages().size(), 1U);
}

TEST_F(MessageTest, UnreadableAttachmentRaises) {
    for (const std::string& path : {dir_ + "/missing.LOG", dir_}) {
        Message m;
        try {
            m.AddAttachment(path);
            ADD_FAILURE() << path;
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::Hr(0x800C0005)) << path;
            EXPECT_NE(e.Description().find(path), std::string::npos) << e.Description();
        }
        EXPECT_TRUE(MailMessage::Parse(m.Serialize()).Attachments().empty());
    }
}

// A store with one mailbox, for the move of a message.
class MessageStoreTest : public MessageTest {
protected:
    void SetUp() override {
        MessageTest::SetUp();
        localplatform::ItemStore::Create();
        store_ = localplatform::ItemStore::ForThisThread();
        store_->CreateNamespace("example.com");
        store_->CreateMailbox("example.com", "alice", false);
        inbox_ = store_->Require({"example.com", "MBX", "alice", "Inbox"}, "inbox").id;
    }
    void TearDown() override {
        store_.reset();
        MessageTest::TearDown();
    }
    std::vector<localplatform::ItemRow> InboxItems() { return store_->ItemsIn(inbox_); }

    std::shared_ptr<localplatform::ItemStore> store_;
    int64_t inbox_ = 0;
};

const std::string kJunk =
    "Received: from relay.example.net by exch01.example.com; Tue, 02 Mar 2004 10:00:00 +0100\r\n"
    "Received: from sender by relay.example.net; Tue, 02 Mar 2004 08:59:00 +0000\r\n"
    "From: \"Win Big\" <lottery@spam.example>\r\nTo: alice@example.com\r\nSubject: You won\r\n"
    "Date: Mon, 01 Mar 2004 00:00:00 +0000\r\n\r\nClaim now.\r\n";

// A copy saved by either scheme keeps its bytes and takes its received time
// from its last Received header, or is received now without one. A save
// joins this thread's transaction; a folder that is missing raises (which
// URLs name no folder is the store's own test).
TEST_F(MessageStoreTest, SavedCopiesKeepTheirBytesAndReceivedTime) {
    const std::string inbox = "file://./backofficestorage/example.com/MBX/alice/Inbox";
    Message m;
    for (const std::string& url :
         {inbox, std::string("http://exch01.example.com/exadmin/example.com/mbx/alice/inbox")}) {
        m.OpenObject(platform::Stream(kJunk), "_Stream");
        EXPECT_EQ(m.Subject(), "You won");
        EXPECT_EQ(m.TextBody(), "Claim now.\r\n");
        m.SaveToContainer(url, nullptr, platform::adModeReadWrite, 0, 0, "", "");
    }
    Message undated;
    undated.OpenObject(platform::Stream("Subject: no dates\r\n\r\nx"), "_Stream");
    const int64_t before = time(nullptr);
    undated.SaveToContainer(inbox);
    const auto items = InboxItems();
    ASSERT_EQ(items.size(), 3u);
    for (const auto& item : items) {
        ASSERT_TRUE(item.received.has_value());
        if (store_->Content(item.id) == kJunk) {
            EXPECT_EQ(*item.received, 1078218000) << "2004-03-02 09:00:00 UTC";
        } else {
            EXPECT_GE(*item.received, before);
        }
    }

    store_->BeginTransaction();
    m.SaveToContainer(inbox);
    store_->RollbackTransaction();
    EXPECT_THROW(m.SaveToContainer("file://./backofficestorage/example.com/MBX/alice/NoSuchFolder"),
                 platform::Error);
    EXPECT_EQ(InboxItems().size(), 3u);
}

// Any text opened serializes unchanged: the mail message's own test.
TEST_F(MessageTest, OpenObjectTakesOnlyAStream) {
    Message m;
    EXPECT_THROW(m.OpenObject(platform::Stream(kJunk), "IMessage"), platform::Error);
    EXPECT_THROW(m.OpenObject(platform::Stream(kJunk), "_stream"), platform::Error);
}

}  // namespace
