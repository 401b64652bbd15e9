#include "setup/core/directory_queries.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/strfuncs.h"
#include "selection/testing/directory_fixture.h"
#include "selection/testing/server_fixture.h"
#include "setup/core/registration_management.h"

namespace setup {
namespace {

using quellix::testing::User;

const char kRoot[] = "GC://dc1.example.org";
const char kLdapRoot[] = "LDAP://dc1.example.org";

// This server's system attendant and another server's, below the
// configuration container the fixture already makes.
const char* kAttendants =
    "dn: CN=EXCH01,CN=Configuration,DC=example,DC=org\n"
    "objectClass: top\nobjectClass: container\ncn: EXCH01\n\n"
    "dn: CN=Microsoft System Attendant,CN=EXCH01,CN=Configuration,DC=example,DC=org\n"
    "objectClass: top\nobjectClass: exchangeAdminService\ncn: Microsoft System Attendant\n"
    "homeMDB: CN=Mailbox Store (EXCH01),CN=EXCH01,CN=Configuration,DC=example,DC=org\n\n"
    "dn: CN=EXCH02,CN=Configuration,DC=example,DC=org\n"
    "objectClass: top\nobjectClass: container\ncn: EXCH02\n\n"
    "dn: CN=Microsoft System Attendant,CN=EXCH02,CN=Configuration,DC=example,DC=org\n"
    "objectClass: top\nobjectClass: exchangeAdminService\ncn: Microsoft System Attendant\n"
    "homeMDB: CN=Mailbox Store (EXCH02),CN=EXCH02,CN=Configuration,DC=example,DC=org\n\n";

std::vector<User> ListUsers() {
    std::vector<User> users = {
        {.cn = "Ann Lee", .account = "alee", .alias = "ann", .mail = "ann@example.org"},
        {.cn = "Bob Marked",
         .account = "bob",
         .alias = "bob",
         .mail = "bob@example.org",
         .mark = "Quellix"},
        {.cn = "Cid Upper",
         .account = "cid",
         .alias = "cid",
         .mail = "cid@example.org",
         .mark = "QUELLIX"},
        {.cn = "Dan Other",
         .account = "dan",
         .alias = "dan",
         .mail = "dan@example.org",
         .mark = "Other"},
        {.cn = "Eve Remote",
         .account = "eve",
         .alias = "eve",
         .mail = "eve@example.org",
         .homeServer = "EXCH02"},
        {.cn = "Fay NoHome",
         .account = "fay",
         .alias = "fay",
         .mail = "fay@example.org",
         .homeServer = ""},
        {.cn = "Gus Dest", .account = "gus", .alias = "gus", .mail = "gus@example.org"},
        {.cn = "Hal DestMarked",
         .account = "hal",
         .alias = "hal",
         .mail = "hal@example.org",
         .mark = "quellix"},
        {.cn = "Ida NoMail", .account = "ida", .alias = "ida"},
        {.cn = "Jon NoBox",
         .account = "jon",
         .alias = "jon",
         .mail = "jon@example.org",
         .mailbox = false},
        {.cn = "SystemMailbox{ABC}",
         .account = "SystemMailbox{ABC}",
         .alias = "systemMAILBOX{abc}",
         .mail = "SystemMailbox{ABC}@example.org"},
        {.cn = "Star Owner", .account = "star", .alias = "star", .mail = "*@example.org"},
        {.cn = "Tim O'Neil", .account = "tim", .alias = "tim", .mail = "o'neil@example.org"},
        {.cn = "user one", .account = "user1", .alias = "user1", .mail = "user1@example.org"},
    };
    return users;
}

// The system's queries on the embedded directory: what each directory
// answers to them, the embedded one and a slapd alike, is the directory
// service's test; here, what setup makes of the rows.
class DirectoryQueriesTest : public quellix::testing::ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        quellix::testing::LoadEmbeddedDirectory(dir_ + "/directory.ldb", ListUsers(), kAttendants);
        OpenDirectoryConnection(cnn_);
    }
    MailboxLists Lists(const std::string& dest = "") {
        return GetUsersWithMailboxes(cnn_, kRoot, "exch01", dest);
    }

    platform::Connection cnn_;
};

