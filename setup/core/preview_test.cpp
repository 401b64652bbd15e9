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
#include "selection/testing/server_fixture.h"

namespace setup {
namespace {

using platform::Date;
using quellix::testing::User;
using Names = std::set<std::string>;

// Mailbox aliases and the folders the store holds for them.
const std::vector<std::string> kAliases = {"ann", "bobby", "cid", "dora", "eve"};
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
            {.cn = "Eve",
             .account = "eve",
             .alias = "eve",
             .mail = "eve@example.org",
             .homeServer = "EXCH02",
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

}  // namespace
}  // namespace setup
