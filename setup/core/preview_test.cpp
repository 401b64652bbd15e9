// The preview selects what the run then removes: the same mailboxes, folders
// and messages, for both modes, both traversals, marked and all mailboxes,
// a fractional age and a time-zone bias. The run is the sink's own, fired by
// the component host on the same store and directory.
#include "setup/core/preview.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/testing/run_program.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "selection/mailbox_selection.h"
#include "selection/testing/server_fixture.h"

namespace setup {
namespace {

using platform::Date;
using quellix::testing::User;
using Names = std::set<std::string>;

// Mailbox aliases and the folders the store holds for them.
const std::vector<std::string> kAliases = {"ann", "bobby", "cid", "dora"};
const std::vector<std::string> kFolders = {"Spam", "Spam/Deeper", "Inbox"};

struct Case {
    const char* what;
    bool move;
    bool deep;
    bool all;
    const char* age;
    const char* bias;  // minutes, as the configuration holds them
};

class PreviewTest : public quellix::testing::ServerFixture,
                    public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Configure({std::string("timezone.active_time_bias = ") + GetParam().bias});
        Directory({
            {.cn = "Ann",
             .account = "ann",
             .alias = "ann",
             .mail = "ann@example.org",
             .mark = "Quellix"},
            // Found only by the forms of the store's own base with the alias.
            {.cn = "Bob",
             .account = "bob",
             .alias = "bobby",
             .mail = "bob@other.example",
             .mark = "quellix"},
            {.cn = "Cid", .account = "cid", .alias = "cid", .mail = "cid@example.org"},
            // Marked, but its folder is missing: every form is refused.
            {.cn = "Dora",
             .account = "dora",
             .alias = "dora",
             .mail = "dora@example.org",
             .mark = "Quellix"},
            {.cn = "Archive", .account = "arch", .alias = "arch", .mail = "arch@example.org"},
        });
        Mailbox("arch");
        const Date now = Date::NowUtc();
        // Ages in days, each far from any case's cutoff (more than an hour).
        const double ages[] = {0.2, 1.2, 1.3, 1.8, 3, 10};
        for (const auto& alias : kAliases) {
            Mailbox(alias);
            for (const auto& path : kFolders) {
                if (alias == "dora" && path != "Inbox") continue;
                const int64_t folder = Folder(alias, path);
                std::string where = path;
                std::replace(where.begin(), where.end(), '/', '_');
                for (double age : ages) {
                    Message(folder, alias + "-" + where + "-" + std::to_string(age),
                            now.AddDays(-age));
                }
                Message(folder, alias + "-" + where + "-hidden", now.AddDays(-30), true);
            }
        }
    }

    // The messages left in every source folder, by subject.
    Names Remaining() {
        Names left;
        for (const auto& alias : kAliases) {
            for (const auto& path : kFolders) {
                for (const auto& s : Subjects(alias, path)) left.insert(s);
            }
        }
        return left;
    }
};

