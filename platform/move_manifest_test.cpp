// Moves recorded for a run through the platform, listed and put back by URL.
#include "platform/move_manifest.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "localplatform/store/item_store.h"
#include "localplatform/store/store_messages.h"
#include "localplatform/store/store_test_support.h"
#include "platform/ado.h"

namespace platform {
namespace {

using localplatform::ItemStore;
using localplatform::testing::TempStore;

// Mailboxes alice, with a folder "Spam Box" in her Inbox, and junk.
void MakeMailboxes() {
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->CreateMailbox("example.test", "alice", false);
    store->CreateMailbox("example.test", "junk", false);
    store->CreateFolder(store->Lookup({"example.test", "MBX", "alice", "Inbox"})->id, "Spam Box");
}

TEST(MoveManifestPlatformTest, MovedForARunAndPutBackByUrl) {
    TempStore temp;
    MakeMailboxes();
    const std::string spam = TempStore::FileBase() + "/alice/Inbox/Spam%20Box";
    const std::string spamHttp = TempStore::HttpBase() + "/alice/Inbox/Spam%20Box";
    const std::string dest = TempStore::HttpBase() + "/junk/Inbox";
    const Date received = Date::FromParts(2026, 3, 4, 5, 6, 7);
    const std::string text = "Subject: a\r\n\r\n\x01\xff binary\r\n";
    const std::string a = localplatform::SaveNewMessage(spam, text, received);
    const std::string b = localplatform::SaveNewMessage(spam, "Subject: b\r\n\r\nb", received);
    const std::string aName = a.substr(a.rfind('/') + 1);

    // Either scheme in, the destination's scheme out, as MoveRecord.
    const std::string movedA = MoveRecordForRun(a, dest, 17);
    const std::string bHttp = spamHttp + b.substr(b.rfind('/'));
    (void)MoveRecordForRun(bHttp, dest, 17);
    EXPECT_TRUE(movedA.starts_with(dest + "/")) << movedA;
    try {
        (void)MoveRecordForRun(a, dest, 17);
        ADD_FAILURE() << "moved twice";
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find(a), std::string::npos) << e.Description();
    }

    auto moved = MovedMessagesOfRun(17);
    ASSERT_EQ(moved.size(), 2U);
    const MovedMessage& m = moved[0];
    EXPECT_EQ(std::vector<std::string>(
                  {m.sourceFolderUrl, m.sourceName, m.sourceUrl, m.mailboxAlias, m.destinationUrl}),
              std::vector<std::string>(
                  {TempStore::FileBase() + "/alice/Inbox/Spam Box", aName,
                   TempStore::FileBase() + "/alice/Inbox/Spam Box/" + aName, "alice",
                   TempStore::FileBase() + "/junk/Inbox" + movedA.substr(movedA.rfind('/'))}));
    EXPECT_EQ(m.size, static_cast<int64_t>(text.size()));
    EXPECT_EQ(m.received, received);
    EXPECT_EQ(m.state, MovedMessage::State::kInDestination);
    EXPECT_TRUE(MovedMessagesOfRun(18).empty());

    // a goes back under its old name.
    // (What a move and its putting back keep of a message is the item
    // store's test; undo's own test walks every outcome through
    // quellix-setup.)
    const auto back = PutBackMovedMessage(moved[0]);
    EXPECT_EQ(back.outcome, PutBackResult::Outcome::kPutBack);
    EXPECT_EQ(back.url, a);

    MovedMessage unknown = moved[0];
    unknown.entry = 999;
    try {
        (void)PutBackMovedMessage(unknown);
        ADD_FAILURE() << "an unknown entry was put back";
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find(unknown.destinationUrl), std::string::npos)
            << e.Description();
    }
}

