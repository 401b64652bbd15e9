// From an empty mail server to a cleanup nobody starts by hand, over real
// mail: a private Dovecot holds the mailboxes (mail appended with past
// received dates, one message delivered now by the LDA), the namespace is
// mapped to its Maildirs, quellix-setup installs, configures and marks, and
// quellix-eventd fires the registration under the service account that owns
// the mail. Dovecot then reads back exactly the expired junk moved to the
// archive mailbox (a run that deletes over Maildirs is the sink's own test).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/testing/contains.h"
#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "base/testing/system_account.h"
#include "localplatform/store/testing/dovecot_server.h"
#include "registration/registration.h"
#include "tools/eventd/event_service.h"
#include "tools/eventd/testing/installed_layout.h"

namespace {

using platform::testing::Contains;

using localplatform::testing::DovecotServer;
using platform::testing::RunProgram;
using platform::testing::SystemAccount;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

std::string Mail(const std::string& id) {
    return "From: s@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

class EventdMaildirEndToEnd : public eventd::testing::InstalledLayout {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        std::string why;
        account_ = SystemAccount::Create("qxmail", &why);
        if (!account_) GTEST_SKIP() << "needs root to make the mail's service account: " << why;
        DovecotServer::Options options;
        options.users = {
            {"ann@example.org", "a"}, {"bob@example.org", "b"}, {"arch@example.org", "c"}};
        options.mailAccount = account_->Name();
        server_ = std::make_unique<DovecotServer>(options);
        SetupFixture::SetUp();
        // The system mailbox stays in the embedded store.
        LayOut(*account_, server_->MaildirConfigLines(quellix::testing::kNamespace),
               {{.cn = "Ann Lee", .account = "alee", .alias = "ann", .mail = "ann@example.org"},
                {.cn = "Bob Roe", .account = "bob", .alias = "bob", .mail = "bob@example.org"},
                {.cn = "Archive", .account = "arch", .alias = "arch", .mail = "arch@example.org"}});
    }
    void TearDown() override {
        if (account_ && server_) SetupFixture::TearDown();
        server_.reset();
        account_.reset();
    }

    Strings Left(const std::string& login, const std::string& folder) const {
        Strings ids;
        for (const auto& m : server_->Messages(login, folder)) ids.push_back(m.messageId);
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    std::unique_ptr<SystemAccount> account_;
    std::unique_ptr<DovecotServer> server_;
};

TEST_F(EventdMaildirEndToEnd, TheFiringMovesExactlyTheExpiredJunkDovecotHolds) {
    const int64_t now = std::time(nullptr);
    const int64_t day = 86400;
    server_->Append("ann@example.org", "Junk", Mail("ann-old"), now - 5 * day, "\\Seen");
    server_->Append("ann@example.org", "Junk", Mail("ann-older"), now - 40 * day);
    server_->Append("ann@example.org", "Junk", Mail("ann-young"), now - day);
    server_->Append("ann@example.org", "Junk", Mail("ann-trashed-young"), now - day, "\\Deleted");
    server_->Deliver("ann@example.org", "Junk", Mail("ann-new"));
    server_->Append("ann@example.org", "", Mail("ann-inbox-old"), now - 40 * day);
    server_->Append("bob@example.org", "Junk", Mail("bob-old"), now - 40 * day);
    server_->CreateFolder("arch@example.org", "Archive");  // arch's Maildir is there

    auto o = Setup({"install", "--identity", account_->Name(), "--password-file", "-", "--folder",
                    "Junk", "--age", "30", "--run", "Every day", "--start", "3:00 AM",
                    "--report-to", "Admin (admin@example.org)"},
                   "secret\n");
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    o = Setup({"configure", "--age", "3", "--move-to", "Archive (arch@example.org)"});
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    o = Setup({"mark", "ann@example.org"});
    ASSERT_EQ(o.code, 0) << o.out << o.err;

    // The timer falls due three seconds from now (its daily schedule,
    // shifted), so that the test need not wait for 3:00 AM.
    const int64_t at = std::time(nullptr) + 3;
    SetItemProperty(FileUrl(quellix::testing::kSystemMailbox,
                            "StoreEvents/GlobalEvents/" + std::string(registration::kItemName)),
                    registration::kTimerStartTime,
                    platform::Variant(platform::Date::FromUnixSeconds(at - 14 * day)));
    o = RunProgram({QUELLIX_EVENTD_PATH, "--config", config_, "--once", eventd::IsoUtc(at)});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Contains(o.err, " as " + account_->Name() + " (pid "));
    EXPECT_TRUE(Contains(o.err, "completed"));

    EXPECT_EQ(Left("ann@example.org", "Junk"),
              (Strings{"<ann-new>", "<ann-trashed-young>", "<ann-young>"}));
    EXPECT_EQ(Left("ann@example.org", ""), Strings{"<ann-inbox-old>"});
    EXPECT_EQ(Left("bob@example.org", "Junk"), Strings{"<bob-old>"});  // not marked
    EXPECT_EQ(Left("arch@example.org", ""), (Strings{"<ann-old>", "<ann-older>"}));
    for (const auto& m : server_->Messages("arch@example.org", "")) {
        if (m.messageId == "<ann-old>") {
            EXPECT_EQ(m.flags, "\\Seen");
        }
        EXPECT_LT(m.received, now - 4 * day) << m.messageId;
    }

    std::string report;
    for (const auto& f : fs::directory_iterator(data_ + "/pickup")) {
        report = platform::testing::FileText(f.path());
    }
    EXPECT_TRUE(Contains(report, "Subject: Quellix Report "));
    EXPECT_TRUE(Contains(report, "admin@example.org"));
    o = Setup({"history", "--last", "1"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Contains(o.out, ": completed\n"));
    EXPECT_TRUE(Contains(o.out, "/ann/Junk: 2 moved, "));
    EXPECT_TRUE(Contains(ReadLog(), "Mailboxes processed: 1"));
    EXPECT_TRUE(Contains(platform::testing::FileText(data_ + "/textfile/quellix.prom"),
                         "quellix_last_run_success{"));

    // No owner was changed by hand: everything in the data folder is the
    // account's and no one else's (the metrics, for node_exporter,
    // excepted); what decides who runs is root's.
    auto stat = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st;
    };
    for (const auto& e : fs::recursive_directory_iterator(data_)) {
        if (e.path().string().find("/textfile") != std::string::npos) continue;
        EXPECT_EQ(stat(e.path()).st_uid, account_->Uid()) << e.path();
        EXPECT_EQ(stat(e.path()).st_mode & 07, 0u) << e.path();
    }
    for (const char* name : {"store.db", "directory.ldb", "history.db"})
        EXPECT_EQ(stat(data_ + "/" + name).st_mode & 077, 0u) << name;
    EXPECT_EQ(stat(dir_ + "/catalog.db").st_uid, 0u);
    EXPECT_EQ(stat(dir_ + "/catalog.db").st_mode & 0777, 0600u);
    EXPECT_EQ(stat(dir_ + "/classes.db").st_uid, 0u);
    EXPECT_EQ(stat(dir_ + "/classes.db").st_mode & 0777, 0644u);
}

}  // namespace
