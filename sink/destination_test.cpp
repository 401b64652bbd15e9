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
// through the mailbox's Inbox property.
TEST_F(DestinationTest, ResolvesTheInboxByTheAddressAloneOrInParentheses) {
    Mailbox("arch");
    Store()->CreateMailbox(testing::kNamespace, "archiv", false, "Posteingang");
    Directory({MailUser("Archive", "arch", "arch@example.org"),
               MailUser("Archiv", "archiv", "archiv@example.org")});
    struct Case {
        const char* target;
        const char* alias;
        const char* inbox;
    } cases[] = {
        {"arch@example.org", "arch", "Inbox"},
        {"Archive Box (ARCH@example.org)", "arch", "Inbox"},
        {"archiv@example.org", "archiv", "Posteingang"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        NewRun();
        const MoveDestination found = Resolve(c.target);
        EXPECT_EQ(found.DestFileFolderUrl, FileUrl(c.alias, c.inbox));
        EXPECT_EQ(found.DestHttpFolderUrl, HttpUrl(c.alias, c.inbox));
        const std::string target = std::string(c.alias) + "/" + c.inbox;
        EXPECT_EQ(found.MoveTarget, target);
        EXPECT_EQ(ReadLog(), "Destination folder " + target + " is ready to collect messages.\r\n");
    }
}

TEST_F(DestinationTest, AMailDomainOtherThanTheStoresIsFoundThroughTheStoresBase) {
    Mailbox("arch");
    Directory({MailUser("Archive", "arch", "arch@other.example")});
    const MoveDestination found = Resolve("arch@other.example");
    EXPECT_EQ(found.DestFileFolderUrl, FileUrl("arch", "Inbox"));
    EXPECT_EQ(found.DestHttpFolderUrl, HttpUrl("arch", "Inbox"));
    // Each failing URL adds a testing entry: two file forms, then two http forms.
    const auto lines = LogLines(ReadLog());
    ASSERT_EQ(lines.size(), 9u) << ReadLog();
    for (size_t i : {0u, 2u, 5u, 7u}) EXPECT_EQ(lines[i], "Destination folder testing:");
    for (size_t i : {1u, 3u, 6u, 8u}) EXPECT_TRUE(StartsWithNowStamp(lines[i])) << lines[i];
    EXPECT_EQ(lines[4], "Destination folder arch/Inbox is ready to collect messages.");
}

TEST_F(DestinationTest, NoEntryASystemMailboxOrNoInboxIsNotFound) {
    Mailbox("SystemMailbox{77}", testing::kNamespace, true);
    Directory({
        {.cn = "SystemMailbox{77}",
         .account = "SM_77",
         .alias = "SystemMailbox{77}",
         .mail = "SystemMailbox{77}@example.org"},
        MailUser("Ghost", "ghost", "ghost@example.org"),
    });
    struct Case {
        const char* target;
        size_t testingEntries;
    } cases[] = {
        {"Nobody (nobody@example.org)", 0},
        {"SystemMailbox{77}@example.org", 0},
        // In the directory, but no mailbox in the store: four file forms and
        // four http forms fail (alias and local part name the same mailbox).
        {"ghost@example.org", 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        NewRun();
        const MoveDestination found = Resolve(c.target);
        EXPECT_FALSE(found.Found());
        EXPECT_EQ(found.DestFileFolderUrl, "");
        EXPECT_EQ(found.DestHttpFolderUrl, "");
        EXPECT_EQ(found.MoveTarget, c.target);
        const auto lines = LogLines(ReadLog());
        ASSERT_EQ(lines.size(), c.testingEntries * 2 + 1) << ReadLog();
        EXPECT_EQ(lines.back(),
                  std::string("Destination folder 'Inbox' is not found in ") + c.target);
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
