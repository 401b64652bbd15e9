#include "sink/quellix_module.h"

#include <gtest/gtest.h>

#include <optional>

#include "base/variant.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using platform::Date;
using platform::Variant;
using registration::OnTimerRegistration;
using testing::LogLines;
using testing::MailUser;
using testing::SinkFixture;
using Strings = std::vector<std::string>;

class RunCleanupTest : public SinkFixture {
protected:
    void SetUp() override {
        SinkFixture::SetUp();
        ResetRunStateForRun();
        Directory({
            MailUser("Ann", "ann", "ann@example.org", "Quellix"),
            MailUser("Bob", "bob", "bob@example.org"),
            MailUser("Archive", "arch", "arch@example.org"),
        });
        Mailbox("arch");
        SetUpFreshMessages();
    }

    // Ann and Bob each get an expired and a recent message in Spam and an
    // expired one in Spam/Sub; the archive's Inbox is emptied.
    void SetUpFreshMessages() {
        auto store = Store();
        const Date now = Date::NowUtc();
        for (const char* alias : {"ann", "bob"}) {
            const int64_t spam = Folder(alias, "Spam");
            const int64_t sub = Folder(alias, "Spam/Sub");
            for (const int64_t folder : {spam, sub}) {
                for (const auto& row : store->ItemsIn(folder)) store->DeleteItem(row.id);
            }
            Message(spam, std::string(alias) + "-old", now.AddDays(-20));
            Message(spam, std::string(alias) + "-new", now.AddDays(-1));
            Message(sub, std::string(alias) + "-sub-old", now.AddDays(-20));
        }
        const int64_t inbox = Folder("arch", "Inbox");
        for (const auto& row : store->ItemsIn(inbox)) store->DeleteItem(row.id);
    }

    // What a run on a fresh thread starts from: no server fields.
    void ResetRunStateForRun() {
        ResetRunState();
        thread_.server = ServerNames{};
    }

    // The run's log; failure_ holds what stopped it, if anything did.
    std::string Run(const std::string& itemUrl) {
        NewRun();
        failure_ = RunCleanup(thread_, Log(), Record(), itemUrl, 0);
        return ReadLog();
    }

    std::optional<platform::Error> failure_;
};

TEST_F(RunCleanupTest, AnItemUrlOutsideAMailboxEndsTheRunBeforeAnyLine) {
    for (const char* url : {"file://./backofficestorage/example.org/Quellix.reg",
                            "file://./backofficestorage/example.org/MBX/", "", "no url"}) {
        EXPECT_EQ(Run(url), "") << url;
        ASSERT_TRUE(failure_) << url;
        EXPECT_NE(failure_->Description().find("not the URL of an item in a mailbox"),
                  std::string::npos)
            << failure_->Description();
    }
}

