#include "sink/mailboxes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "base/error.h"
#include "base/testing/contains.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using platform::testing::Contains;

using platform::Date;
using testing::LogLines;
using testing::MailUser;
using testing::SinkFixture;
using testing::StartsWithNowStamp;
using testing::User;
using Strings = std::vector<std::string>;

class MailboxesTest : public SinkFixture {
protected:
    // One expired message in the Spam folder of a mailbox.
    void Junk(const std::string& alias, const std::string& ns = testing::kNamespace) {
        Message(Folder(alias, "Spam", ns), "junk-" + alias, cutoff_.AddDays(-1));
    }
    static std::string Deleted(const std::string& url) {
        return "1 messages has been deleted in " + url;
    }
    static std::string Header(const std::string& cn) { return "Mailbox: " + cn; }

    const Date cutoff_ = Date::FromParts(2026, 11, 22, 8, 0, 0);
};

// Each mailbox's folder is reachable at only one of the URL forms (their
// order is the selection's test); the sweep goes on past the refused ones,
// reports the form that worked, and a mailbox no form reached logs one
// failure: its own alias's.
TEST_F(MailboxesTest, TriesTheUrlFormsInOrderAndLogsOneFailure) {
    Mailbox("ann");  // reached at try 1: mail domain = store namespace, alias
    Junk("ann");
    Junk("dora");  // try 7: only the account names the mailbox
    Directory({
        MailUser("Ann", "ann", "ann@example.org", "Quellix"),
        {.cn = "Dora",
         .account = "dora",
         .alias = "dora-x",
         .mail = "dora.d@other.example",
         .mark = "Quellix"},
        // No address: no URL is tried at all, the mailbox still counts, and
        // the log says why it was not swept.
        {.cn = "Fred", .account = "fred", .alias = "fred", .mark = "Quellix"},
        // No folder anywhere: tries go on to the last, which logs.
        {.cn = "Gus",
         .account = "gus2",
         .alias = "gus",
         .mail = "gus@other.example",
         .mark = "Quellix"},
    });
    const std::string base = thread_.server.StoreFileBase;
    EXPECT_EQ(ProcessMailboxes(TheRun(), testing::kSearchRoot, "Spam", cutoff_, 0, "shallow").count,
              4);

    // Each mailbox's section of the log; an error entry ends with the text after "<error> ".
    Strings want;
    auto section = [&](const std::string& cn, const std::string& last) {
        for (const std::string& l :
             {std::string(), Header(cn), std::string("Source folder: Spam"), last})
            want.push_back(l);
    };
    const std::string http = thread_.server.StoreHttpBase;
    section("Ann", Deleted("file://./backofficestorage/example.org/mbx/ann/Spam"));
    section("Dora", Deleted(base + "/dora/Spam"));
    section("Fred", "<error> no URL to try: the mailbox has no address Fred");
    // Of a mailbox not reached, the error said is its own alias's.
    section("Gus", "<error> " + http + "/gus/Spam");
    const auto lines = LogLines(ReadLog());
    ASSERT_EQ(lines.size(), want.size()) << ReadLog();
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i].starts_with("<error> ")) {
            EXPECT_TRUE(StartsWithNowStamp(lines[i])) << lines[i];
            EXPECT_TRUE(lines[i].ends_with(want[i].substr(8))) << lines[i];
        } else {
            EXPECT_EQ(lines[i], want[i]);
        }
    }
    for (const char* alias : {"ann", "dora"}) {
        EXPECT_TRUE(Messages(alias, "Spam").empty()) << alias;
    }
}

// The tries by the address's local part and by the account reach a
// mailbox of that name; when the name is another entry's alias, the mailbox
// is that entry's, and the try is skipped with a line naming both, whether
// that entry is selected or not. The error said is still the mailbox's own.
TEST_F(MailboxesTest, ATryByAnotherNameNeverSweepsAnotherEntrysMailbox) {
    for (const char* alias : {"cara", "fay"}) Junk(alias);
    Mailbox("dora");  // no Spam: only the tries by other names could find one
    Directory({
        {.cn = "Cara", .account = "cara", .alias = "cara", .mail = "cara@example.org"},
        {.cn = "Dora",
         .account = "cara",
         .alias = "dora",
         .mail = "dora@example.org",
         .mark = "Quellix"},
        {.cn = "Erin",
         .account = "erin",
         .alias = "erin",
         .mail = "fay@example.org",
         .mark = "Quellix"},
        MailUser("Fay", "fay", "fay2@example.org", "Quellix"),
    });
    EXPECT_EQ(ProcessMailboxes(TheRun(), testing::kSearchRoot, "Spam", cutoff_, 0, "shallow").count,
              3);
    EXPECT_EQ(Messages("cara", "Spam").size(), 1u) << "an unselected entry's mailbox";
    const std::string log = ReadLog();
    const std::string base = thread_.server.StoreFileBase;
    const std::string http = thread_.server.StoreHttpBase;
    for (const std::string& said :
         {base + "/cara/Spam is the mailbox of Cara (alias cara), not of Dora (alias dora)",
          http + "/cara/Spam is the mailbox of Cara (alias cara), not of Dora (alias dora)",
          base + "/fay/Spam is the mailbox of Fay (alias fay), not of Erin (alias erin)"})
        EXPECT_TRUE(
            Contains(log, std::to_string(platform::err::kAccessDenied) + " not swept: " + said))
            << said << "\n"
            << log;
    EXPECT_TRUE(Contains(log, " " + http + "/dora/Spam\r\n")) << "Dora's own error\n" << log;
    // Fay's own mailbox is swept under her entry, once.
    EXPECT_TRUE(Messages("fay", "Spam").empty());
    EXPECT_TRUE(Contains(log, Deleted("file://./backofficestorage/example.org/mbx/fay/Spam")))
        << log;
}