TEST_F(DirectoryQueriesTest, ListRulesAndOrder) {
    int steps = 0;
    std::string lastText;
    const MailboxLists lists =
        GetUsersWithMailboxes(cnn_, kRoot, "EXCH01", "gus DEST (GUS@example.org)",
                              [&](const Progress& bar, const std::string& text) {
                                  ++steps;
                                  EXPECT_EQ(bar.Value(), steps);
                                  lastText = text;
                              });
    EXPECT_EQ(lists.registerList,
              (std::vector<std::string>{"Ann Lee / EXCH01 / ann@example.org / ann",
                                        "Dan Other / EXCH01 / dan@example.org / dan",
                                        "Ida NoMail / EXCH01 /  / ida",
                                        "Star Owner / EXCH01 / *@example.org / star",
                                        "Tim O'Neil / EXCH01 / o'neil@example.org / tim",
                                        "user one / EXCH01 / user1@example.org / user1"}));
    EXPECT_EQ(lists.unregisterList,
              (std::vector<std::string>{"Bob Marked / EXCH01 / bob@example.org / bob",
                                        "Cid Upper / EXCH01 / cid@example.org / cid",
                                        "Hal DestMarked / EXCH01 / hal@example.org / hal"}));
    // One step per record of the query, mailboxes of other servers included.
    EXPECT_EQ(steps, lists.recordCount);
    EXPECT_EQ(lists.recordCount, 13);
    EXPECT_EQ(lastText, "100%");

    // A marked destination stays in the unregister list; the unmarked one
    // comes back when it is no longer the destination.
    const MailboxLists other = Lists("Hal DestMarked (hal@example.org)");
    EXPECT_EQ(other.unregisterList.size(), 3u);
    EXPECT_EQ(other.registerList.size(), 7u);
}

// The attendant's store and the identity are looked up one entry each; a
// list query that fails reaches the caller, a mark that fails is its result.
TEST_F(DirectoryQueriesTest, LookupsAndFailures) {
    EXPECT_TRUE(platform::EqualsNoCase(
        GetSystemAttendantHomeMDB(cnn_, kRoot, "exch01"),
        "CN=Mailbox Store (EXCH01),CN=EXCH01,CN=Configuration,DC=example,DC=org"));
    EXPECT_TRUE(platform::EqualsNoCase(
        GetSystemAttendantHomeMDB(cnn_, kRoot, "Exch02"),
        "CN=Mailbox Store (EXCH02),CN=EXCH02,CN=Configuration,DC=example,DC=org"));
    EXPECT_EQ(GetSystemAttendantHomeMDB(cnn_, kRoot, "exch03"), "");

    EXPECT_EQ(FillIdentityField(cnn_, kRoot, "user1"), "example.org\\user1");
    EXPECT_EQ(FillIdentityField(cnn_, kRoot, "nobody"), "nobody");
    // "*" is the dialect's wildcard: it must not lend user1's domain.
    EXPECT_EQ(FillIdentityField(cnn_, kRoot, "use*"), "use*");
    EXPECT_EQ(FillIdentityField(cnn_, kRoot, "it's"), "it's");

    EXPECT_THROW((void)GetUsersWithMailboxes(cnn_, "FTP://nowhere", "exch01", ""), platform::Error);
    EXPECT_EQ(MarkMailbox("ann@example.org", std::string(kRegistrationMark), "LDAP:/bad").kind,
              MarkOutcome::Kind::Failed);
}

TEST_F(DirectoryQueriesTest, MarkAndUnmark) {
    using Kind = MarkOutcome::Kind;
    EXPECT_EQ(MarkMailbox("ANN@example.org", std::string(kRegistrationMark), kLdapRoot).kind,
              Kind::Written);
    EXPECT_EQ(MarkMailbox("o'neil@example.org", std::string(kRegistrationMark), kLdapRoot).kind,
              Kind::Written);
    EXPECT_EQ(MarkMailbox("bob@example.org", std::nullopt, kLdapRoot).kind, Kind::Written);
    MailboxLists lists = Lists();
    EXPECT_EQ(lists.unregisterList,
              (std::vector<std::string>{"Ann Lee / EXCH01 / ann@example.org / ann",
                                        "Cid Upper / EXCH01 / cid@example.org / cid",
                                        "Hal DestMarked / EXCH01 / hal@example.org / hal",
                                        "Tim O'Neil / EXCH01 / o'neil@example.org / tim"}));

    // Addresses nobody has, wildcards included, write nothing.
    for (const char* address : {"nobody@example.org", "*", "a*@example.org", "*example.org", ""}) {
        EXPECT_EQ(MarkMailbox(address, std::string(kRegistrationMark), kLdapRoot).kind,
                  Kind::NoSuchUser)
            << address;
    }
    EXPECT_EQ(Lists().unregisterList, lists.unregisterList);

    // "*@example.org" is one user's real address: only that user is marked.
    EXPECT_EQ(MarkMailbox("*@example.org", std::string(kRegistrationMark), kLdapRoot).kind,
              Kind::Written);
    lists = Lists();
    ASSERT_EQ(lists.unregisterList.size(), 5u);
    EXPECT_EQ(lists.unregisterList[3], "Star Owner / EXCH01 / *@example.org / star");

    for (const char* address :
         {"ann@example.org", "o'neil@example.org", "*@example.org", "cid@example.org"}) {
        EXPECT_EQ(MarkMailbox(address, std::nullopt, kLdapRoot).kind, Kind::Written) << address;
    }
    EXPECT_EQ(Lists().unregisterList,
              (std::vector<std::string>{"Hal DestMarked / EXCH01 / hal@example.org / hal"}));
}

