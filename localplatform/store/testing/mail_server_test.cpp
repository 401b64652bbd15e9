// The test mail servers themselves: what goes in by APPEND (and, on Dovecot,
// by LDA) comes back through the server with its date, flags and folder, and
// a server can be stopped and started again with its mail.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "base/error.h"
#include "localplatform/store/testing/cyrus_server.h"
#include "localplatform/store/testing/dovecot_server.h"

namespace localplatform::testing {
namespace {

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: test\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

const int64_t kPast = std::time(nullptr) - int64_t{40} * 86400;
constexpr const char* kFolder = "Junk E-mail/Größe & Co";

class DovecotServerTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
    }
};

TEST_P(DovecotServerTest, MailComesBackThroughDovecot) {
    DovecotServer::Options options;
    options.fsLayout = GetParam();
    DovecotServer server(options);
    EXPECT_EQ(server.Append("jdoe@example", kFolder, Mail("old@x"), kPast, "\\Seen \\Deleted"), 1);
    server.Deliver("jdoe@example", kFolder, Mail("new@x"));
    server.Append("ann@example", "", Mail("inbox@x"), kPast);

    const auto messages = server.Messages("jdoe@example", kFolder);
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0].messageId, "<old@x>");
    EXPECT_EQ(messages[0].received, kPast);
    EXPECT_EQ(messages[0].flags, "\\Deleted \\Seen");
    EXPECT_EQ(messages[1].messageId, "<new@x>");
    EXPECT_GT(messages[1].received, kPast);
    EXPECT_EQ(server.Messages("ann@example", "INBOX").size(), 1U);
    const auto folders = server.Folders("jdoe@example");
    EXPECT_NE(std::find(folders.begin(), folders.end(), kFolder), folders.end());

    server.Stop();
    EXPECT_THROW((void)server.Append("jdoe@example", kFolder, Mail("down@x"), kPast),
                 platform::Error);
    server.Start();
    EXPECT_EQ(server.Messages("jdoe@example", kFolder).size(), 2U);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DovecotServerTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fs" : "MaildirPlusPlus"; });

TEST(CyrusServerTest, MailComesBackThroughCyrus) {
    if (!CyrusServer::Available()) GTEST_SKIP() << "cyrus-imapd is not installed";
    CyrusServer server;
    EXPECT_EQ(server.Append("jdoe@example", kFolder, Mail("old@x"), kPast, "\\Seen \\Deleted"), 1);
    server.Append("ann@example", "", Mail("inbox@x"), kPast);

    const auto messages = server.Messages("jdoe@example", kFolder);
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].messageId, "<old@x>");
    EXPECT_EQ(messages[0].received, kPast);
    EXPECT_EQ(messages[0].flags, "\\Deleted \\Seen");
    EXPECT_EQ(server.Messages("ann@example", "").size(), 1U);
    EXPECT_TRUE(server.Messages("jdoe@example", "").empty());

    server.Stop();
    EXPECT_THROW((void)server.Messages("jdoe@example", kFolder), platform::Error);
    server.Start();
    EXPECT_EQ(server.Messages("jdoe@example", kFolder).size(), 1U);
}

}  // namespace
}  // namespace localplatform::testing
