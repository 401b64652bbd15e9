// The test mail servers themselves, on which every test of a mail store
// relies to put mail in and read it back.
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

// What goes in by APPEND comes back through the server with its date, flags
// and folder; stopped, the server refuses, and started again it has its mail.
template <typename Server>
void MailComesBackThrough(Server& server) {
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

class DovecotServerTest : public ::testing::TestWithParam<bool> {};

TEST_P(DovecotServerTest, MailComesBackThroughDovecot) {
    if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
    DovecotServer::Options options;
    options.fsLayout = GetParam();
    DovecotServer server(options);
    MailComesBackThrough(server);
    // Delivered by LDA: after the appended message, with the time of delivery.
    server.Deliver("jdoe@example", kFolder, Mail("new@x"));
    const auto messages = server.Messages("jdoe@example", kFolder);
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[1].messageId, "<new@x>");
    EXPECT_GT(messages[1].received, kPast);
    const auto folders = server.Folders("jdoe@example");
    EXPECT_NE(std::find(folders.begin(), folders.end(), kFolder), folders.end());
}

INSTANTIATE_TEST_SUITE_P(Layouts, DovecotServerTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fs" : "MaildirPlusPlus"; });

TEST(CyrusServerTest, MailComesBackThroughCyrus) {
    if (!CyrusServer::Available()) GTEST_SKIP() << "cyrus-imapd is not installed";
    CyrusServer server;
    MailComesBackThrough(server);
}

}  // namespace
}  // namespace localplatform::testing
