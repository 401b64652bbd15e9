#include "setup/core/setup_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace setup {
namespace {

struct TextCase {
    std::string input;
    std::string want;
};

TEST(SetupText, NormalizeFolderName) {
    const std::vector<TextCase> cases = {
        {" \\Inbox\\Spam\\ ", "Inbox/Spam"},
        {" /Inbox/Spam/ ", "Inbox/Spam"},
        {"Junk 'Mail'", "Junk Mail"},
        {"\"Junk\"", "Junk"},
        {"//Spam", "/Spam"},
        {"Spam//", "Spam/"},
        {"c:Spam", "cSpam"},
        {"/", ""},
        {"   ", ""},
        {"Spam", "Spam"},
        {"\tSpam", "\tSpam"},  // trim removes blanks only
    };
    for (const auto& c : cases) EXPECT_EQ(NormalizeFolderName(c.input), c.want) << c.input;
}

TEST(SetupText, SplitSystemMailboxEntry) {
    struct Case {
        std::string entry;
        SystemMailboxNames want;
    };
    const std::vector<Case> cases = {
        {" /  / SystemMailbox{5C3A}@example.org / SystemMailbox{5C3A}",
         {"SystemMailbox{5C3A}", "SystemMailbox{5C3A}@example.org", "SystemMailbox{5C3A}"}},
        // No address: the alias is empty too.
        {" /  /  / SystemMailbox{1}", {"SystemMailbox{1}", "", ""}},
        // "@" first: the alias is the whole address; the last "@" counts.
        {" /  / @host.org / nick", {"nick", "@host.org", "@host.org"}},
        {" /  / a@b@c.org / nick", {"nick", "a@b@c.org", "a@b"}},
        // No separator at all: the whole text is the address, untrimmed.
        {"lone@x.org ", {"", "lone@x.org ", "lone"}},
    };
    for (const auto& c : cases) {
        const auto got = SplitSystemMailboxEntry(c.entry);
        EXPECT_EQ(got.nickname, c.want.nickname) << c.entry;
        EXPECT_EQ(got.address, c.want.address) << c.entry;
        EXPECT_EQ(got.alias, c.want.alias) << c.entry;
    }
}

TEST(SetupText, EntryEmailAddressAndMarkableAddress) {
    struct Case {
        std::string entry;
        std::string address;
        bool markable;
    };
    const std::vector<Case> cases = {
        {"Ann Lee / EXCH01 / ann@example.org / ann", "ann@example.org", true},
        {"No Mail / EXCH01 /  / nomail", "", false},
        {"At First / EXCH01 / @example.org / at", "@example.org", false},
        {"Two Ats / EXCH01 / a@b@example.org / two", "a@b@example.org", true},
        {"A / B / x@y.z", "B", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EntryEmailAddress(c.entry), c.address) << c.entry;
        EXPECT_EQ(IsMarkableAddress(EntryEmailAddress(c.entry)), c.markable) << c.entry;
    }
}

TEST(SetupText, ScheduleValues) {
    EXPECT_EQ(TimeToRunText("7", "05", "PM"), "7:05 PM");
    EXPECT_STREQ(RunChoiceText(0), "Never run");
    EXPECT_STREQ(RunChoiceText(1), "Every day");
    EXPECT_STREQ(RunChoiceText(8), "Saturday");
    EXPECT_STREQ(RunChoiceText(9), "");
    EXPECT_EQ(RunChoiceIndex("every DAY"), 1);
    EXPECT_EQ(RunChoiceIndex("Sunday"), 2);
    EXPECT_EQ(RunChoiceIndex("Someday"), std::nullopt);

    // Two weeks back at the time (a bias east of UTC is the change's own
    // test); 12:00 AM is midnight, 12:00 PM noon; west of UTC the instant is
    // later.
    EXPECT_EQ(
        FirstFiringInstant(platform::Date::FromParts(2026, 12, 5), "12:00 AM", 300)->UnixSeconds(),
        platform::Date::FromParts(2026, 11, 21, 5, 0).UnixSeconds());
    EXPECT_EQ(
        FirstFiringInstant(platform::Date::FromParts(2026, 12, 5), "12:00 PM", 0)->UnixSeconds(),
        platform::Date::FromParts(2026, 11, 21, 12, 0).UnixSeconds());
    EXPECT_FALSE(FirstFiringInstant(platform::Date::FromParts(2026, 12, 5), "25:00 PM", 0));
}

TEST(SetupText, GetMbxMameAndEmail) {
    const std::vector<TextCase> cases = {
        {"Ann Lee / EXCH01 / ann@example.org / ann", "Ann Lee (ann@example.org)"},
        {"No Mail / EXCH01 /  / nomail", "No Mail ()"},
        {"No separator", "No separator"},
        {"Only / Two", "Only"},
        {"  Padded  / S / p@x.org / p", "Padded (p@x.org)"},
    };
    for (const auto& c : cases) EXPECT_EQ(GetMbxMameAndEmail(c.input), c.want) << c.input;
}

TEST(SetupText, ValidateEmailAddress) {
    struct Case {
        std::string address;
        bool want;
    };
    const std::vector<Case> cases = {
        {"user@example.com", true},
        {"first.last-x_y\"~@example.com", true},
        {"user@example.", true},
        {"user@.example", true},
        {"", false},
        {"   ", false},
        {"@example.com", false},
        {"user", false},
        {"user@example", false},
        {"first.last@example", false},  // the "." must be in the domain part
        {"user@a@example.com", false},
        {"a,b@example.com", false},
        {"a;b@example.com", false},
        {"a b@example.com", false},
        {"<user@example.com>", false},
        {"user*@example.com", false},
        {"us\xC3\xA9r@example.com", true},
    };
    for (const auto& c : cases) EXPECT_EQ(ValidateEmailAddress(c.address), c.want) << c.address;
}

TEST(SetupText, ReportRecipientCheck) {
    struct Case {
        std::string text;
        bool acceptable;
    };
    const std::vector<Case> cases = {
        {"", true},
        {"    ", true},
        {"user@example.com", true},
        {"User Name (user@example.com)", true},
        {"User user@example.com", true},
        {"user@example.com (comment)", true},
        {"  user@example.com  ", true},
        {"User <user@example.com>", false},
        {"a@b (c@example.com)", false},  // the first "@" belongs to the name
        {"a@example.com,b@example.com", false},
        {"a@example.com;b@example.com", false},
        {"no address at all", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReportRecipientAcceptable(c.text), c.acceptable) << c.text;
    }
    EXPECT_EQ(*ReportRecipientAddress("User Name (user@example.com)"), "user@example.com");
    EXPECT_EQ(*ReportRecipientAddress("user@example.com (comment)"), "user@example.com");
    const std::string warning = ReportRecipientWarning();
    EXPECT_EQ(warning.rfind("Please enter correct e-mail address.\r\n\r\nExamples:\r\n", 0), 0u);
    // Both examples pass the check they illustrate.
    const size_t second = warning.rfind("\r\n");
    const size_t first = warning.rfind("\r\n", second - 1);
    EXPECT_TRUE(ReportRecipientAcceptable(warning.substr(first + 2, second - first - 2)));
    EXPECT_TRUE(ReportRecipientAcceptable(warning.substr(second + 2)));
}

TEST(SetupText, ProgressPercentHalvesToEven) {
    Progress four(4);
    EXPECT_EQ(four.UpdateStatus(1), "25%");
    EXPECT_EQ(four.UpdateStatus(1), "50%");
    EXPECT_EQ(four.UpdateStatus(1), "75%");
    EXPECT_EQ(four.UpdateStatus(1), "100%");
    EXPECT_EQ(four.UpdateStatus(1), "100%");  // a fifth step keeps the bar full
    EXPECT_EQ(four.Value(), 4);

    Progress eight(8);
    EXPECT_EQ(eight.UpdateStatus(1), "12%");  // 12.5 goes to the even 12
    eight.UpdateStatus(1);
    EXPECT_EQ(eight.UpdateStatus(1), "38%");  // 37.5 goes to the even 38
    Progress forty(40);
    EXPECT_EQ(forty.UpdateStatus(1), "2%");  // 2.5 -> 2, exactly
    EXPECT_EQ(forty.UpdateStatus(2), "8%");  // 7.5 -> 8
    EXPECT_EQ(Progress(0).UpdateStatus(1), "0%");
}

}  // namespace
}  // namespace setup
