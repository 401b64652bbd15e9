#include "selection/destination.h"

#include <gtest/gtest.h>

#include "localplatform/directory/testing/slapd_harness.h"
#include "selection/inbox.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using testing::LogLines;
using testing::MailUser;
using testing::SinkFixture;
using testing::StartsWithNowStamp;
using testing::User;

TEST(DestinationAddress, TakesTheAddressOutOfParentheses) {
    struct Case {
        const char* moveTarget;
        const char* want;
    } cases[] = {
        {"arch@example.org", "arch@example.org"},
        {"Archive Box (arch@example.org)", "arch@example.org"},
        {"Archive Box ( arch@example.org )", "arch@example.org"},
        {"Box (x(y)@example.org)", "x(y)@example.org"},
        {"Box (arch@example.org", "arch@example.org"},
        {"Archive Box", "Archive Box"},
    };
    for (const auto& c : cases) EXPECT_EQ(DestinationAddress(c.moveTarget), c.want) << c.moveTarget;
}

class DestinationTest : public SinkFixture {
protected:
    MoveDestination Resolve(const std::string& moveTarget,
                            const std::string& searchRoot = testing::kSearchRoot) {
        const ServerNames& server = thread_.server;
        return ResolveDestination(LogWriter(), searchRoot, moveTarget, server.StoreHttpBase,
                                  server.StoreFileBase, server.ServerFqdn);
    }
};

// By the address alone or in parentheses, in any case; a localised Inbox
// through the mailbox's Inbox property; a mail domain other than the store's
// through the store's base, each URL form that fails adding a testing entry
// (two file forms, then two http forms). No entry, a system mailbox, or an
// entry whose mailbox the store lacks (four forms of each scheme fail, alias
// and local part naming the same mailbox) is not found.
TEST_F(DestinationTest, ResolvesTheInboxOfTheMailboxTheAddressNames) {
    Mailbox("arch");
    Mailbox("other");
    Store()->CreateMailbox(testing::kNamespace, "archiv", false, "Posteingang");
    Mailbox("SystemMailbox{77}", testing::kNamespace, true);
    Directory({
        MailUser("Archive", "arch", "arch@example.org"),
        MailUser("Archiv", "archiv", "archiv@example.org"),
        MailUser("Other", "other", "other@other.example"),
        {.cn = "SystemMailbox{77}",
         .account = "SM_77",
         .alias = "SystemMailbox{77}",
         .mail = "SystemMailbox{77}@example.org"},
        MailUser("Ghost", "ghost", "ghost@example.org"),
    });
    struct Case {
        const char* target;
        const char* alias;  // empty: not found
        const char* inbox;
        size_t failedBefore, failedAfter;  // testing entries before and after the found one
    } cases[] = {
        {"arch@example.org", "arch", "Inbox", 0, 0},
        {"Archive Box (ARCH@example.org)", "arch", "Inbox", 0, 0},
        {"archiv@example.org", "archiv", "Posteingang", 0, 0},
        {"other@other.example", "other", "Inbox", 2, 2},
        {"Nobody (nobody@example.org)", "", "", 0, 0},
        {"SystemMailbox{77}@example.org", "", "", 0, 0},
        {"ghost@example.org", "", "", 8, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        NewRun();
        const MoveDestination found = Resolve(c.target);
        const bool want = *c.alias != 0;
        EXPECT_EQ(found.Found(), want);
        EXPECT_EQ(found.DestFileFolderUrl, want ? FileUrl(c.alias, c.inbox) : "");
        EXPECT_EQ(found.DestHttpFolderUrl, want ? HttpUrl(c.alias, c.inbox) : "");
        const std::string target = want ? std::string(c.alias) + "/" + c.inbox : c.target;
        EXPECT_EQ(found.MoveTarget, target);
        const auto lines = LogLines(ReadLog());
        ASSERT_EQ(lines.size(), 2 * (c.failedBefore + c.failedAfter) + 1) << ReadLog();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i == 2 * c.failedBefore) {
                EXPECT_EQ(lines[i],
                          want ? "Destination folder " + target + " is ready to collect messages."
                               : "Destination folder 'Inbox' is not found in " + target);
            } else if ((i < 2 * c.failedBefore ? i : i - 1) % 2 == 0) {
                EXPECT_EQ(lines[i], "Destination folder testing:");
            } else {
                EXPECT_TRUE(StartsWithNowStamp(lines[i])) << lines[i];
            }
        }
    }
}

// The address goes into the directory query as text: wildcards and the
// query's own punctuation match only themselves, in either directory.
TEST_F(DestinationTest, AnAddressMatchesOnlyItselfLiterally) {
    const std::vector<User> users = {
        MailUser("A1", "a1", "a1@example.org"),
        MailUser("Star", "star", "st*r@example.org"),
        MailUser("Paren", "paren", "x(y)@example.org"),
        MailUser("Quote", "quote", "o'brien@example.org"),
    };
    for (const char* alias : {"a1", "star", "paren", "quote"}) Mailbox(alias);
    struct Case {
        const char* target;
        const char* wantAlias;  // empty: not found
    } cases[] = {
        {"*@example.org", ""},
        {"a*", ""},
        {"st*r@example.org", "star"},
        {"Paren (x(y)@example.org)", "paren"},
        {"Quote (O'Brien@example.org)", "quote"},
        {"a1@example.org') OR (mail='*", ""},
    };
    for (const bool ldap : {false, true}) {
        SCOPED_TRACE(ldap ? "slapd" : "embedded");
        std::unique_ptr<localplatform::directory::testing::SlapdHarness> slapd;
        if (ldap) {
            slapd = testing::StartSlapd(users, dir_ + "/users.ldif");
            if (!slapd) GTEST_SKIP() << "slapd is not installed";
            Configure({slapd->ConfigLines()});
        } else {
            Directory(users);
        }
        for (const auto& c : cases) {
            SCOPED_TRACE(c.target);
            NewRun();
            const MoveDestination got =
                Resolve(c.target, ldap ? "GC://127.0.0.1" : testing::kSearchRoot);
            EXPECT_EQ(got.DestFileFolderUrl + got.DestHttpFolderUrl,
                      *c.wantAlias ? FileUrl(c.wantAlias, "Inbox") + HttpUrl(c.wantAlias, "Inbox")
                                   : std::string());
        }
    }
}

TEST_F(DestinationTest, ResolveInboxReadsTheMailboxRootsInboxUrl) {
    Mailbox("arch");
    const int64_t folder = Folder("arch", "Plain");
    (void)folder;
    struct Case {
        std::string url, want, moveTarget;
    } cases[] = {
        {FileUrl("arch", ""), FileUrl("arch", "Inbox"), "arch/Inbox"},
        {HttpUrl("arch", ""), HttpUrl("arch", "Inbox"), "configured"},
        // A folder without an Inbox property is taken as it is.
        {FileUrl("arch", "Plain"), FileUrl("arch", "Plain"), "arch/Plain"},
        {FileUrl("nobody", ""), "", "configured"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const InboxFound found = ResolveInbox(LogWriter(), c.url, "inbox", "configured");
        EXPECT_EQ(found.url, c.want);
        EXPECT_EQ(found.MoveTarget, c.moveTarget);
    }
}

}  // namespace
}  // namespace quellix