TEST_F(MailboxesTest, TreatsOnlyMailboxesOfThisServerThatTheRunSelects) {
    for (const char* alias : {"marked", "upper", "unmarked", "other", "remote", "nomark"})
        Junk(alias);
    Mailbox("SystemMailbox{AB12}", testing::kNamespace, true);
    Directory({
        MailUser("Marked", "marked", "marked@example.org", "Quellix"),
        MailUser("Upper", "upper", "upper@example.org", "QUELLIX"),
        MailUser("Unmarked", "unmarked", "unmarked@example.org"),
        MailUser("Other", "other", "other@example.org", "Other"),
        MailUser("NoMark", "nomark", "nomark@example.org"),
        {.cn = "Remote",
         .account = "remote",
         .alias = "remote",
         .mail = "remote@example.org",
         .homeServer = "EXCH02",
         .mark = "Quellix"},
        {.cn = "SystemMailbox{AB12}",
         .account = "SM_ab12",
         .alias = "SystemMailbox{AB12}",
         .mail = "SystemMailbox{AB12}@example.org",
         .mark = "Quellix"},
        {.cn = "NoMailbox",
         .account = "nomailbox",
         .alias = "nomailbox",
         .mail = "nomailbox@example.org",
         .mark = "Quellix",
         .mailbox = false},
    });
    struct Case {
        int16_t allMailboxes;
        Strings treated;
    } cases[] = {
        {0, {"Marked", "Upper"}},
        {-1, {"Marked", "Upper"}},
        {1, {"Marked", "NoMark", "Other", "Unmarked", "Upper"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.allMailboxes);
        NewRun();
        EXPECT_EQ(ProcessMailboxes(TheRun(), testing::kSearchRoot, "Spam", cutoff_, c.allMailboxes,
                                   "shallow")
                      .count,
                  static_cast<int32_t>(c.treated.size()));
        EXPECT_EQ(testing::TreatedMailboxes(ReadLog()), c.treated);
    }
    EXPECT_EQ(Messages("remote", "Spam").size(), 1u);
}

// Values from the directory go into the log visibly: a name holding CR LF
// cannot start a line of its own (a forged "Mailboxes processed: 999").
TEST_F(MailboxesTest, ANameHoldingLineBreaksCannotForgeALogLine) {
    Junk("eve");
    Directory(
        {MailUser("Eve\r\nMailboxes processed: 999\x07", "eve", "eve@example.org", "Quellix")});
    EXPECT_EQ(ProcessMailboxes(TheRun(), testing::kSearchRoot, "Sp\tam\r\nx", cutoff_, 0, "shallow")
                  .count,
              1);
    const auto lines = LogLines(ReadLog());
    ASSERT_GE(lines.size(), 3u) << ReadLog();
    EXPECT_EQ(lines[1], "Mailbox: Eve\\r\\nMailboxes processed: 999\\x07");
    EXPECT_EQ(lines[2], "Source folder: Sp\\tam\\r\\nx");
    for (const auto& line : lines) EXPECT_FALSE(line.starts_with("Mailboxes processed")) << line;
}

// A limit of the server that cuts the rows (how such limits cut, and that a
// limit on pages alone cuts nothing, is the directory service's test): the
// rows before the cut are treated, another server's users left, and the cut
// is logged with the search root.
TEST_F(MailboxesTest, TheRowsBeforeAServersLimitAreTreatedAndTheCutLogged) {
    using localplatform::directory::testing::SlapdHarness;
    if (!SlapdHarness::Available()) GTEST_SKIP() << "slapd is not installed";
    std::vector<User> users;
    for (int i = 0; i < 5; ++i) {
        const std::string n = "other" + std::to_string(i);
        users.push_back({.cn = "A " + n,
                         .account = n,
                         .alias = n,
                         .mail = n + "@example.org",
                         .homeServer = "EXCH02",
                         .mark = "Quellix"});
    }
    for (int i = 0; i < 6; ++i) {
        const std::string n = "user" + std::to_string(i);
        users.push_back({.cn = "B " + n,
                         .account = n,
                         .alias = n,
                         .mail = n + "@example.org",
                         .mark = "Quellix"});
        Junk(n);
    }
    SlapdHarness::Options o;
    o.suffix = testing::kBaseDn;
    o.rootDn = "CN=reader," + std::string(testing::kBaseDn);  // not exempt from limits
    o.serverSizeLimit = 8;
    o.preloadLdif = dir_ + "/users.ldif";
    std::ofstream(o.preloadLdif) << testing::DirectoryLdif(users);
    SlapdHarness slapd(o);
    Configure({slapd.ConfigLines(), "directory.bind_dn = ", "directory.password = "});
    EXPECT_EQ(ProcessMailboxes(TheRun(), "GC://127.0.0.1", "Spam", cutoff_, 0, "deep").count, 3)
        << "the rows before the cut";
    const auto lines = LogLines(ReadLog());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(StartsWithNowStamp(lines.back())) << lines.back();
    EXPECT_TRUE(Contains(lines.back(), std::to_string(platform::err::kDsSizeLimit)));
    EXPECT_TRUE(lines.back().ends_with(" GC://127.0.0.1")) << lines.back();
}

}  // namespace
}  // namespace quellix
