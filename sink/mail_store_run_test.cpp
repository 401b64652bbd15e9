// A whole cleanup run over a namespace held by a real Dovecot's Maildirs:
// the run deletes or moves exactly what it selects, a move is put back by
// undo with its date and flags, and Dovecot reads back what remains.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "localplatform/store/testing/dovecot_server.h"
#include "platform/move_manifest.h"
#include "sink/quellix_module.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using localplatform::testing::DovecotServer;
using registration::OnTimerRegistration;
using testing::SinkFixture;
using Strings = std::vector<std::string>;

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

class MailStoreRunTest : public SinkFixture {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        SinkFixture::SetUp();
        DovecotServer::Options options;
        options.users = {
            {"ann@example.org", "a"}, {"bob@example.org", "b"}, {"arch@example.org", "c"}};
        server_ = std::make_unique<DovecotServer>(options);
        std::string line = server_->MaildirConfigLines(testing::kNamespace);
        line.pop_back();  // its line break
        Configure({line});
        ResetRunState();
        thread_.server = ServerNames{};
        Directory({
            {.cn = "Ann",
             .account = "ann",
             .alias = "ann",
             .mail = "ann@example.org",
             .mark = "Quellix"},
            {.cn = "Bob", .account = "bob", .alias = "bob", .mail = "bob@example.org"},
            {.cn = "Archive", .account = "arch", .alias = "arch", .mail = "arch@example.org"},
        });
        const int64_t now = std::time(nullptr);
        const int64_t twentyDays = int64_t{20} * 86400;
        server_->Append("ann@example.org", "Spam", Mail("ann-old"), now - twentyDays, "\\Seen");
        server_->Append("ann@example.org", "Spam", Mail("ann-new"), now - 86400);
        server_->Append("ann@example.org", "Spam", Mail("ann-trashed-new"), now - 86400,
                        "\\Deleted");
        server_->Append("ann@example.org", "Spam/Sub", Mail("ann-sub-old"), now - twentyDays);
        server_->Append("bob@example.org", "Spam", Mail("bob-old"), now - twentyDays);
        server_->CreateFolder("arch@example.org", "Archive");  // arch's Maildir is there
    }

    static OnTimerRegistration Params() {
        OnTimerRegistration r;
        r.searchRoot = testing::kSearchRoot;
        r.folderName = "Spam";
        r.expirationPeriod = 14;
        r.run = 1;
        r.reportRecipient = "admin@example.org";
        r.allMailboxes = "0";
        r.includeSubfolders = "1";
        return r;
    }
    std::string Run(const OnTimerRegistration& params) {
        const std::string item = Registration(params);
        NewRun();
        const auto failure = RunCleanup(thread_, Log(), Record(), item, 0);
        EXPECT_FALSE(failure) << failure->Description();
        return ReadLog();
    }
    Strings Left(const std::string& login, const std::string& folder) {
        Strings ids;
        for (const auto& m : server_->Messages(login, folder)) ids.push_back(m.messageId);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::unique_ptr<DovecotServer> server_;
};

TEST_F(MailStoreRunTest, ARunDeletesTheExpiredMessagesDovecotKeeps) {
    const std::string log = Run(Params());
    EXPECT_NE(log.find("2 messages has been deleted in "
                       "file://./backofficestorage/example.org/mbx/ann/Spam\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(Left("ann@example.org", "Spam"), (Strings{"<ann-new>", "<ann-trashed-new>"}));
    EXPECT_TRUE(Left("ann@example.org", "Spam/Sub").empty());
    EXPECT_EQ(Left("bob@example.org", "Spam"), Strings{"<bob-old>"});  // not marked
}

TEST_F(MailStoreRunTest, AMoveRunIsPutBackByUndo) {
    OnTimerRegistration p = Params();
    p.mailboxToMove = "Archive (arch@example.org)";
    p.includeSubfolders = "0";
    const std::string log = Run(p);
    EXPECT_NE(log.find("1 messages has been moved from "
                       "file://./backofficestorage/example.org/mbx/ann/Spam"),
              std::string::npos)
        << log;
    EXPECT_EQ(Left("arch@example.org", ""), Strings{"<ann-old>"});
    EXPECT_EQ(Left("ann@example.org", "Spam"), (Strings{"<ann-new>", "<ann-trashed-new>"}));

    const auto moved = platform::MovedMessagesOfRun(Record().StoreId());
    ASSERT_EQ(moved.size(), 1U);
    EXPECT_EQ(platform::PutBackMovedMessage(moved[0]).outcome,
              platform::PutBackResult::Outcome::kPutBack);
    EXPECT_TRUE(Left("arch@example.org", "").empty());
    const auto back = server_->Messages("ann@example.org", "Spam");
    const auto old = std::find_if(back.begin(), back.end(),
                                  [](const auto& m) { return m.messageId == "<ann-old>"; });
    ASSERT_NE(old, back.end());
    EXPECT_EQ(old->flags, "\\Seen");
    EXPECT_LT(old->received, std::time(nullptr) - int64_t{19} * 86400);
}

}  // namespace
}  // namespace quellix