// A run moves a query's rows by the row: the manifest has what a move by URL
// records (the folder's path as stored, whatever case the query's URL used),
// a row moved already fails naming it, and one whose message is gone is
// told apart: nothing moved, nothing recorded.
TEST(MoveManifestPlatformTest, AQueryRowIsMovedAsItsUrlWouldBe) {
    TempStore temp;
    MakeMailboxes();
    const std::string spam = TempStore::FileBase() + "/alice/Inbox/Spam%20Box";
    const std::string a = localplatform::SaveNewMessage(spam, "Subject: a\r\n\r\na", Date());
    const std::string b = localplatform::SaveNewMessage(spam, "Subject: b\r\n\r\nb", Date());
    const std::string dest = TempStore::HttpBase() + "/junk/Inbox";

    const std::string query = TempStore::FileBase() + "/ALICE/inbox/spam%20box";
    Connection cnn;
    cnn.SetProvider("ExOLEDB.DataSource");
    cnn.Open(query, "", "", -1);
    Recordset rs;
    rs.Open("SELECT \"DAV:href\" FROM SCOPE('shallow traversal of \"" + query + "\"')", cnn);
    ASSERT_EQ(rs.RecordCount(), 2);
    ASSERT_TRUE(MoveCurrentForRun(rs, dest, 21));
    const auto again = [&] {
        try {
            return std::string(MoveCurrentForRun(rs, dest, 21) ? "moved" : "no longer there");
        } catch (const Error& e) {
            return e.Description();
        }
    };
    EXPECT_NE(again().find("already moved"), std::string::npos) << again();
    rs.MoveNext();
    const std::string second = rs.Fields("DAV:href").Value().ToString();
    Record gone;
    gone.Open(second, nullptr, adModeReadWrite);
    gone.DeleteRecord();
    EXPECT_EQ(again(), "no longer there");
    rs.Close();

    const auto moved = MovedMessagesOfRun(21);
    ASSERT_EQ(moved.size(), 1U);
    EXPECT_EQ(moved[0].sourceFolderUrl, TempStore::FileBase() + "/alice/Inbox/Spam Box");
    const std::string name = "/" + moved[0].sourceName;
    EXPECT_TRUE(a.ends_with(name) || b.ends_with(name)) << name;
    EXPECT_FALSE(second.ends_with(name)) << second;
    EXPECT_EQ(PutBackMovedMessage(moved[0]).outcome, PutBackResult::Outcome::kPutBack);
}

TEST(MoveManifestPlatformTest, PruningKeepsTheConfiguredDays) {
    struct Case {
        std::string setting;
        int64_t pruned;  // -1: refused
    };
    for (const Case& c : {Case{"", 1}, Case{"store.move_manifest_keep_days = 0\n", 0},
                          Case{"store.move_manifest_keep_days = 120\n", 0},
                          Case{"store.move_manifest_keep_days = soon\n", -1}}) {
        TempStore temp(300, c.setting);
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", "alice", false);
        const auto inbox = store->Lookup({"example.test", "MBX", "alice", "Inbox"});
        const int64_t spam = store->CreateFolder(inbox->id, "Spam");
        const int64_t id = store->SaveMessage(spam, "m", 0);
        store->MoveItem(id, spam, inbox->id, 3);
        store->FlushBatch();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(temp.DbPath().c_str(), &db), SQLITE_OK);
        // Moved 100 days ago.
        ASSERT_EQ(sqlite3_exec(db, "UPDATE moves SET moved_at = moved_at - 100 * 86400", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        if (c.pruned < 0) {
            try {
                (void)PruneMoveManifest();
                ADD_FAILURE() << "a bad setting was taken";
            } catch (const Error& e) {
                EXPECT_NE(e.Description().find("store.move_manifest_keep_days"), std::string::npos)
                    << e.Description();
            }
            continue;
        }
        EXPECT_EQ(PruneMoveManifest(), c.pruned) << c.setting;
        EXPECT_EQ(MovedMessagesOfRun(3).size(), static_cast<size_t>(1 - c.pruned)) << c.setting;
    }
}

}  // namespace
}  // namespace platform