// Each parameter absent, Null (which the store keeps as absent), not a number
// or out of range: a bounded outcome, logged, never a crash. Which ages and
// run values take what is the run parameters' own test.
TEST_F(RunCleanupTest, EachParameterAbsentOrUnusableGivesABoundedOutcome) {
    const std::string noRun = "\r\nMailboxes processed: 0\r\n";
    const std::string annOnly =
        "\r\nMailbox: Ann\r\nSource folder: Spam\r\n"
        "1 messages has been deleted in file://./backofficestorage/example.org/mbx/ann/Spam\r\n"
        "\r\nMailboxes processed: 1\r\n";
    const std::string annNothing =
        "\r\nMailbox: Ann\r\nSource folder: Spam\r\n"
        "0 messages has been deleted in file://./backofficestorage/example.org/mbx/ann/Spam\r\n"
        "\r\nMailboxes processed: 1\r\n";
    struct Case {
        const char* name;
        const char* suffix;
        Variant value;
        std::string want;
    } cases[] = {
        {"search root absent", registration::kSearchRoot, Variant(), noRun},
        {"search root blank", registration::kSearchRoot, Variant("   "), noRun},
        {"folder name absent", registration::kFolderName, Variant(), noRun},
        {"age absent", registration::kExpirationPeriod, Variant(), noRun},
        {"age not a number", registration::kExpirationPeriod, Variant("soon"), annNothing},
        {"age as text", registration::kExpirationPeriod, Variant(" 14 "), annOnly},
        {"run absent", registration::kRun, Variant(), noRun},
        {"run not a number", registration::kRun, Variant("daily"), noRun},
        {"run 0: never", registration::kRun, Variant(int16_t{0}), noRun},
        {"run 9", registration::kRun, Variant(int16_t{9}), noRun},
        {"run -1", registration::kRun, Variant(int16_t{-1}), noRun},
        {"run beyond 16 bits", registration::kRun, Variant(int32_t{65537}), noRun},
        {"run as text", registration::kRun, Variant("1"), annOnly},
        {"all mailboxes absent", registration::kAffectAllMailboxes, Variant(), annOnly},
        {"all mailboxes not a number", registration::kAffectAllMailboxes, Variant("yes"), annOnly},
        {"all mailboxes beyond 16 bits", registration::kAffectAllMailboxes, Variant("65537"),
         annOnly},
        {"subfolders absent", registration::kIncludeSubfolders, Variant(), annOnly},
        {"subfolders not a number", registration::kIncludeSubfolders, Variant("deep"), annOnly},
        {"recipient absent", registration::kReportRecipient, Variant(), annOnly},
        {"mailbox to move absent", registration::kMailboxToMove, Variant(), annOnly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUpFreshMessages();
        const std::string item = Registration(testing::RunParams());
        SetItemProperty(item, registration::CustomProperty(c.suffix), c.value);
        EXPECT_EQ(Run(item), c.want);
    }
}

TEST_F(RunCleanupTest, SwitchesSelectAllMailboxesAndSubfolders) {
    struct Case {
        const char* all;
        const char* deep;
        Strings treated;
        size_t annSubLeft;
    } cases[] = {
        {"1", "0", {"Ann", "Archive", "Bob"}, 1},
        {" 1 ", "1", {"Ann", "Archive", "Bob"}, 0},
        {"0", "2", {"Ann"}, 0},
        {"", "-1", {"Ann"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.all) + "/" + c.deep);
        SetUpFreshMessages();
        OnTimerRegistration p = testing::RunParams();
        p.allMailboxes = c.all;
        p.includeSubfolders = c.deep;
        Run(Registration(p));
        EXPECT_EQ(testing::TreatedMailboxes(ReadLog()), c.treated);
        EXPECT_EQ(Messages("ann", "Spam/Sub").size(), c.annSubLeft);
    }
}

TEST_F(RunCleanupTest, TheStoresFirstNamespaceNamesTheBaseUrls) {
    // A store whose first namespace is a mail domain, not the directory's domain.
    Configure({"store = " + dir_ + "/second.db"});
    Store()->CreateNamespace("mail.example.org");
    Store()->CreateNamespace("example.org");
    Mailbox("ann", "mail.example.org");
    Message(Folder("ann", "Spam", "mail.example.org"), "old", Date::NowUtc().AddDays(-20));
    const std::string item = Registration(testing::RunParams());
    EXPECT_EQ(Run(item),
              "\r\nMailbox: Ann\r\nSource folder: Spam\r\n"
              "1 messages has been deleted in "
              "file://./backofficestorage/mail.example.org/mbx/ann/Spam\r\n"
              "\r\nMailboxes processed: 1\r\n");
    // The run names the server itself (the fixture's thread starts with none).
    EXPECT_EQ(thread_.server.ServerName, "exch01");
    EXPECT_EQ(thread_.server.ServerFqdn, "exch01.example.org");
    EXPECT_EQ(thread_.server.StoreFileBase, "file://./backofficestorage/mail.example.org/mbx");
    EXPECT_EQ(thread_.server.StoreHttpBase,
              "http://exch01.example.org/exadmin/mail.example.org/mbx");
    EXPECT_EQ(thread_.server.StoreDomain, "example.org");
}

// A run that cannot begin says why in its log's one entry and returns the
// failure, touching nothing: its item is not there, or its destination is
// one the directory does not know or cannot be asked about.
TEST_F(RunCleanupTest, ARunThatCannotBeginSaysWhyAndTouchesNothing) {
    auto entry = [&](const std::string& item) {
        const auto lines = LogLines(Run(item));
        EXPECT_EQ(Messages("ann", "Spam").size(), 2u);
        if (lines.size() != 3) {
            ADD_FAILURE() << ReadLog();
            return std::string();
        }
        EXPECT_EQ(lines[1], "");
        EXPECT_EQ(lines[2], "Mailboxes processed: 0");
        return lines[0];
    };
    const std::string missing = FileUrl("nobody", "StoreEvents/GlobalEvents/Quellix.reg");
    std::string said = entry(missing);
    EXPECT_TRUE(testing::StartsWithNowStamp(said) && said.ends_with(" " + missing)) << said;
    ASSERT_TRUE(failure_);
    EXPECT_EQ(failure_->Number(), platform::err::kNotFound);

    OnTimerRegistration p = testing::RunParams();
    p.mailboxToMove = "Nobody (nobody@example.org)";
    said = entry(Registration(p));
    EXPECT_EQ(said, "Destination folder 'Inbox' is not found in Nobody (nobody@example.org)");
    ASSERT_TRUE(failure_);
    EXPECT_EQ(failure_->Description(), said);

    p.mailboxToMove = "arch@example.org";
    p.searchRoot = "GC://127.0.0.1";
    const std::string item = Registration(p);
    Configure({"directory = ldap://127.0.0.1:1", "directory.gc_port = 1"});
    said = entry(item);
    EXPECT_TRUE(testing::StartsWithNowStamp(said) && said.ends_with(" GC://127.0.0.1")) << said;
    ASSERT_TRUE(failure_);
    EXPECT_EQ(failure_->Number(), platform::err::kDsServerDown);
}

// An earlier run on the same thread may have been another registration's:
// its recipient never gets this run's report.
TEST_F(RunCleanupTest, AnUnreadRecipientMailsNobody) {
    thread_.ReportRecipient = "earlier@example.org";
    const std::string item = Registration(testing::RunParams());
    SetItemProperty(item, registration::CustomProperty(registration::kReportRecipient), Variant());
    Run(item);
    EXPECT_EQ(thread_.ReportRecipient, "");
    thread_.ReportRecipient = "earlier@example.org";
    Run(FileUrl("nobody", "StoreEvents/GlobalEvents/Quellix.reg"));  // no item at all
    EXPECT_EQ(thread_.ReportRecipient, "");
}

}  // namespace
}  // namespace quellix
