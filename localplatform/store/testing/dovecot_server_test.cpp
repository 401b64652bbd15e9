// The test Dovecot itself: what goes in by APPEND and by LDA comes back
// through doveadm with its date, flags and folder, in both layouts, and the
// server can be stopped and started again with its mail.
#include "localplatform/store/testing/dovecot_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "base/error.h"

namespace localplatform::testing {
namespace {

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: test\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

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
    const int64_t past = std::time(nullptr) - int64_t{40} * 86400;
    const std::string folder = "Junk E-mail/Größe & Co";
    EXPECT_EQ(server.Append("jdoe@example", folder, Mail("old@x"), past, "\\Seen \\Deleted"), 1);
    server.Deliver("jdoe@example", folder, Mail("new@x"));
    server.Append("ann@example", "", Mail("inbox@x"), past);

    const auto messages = server.Messages("jdoe@example", folder);
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0].messageId, "<old@x>");
    EXPECT_EQ(messages[0].received, past);
    EXPECT_EQ(messages[0].flags, "\\Deleted \\Seen");
    EXPECT_EQ(messages[1].messageId, "<new@x>");
    EXPECT_GT(messages[1].received, past);
    EXPECT_EQ(server.Messages("ann@example", "INBOX").size(), 1U);
    const auto folders = server.Folders("jdoe@example");
    EXPECT_NE(std::find(folders.begin(), folders.end(), folder), folders.end());

    server.Stop();
    EXPECT_THROW((void)server.Append("jdoe@example", folder, Mail("down@x"), past),
                 platform::Error);
    server.Start();
    EXPECT_EQ(server.Messages("jdoe@example", folder).size(), 2U);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DovecotServerTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fs" : "MaildirPlusPlus"; });

}  // namespace
}  // namespace localplatform::testing