TEST_P(PreviewTest, SelectsWhatTheRunThenRemoves) {
    const Case& c = GetParam();
    registration::OnTimerRegistration item;
    item.searchRoot = "GC://dc1.example.org";
    item.folderName = "Spam";
    item.run = 1;
    item.mailboxToMove = c.move ? "Archive (arch@example.org)" : "";
    item.allMailboxes = c.all ? "1" : "0";
    item.includeSubfolders = c.deep ? "1" : "0";
    const std::string itemUrl = Registration(item);
    SetItemProperty(itemUrl, registration::CustomProperty(registration::kExpirationPeriod),
                    platform::Variant(std::string(c.age)));

    const Names before = Remaining();
    const RunPreview preview = PreviewRun(itemUrl, Date::NowLocal());
    EXPECT_TRUE(preview.due);
    EXPECT_TRUE(preview.noRun.empty()) << preview.noRun;
    EXPECT_EQ(preview.moveTarget, c.move ? "arch/Inbox" : "");

    // What the preview selected, by subject (the store's names are the
    // subjects here), with its totals.
    Names selected;
    int64_t bytes = 0;
    std::map<std::string, std::string> errors;
    for (const auto& m : preview.mailboxes) {
        if (!m.folder.error.empty()) errors[m.address] = m.folder.error;
        for (const auto& msg : m.folder.messages) {
            const std::string name = msg.href.substr(msg.href.rfind('/') + 1);
            selected.insert(name.substr(0, name.size() - 4));
            EXPECT_EQ(msg.size,
                      static_cast<int64_t>(
                          quellix::testing::MessageText(name.substr(0, name.size() - 4)).size()));
            bytes += msg.size;
        }
    }
    EXPECT_EQ(preview.messages, static_cast<int64_t>(selected.size()));
    // Without the messages kept: the same counts, bytes and dates.
    const RunPreview counted = PreviewRun(itemUrl, Date::NowLocal(), false);
    EXPECT_EQ(counted.messages, preview.messages);
    EXPECT_EQ(counted.bytes, preview.bytes);
    EXPECT_EQ(counted.oldest, preview.oldest);
    EXPECT_EQ(counted.newest, preview.newest);
    ASSERT_EQ(counted.mailboxes.size(), preview.mailboxes.size());
    for (size_t i = 0; i < counted.mailboxes.size(); ++i) {
        EXPECT_TRUE(counted.mailboxes[i].folder.messages.empty());
        EXPECT_EQ(counted.mailboxes[i].folder.count,
                  static_cast<int64_t>(preview.mailboxes[i].folder.messages.size()));
    }
    EXPECT_EQ(preview.bytes, bytes);
    EXPECT_FALSE(selected.empty());
    // Dora (and Archive, when every mailbox is treated) has no such folder:
    // each is treated, and its folder's failure reported as the run logs it.
    std::string failed;
    for (const auto& [address, error] : errors) failed += address + " ";
    EXPECT_EQ(failed, c.all ? "arch@example.org dora@example.org " : "dora@example.org ");

    const Names untouched = Remaining();
    EXPECT_EQ(untouched, before) << "the preview changed the store";

    for (const std::vector<std::string>& host :
         {std::vector<std::string>{QUELLIX_HOST_PATH, "register", QUELLIX_MODULE_PATH},
          std::vector<std::string>{QUELLIX_HOST_PATH, "ontimer", itemUrl}}) {
        const auto o = platform::testing::RunProgram(host);
        ASSERT_EQ(o.code, 0) << host[1] << ": " << o.err << ReadLog();
    }
    Names removed;
    const Names after = Remaining();
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::inserter(removed, removed.end()));
    EXPECT_EQ(removed, selected) << ReadLog();
    if (c.move) {
        const std::vector<std::string> inbox = Subjects("arch", "Inbox");
        EXPECT_EQ(Names(inbox.begin(), inbox.end()), selected);
    }
    // Mailbox by mailbox, in the run's order.
    std::string mailboxes;
    for (const auto& m : preview.mailboxes) mailboxes += m.name + " ";
    EXPECT_EQ(mailboxes, c.all ? "Ann Archive Bob Cid Dora " : "Ann Bob Dora ");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PreviewTest,
    ::testing::Values(Case{"delete, shallow, marked", false, false, false, "1", "0"},
                      Case{"delete, deep, all, fractional age", false, true, true, "1.5", "0"},
                      Case{"move, deep, marked, bias", true, true, false, "1.5", "300"},
                      Case{"move, shallow, all", true, false, true, "2", "-120"}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.what;
        std::replace_if(
            name.begin(), name.end(),
            [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
        return name;
    });

class PreviewEdges : public quellix::testing::ServerFixture {
protected:
    std::string Item(const std::string& moveTo = "") {
        registration::OnTimerRegistration item;
        item.searchRoot = "GC://dc1.example.org";
        item.folderName = "Spam";
        item.run = 1;
        item.expirationPeriod = 7;
        item.mailboxToMove = moveTo;
        return Registration(item);
    }
};

// A marked mailbox without an address is named, with the run's own reason;
// a message the store cannot read is passed over and said.
TEST_F(PreviewEdges, WhatAPreviewCannotReachIsSaid) {
    Directory({
        {.cn = "Ann",
         .account = "ann",
         .alias = "ann",
         .mail = "ann@example.org",
         .mark = "Quellix"},
        {.cn = "Wendy Lee 2", .account = "wlee2", .alias = "wlee2", .mark = "Quellix"},
    });
    Mailbox("ann");
    const int64_t spam = Folder("ann", "Spam");
    Message(spam, "old", Date::NowUtc().AddDays(-30));
    const int64_t bad = Message(spam, "bad", Date::NowUtc().AddDays(-30));
    {
        // A received time no date has, as a damaged store may hold.
        auto db = localplatform::SqliteDb::Open(Store()->Path(), {});
        db.Prepare("UPDATE items SET received = -9223372036854775807 - 1 WHERE id = ?1")
            .Bind(1, bad)
            .Run();
    }
    const RunPreview preview = PreviewRun(Item(), Date::NowLocal());
    ASSERT_EQ(preview.mailboxes.size(), 2U);
    const PreviewMailbox& ann = preview.mailboxes[0];
    EXPECT_EQ(ann.folder.count, 1);
    ASSERT_EQ(ann.folder.skipped.size(), 1U);
    EXPECT_NE(ann.folder.skipped[0].find("/ann/Spam/bad.EML"), std::string::npos)
        << ann.folder.skipped[0];
    const PreviewMailbox& wendy = preview.mailboxes[1];
    EXPECT_EQ(wendy.name, "Wendy Lee 2");
    EXPECT_EQ(wendy.folder.error, quellix::kNoAddressReason);
    const std::string text = PreviewText(preview, false);
    EXPECT_NE(text.find("Mailbox: Wendy Lee 2 (no address)\n  not reached: no URL to try: the "
                        "mailbox has no address\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  skipped: read item("), std::string::npos) << text;

    // A preview that cannot select says why, and makes up no run day and no
    // cutoff.
    const RunPreview none = PreviewRun(Item("frank"), Date::NowLocal());
    EXPECT_FALSE(none.decided);
    EXPECT_EQ(none.noRun, "Destination folder 'Inbox' is not found in frank");
    const std::string said = PreviewText(none, false);
    EXPECT_EQ(said.find("run day"), std::string::npos) << said;
    EXPECT_EQ(said.find("Cutoff"), std::string::npos) << said;
    EXPECT_EQ(said.find("1899"), std::string::npos) << said;
    EXPECT_NE(said.find("No run: Destination folder 'Inbox' is not found in frank"),
              std::string::npos)
        << said;

    // A destination that cannot be read: no run, and why.
    const std::string item = Item("arch@example.org");
    SetItemProperty(item, registration::CustomProperty(registration::kMailboxToMove),
                    platform::Variant(int16_t{7}));
    const RunPreview unreadable = PreviewRun(item, Date::NowLocal());
    EXPECT_NE(unreadable.noRun.find("cannot be read, so nothing is moved or deleted"),
              std::string::npos)
        << unreadable.noRun;
}

// A try by another name that reaches another entry's mailbox is passed
// over and said, as the run passes it over; the error said is the
// mailbox's own, and nothing of the other mailbox is counted.
TEST_F(PreviewEdges, AnotherEntrysMailboxIsNeverPreviewed) {
    Directory({
        {.cn = "Cara", .account = "cara", .alias = "cara", .mail = "cara@example.org"},
        {.cn = "Dora",
         .account = "cara",
         .alias = "dora",
         .mail = "dora@example.org",
         .mark = "Quellix"},
    });
    Mailbox("cara");
    Message(Folder("cara", "Spam"), "hers", Date::NowUtc().AddDays(-30));
    Mailbox("dora");  // no Spam
    const RunPreview preview = PreviewRun(Item(), Date::NowLocal());
    ASSERT_EQ(preview.mailboxes.size(), 1U);
    const PreviewFolder& dora = preview.mailboxes[0].folder;
    EXPECT_EQ(dora.count, 0);
    EXPECT_NE(dora.url.find("/dora/Spam"), std::string::npos) << dora.url;
    EXPECT_FALSE(dora.error.empty());
    ASSERT_EQ(dora.notOwn.size(), 2U);
    for (const std::string& why : dora.notOwn) {
        EXPECT_NE(why.find("/cara/Spam is the mailbox of Cara (alias cara), not of Dora (alias "
                           "dora)"),
                  std::string::npos)
            << why;
    }
    const std::string text = PreviewText(preview, false);
    EXPECT_NE(text.find("  " + dora.notOwn[0] + "\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace setup