// A value from data stays inside its literal: the queries run against the
// real directory above, so only the quoting is asserted here.
TEST(DirectoryQueryText, ValuesAreQuotedInTheirLiterals) {
    EXPECT_NE(IdentityQuery("GC://dc1.example.org", "it's").find("sAMAccountName='it''s'"),
              std::string::npos);
    EXPECT_NE(
        MarkQuery("LDAP://dc1.example.org", "a') OR (mail='*").find("mail='a'') OR (mail=''*'"),
        std::string::npos);
    // A search root comes from data too (the registration item, the
    // directory's own names): it stays one quoted value, whatever it holds.
    const std::string root = "GC://dc1.example.org' WHERE cn='*";
    const std::string want = "FROM 'GC://dc1.example.org'' WHERE cn=''*' ";
    for (const std::string& q :
         {MailboxListQuery(root), SystemAttendantQuery(root), IdentityQuery(root, "x"),
          MarkQuery(root, "x"), MailboxAliasQuery(root, "x"), SystemMailboxQuery(root)}) {
        EXPECT_NE(q.find(want), std::string::npos) << q;
    }
}

// The list queries page (unpaged, a directory stops at its own limit) and
// are bounded in time; the identity lookup asks for one entry.
TEST(DirectoryQueryText, ListQueriesPageAndAreBounded) {
    using platform::Variant;
    platform::Connection cnn;
    for (QueryKind kind : {QueryKind::MailboxList, QueryKind::SystemAttendant}) {
        platform::Command cmd = MakeDirectoryCommand(cnn, "q", kind);
        EXPECT_EQ(cmd.Properties("Page Size").Value(), Variant(int16_t{100}));
        EXPECT_EQ(cmd.Properties("Timeout").Value(), Variant(int16_t{120}));
    }
    EXPECT_TRUE(MakeDirectoryCommand(cnn, "q", QueryKind::Identity)
                    .Properties("Page Size")
                    .Value()
                    .IsNull());
}

TEST(DirectoryQueryText, EntriesLabelsAndNames) {
    EXPECT_EQ(HomeServerName("/o=Org/cn=Servers/cn=ab"), "AB");
    EXPECT_EQ(HomeServerName("/o=Org/cn=A"), "/O=ORG/CN=A");  // one character after
    EXPECT_EQ(HomeServerName("no server"), "NO SERVER");
    EXPECT_EQ(MailboxLabel("Ann", ""), "Ann ()");
    // The browser's label of an entry is the label of the same mailbox.
    EXPECT_EQ(GetMbxMameAndEmail(MailboxEntry("Ann Lee", "EXCH01", "ann@example.org", "ann")),
              MailboxLabel("Ann Lee", "ann@example.org"));
    EXPECT_TRUE(IsRegistrationMark("qUELLIX"));
    EXPECT_FALSE(IsRegistrationMark("Quellix2"));
    EXPECT_FALSE(IsRegistrationMark(""));

    EXPECT_EQ(IdentityDomain("CN=Person,CN=Schema,CN=Configuration,DC=alpha,DC=beta"),
              "alpha.beta");
    EXPECT_EQ(IdentityDomain("CN=Person,CN=Schema,CN=Configuration,dc= alpha, DC=beta"),
              "alpha.beta");
    EXPECT_EQ(IdentityDomain("CN=Person,CN=Schema"), "");
    EXPECT_EQ(IdentityDomain(""), "");

    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(GetCurrentUserName(), pw->pw_name);
}

}  // namespace
}  // namespace setup
