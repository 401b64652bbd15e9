// The move manifest of the item store: written with the move or not at all,
// read back per run, and moves put back only where that is still right.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_test_support.h"

namespace localplatform {
namespace {

using testing::ErrorOf;
using testing::TempStore;

// A mailbox "alice" with a Spam folder, and the destination mailbox "dest".
struct Mailboxes {
    std::shared_ptr<ItemStore> store = ItemStore::ForThisThread();
    int64_t spam = 0, aliceInbox = 0, destInbox = 0;

    Mailboxes() {
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", "alice", false);
        store->CreateMailbox("example.test", "dest", false);
        aliceInbox = store->Lookup({"example.test", "MBX", "alice", "Inbox"})->id;
        spam = store->CreateFolder(aliceInbox, "Spam");
        destInbox = store->Lookup({"example.test", "MBX", "dest", "Inbox"})->id;
    }
    int64_t FolderOf(int64_t item) { return store->Get(item)->parent; }
};

// Makes a new store one of version 7: a trigger for each table an item
// leaves rows in.
constexpr const char* kAsVersion7 =
    "DROP TRIGGER items_drop;"
    " CREATE TRIGGER items_drop_props AFTER DELETE ON items BEGIN"
    " DELETE FROM props WHERE item = old.id; END;"
    " CREATE TRIGGER items_drop_content AFTER DELETE ON items WHEN old.content_size IS NOT NULL"
    " BEGIN DELETE FROM contents WHERE item = old.id; END;";

// Makes a new store one of version 6: every message's bytes in its row.
std::string AsVersion6() {
    return std::string(kAsVersion7) +
           "UPDATE items SET content = (SELECT data FROM contents WHERE item = items.id)"
           " WHERE content_size IS NOT NULL; DROP TRIGGER items_drop_content; DROP TABLE contents;"
           " ALTER TABLE items DROP COLUMN content_size;";
}

// What the sqlite3 program (another process) prints for sql on the file at path.

std::string Sql(const std::string& path, const std::string& sql) {
    const auto outcome = platform::testing::RunProgram({"/usr/bin/sqlite3", path, sql});
    EXPECT_EQ(outcome.code, 0) << sql << ": " << outcome.err;
    return outcome.out;
}

// Makes a store at path with alice's mailbox, on a thread of its own (so
// that this thread's handle opens it afresh, as a later process would), and
// hands it with her Inbox's id to fill.
void MakeStore(const std::string& path,
               const std::function<void(ItemStore&, int64_t inbox)>& fill = {}) {
    std::thread([&] {
        ASSERT_TRUE(ItemStore::Create(path));
        auto store = ItemStore::ForThisThread(path);
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", "alice", false);
        const auto inbox = store->Lookup({"example.test", "MBX", "alice", "Inbox"});
        ASSERT_TRUE(inbox);
        if (fill) fill(*store, inbox->id);
    }).join();
}

TEST(MoveManifestTest, ARecordedMoveIsPutBackWholeUnderItsOldName) {
    TempStore temp;
    Mailboxes m;
    const int64_t a = m.store->SaveMessage(m.spam, "Subject: a\r\n\r\nbody a", 1000, "a.eml");
    const int64_t b = m.store->SaveMessage(m.spam, "Subject: b\r\n\r\nbody b", 2000, "b.eml");
    m.store->WriteProperties(a, {{"urn:x:flag", platform::Variant("kept")}});
    const int64_t unrecorded = m.store->SaveMessage(m.spam, "c", 3000, "c.eml");
    m.store->MoveItem(a, m.spam, m.destInbox, 42);
    m.store->MoveItem(b, m.spam, m.destInbox, 42);
    m.store->MoveItem(unrecorded, m.spam, m.destInbox);  // no run: no entry
    m.store->FlushBatch();

    const auto moves = m.store->MovesOfRun(42);
    ASSERT_EQ(moves.size(), 2U);
    EXPECT_EQ(moves[0].item, a);
    EXPECT_EQ(moves[0].sourcePath,
              (std::vector<std::string>{"example.test", "MBX", "alice", "Inbox", "Spam"}));
    EXPECT_EQ(moves[0].sourceName, "a.eml");
    EXPECT_EQ(moves[0].size, 20);
    EXPECT_EQ(moves[0].currentFolder, m.destInbox);
    EXPECT_EQ(moves[0].received, 1000);
    EXPECT_EQ(moves[0].destinationName, m.store->Get(a)->name);
    EXPECT_NE(moves[0].destinationName, "a.eml");  // a name of the store's choosing
    EXPECT_TRUE(m.store->MovesOfRun(43).empty());
    // Read a part at a time.
    const auto second = m.store->MovesOfRun(42, moves[0].entry, 1);
    ASSERT_EQ(second.size(), 1U);
    EXPECT_EQ(second[0].item, b);
    EXPECT_EQ(m.store->MovesOfRun(42, 0, 1).size(), 1U);
    EXPECT_TRUE(m.store->MovesOfRun(42, moves[1].entry, 1).empty());

    // A message of that name arrived meanwhile: b gets a new one.
    const int64_t newcomer = m.store->SaveMessage(m.spam, "new", 4000, "B.EML");
    const auto ra = m.store->RestoreMove(moves[0].entry);
    const auto rb = m.store->RestoreMove(moves[1].entry);
    EXPECT_EQ(ra.outcome, RestoreOutcome::kRestored);
    EXPECT_EQ(ra.name, "a.eml");
    EXPECT_EQ(rb.outcome, RestoreOutcome::kRestored);
    EXPECT_NE(rb.name, "b.eml");
    EXPECT_EQ(m.store->Get(b)->name, rb.name);
    EXPECT_EQ(m.FolderOf(newcomer), m.spam);

    const auto row = *m.store->Get(a);
    EXPECT_EQ(row.parent, m.spam);
    EXPECT_EQ(row.received, 1000);
    EXPECT_EQ(m.store->Content(a), "Subject: a\r\n\r\nbody a");
    EXPECT_EQ(m.store->CustomValue(a, "urn:x:flag").ToString(), "kept");
    EXPECT_EQ(m.FolderOf(unrecorded), m.destInbox);

    // Twice is harmless.
    EXPECT_EQ(m.store->RestoreMove(moves[0].entry).outcome, RestoreOutcome::kAlreadyRestored);
    EXPECT_EQ(m.FolderOf(a), m.spam);
    EXPECT_TRUE(m.store->MovesOfRun(42)[0].restoredAt);
    EXPECT_THROW(m.store->RestoreMove(9999), platform::Error);
}

TEST(MoveManifestTest, WhatChangedSinceTheMoveIsLeftAlone) {
    TempStore temp;
    Mailboxes m;
    int64_t ids[5];
    for (int i = 0; i < 5; ++i) ids[i] = m.store->SaveMessage(m.spam, "m" + std::to_string(i), i);
    for (int64_t id : ids) m.store->MoveItem(id, m.spam, m.destInbox, 1);
    m.store->FlushBatch();
    const int64_t other = m.store->CreateFolder(m.destInbox, "Kept");
    m.store->DeleteItem(ids[0]);                             // the user deleted it
    m.store->MoveItem(ids[1], m.destInbox, other);           // the user filed it
    m.store->MoveItem(ids[2], m.destInbox, m.destInbox, 2);  // a later run moved it again
    m.store->FlushBatch();
    const int64_t folder = m.store->CreateFolder(m.aliceInbox, "Junk");
    m.store->MoveItem(ids[3], m.destInbox, folder);  // back into a folder later deleted...
    m.store->MoveItem(ids[3], folder, m.destInbox, 3);
    m.store->FlushBatch();

    struct Case {
        int index;
        RestoreOutcome outcome;
        int64_t folderAfter;
    };
    const auto moves = m.store->MovesOfRun(1);
    ASSERT_EQ(moves.size(), 5U);
    EXPECT_FALSE(moves[0].currentFolder);
    EXPECT_EQ(moves[2].laterRun, 2);
    for (const Case& c : {Case{0, RestoreOutcome::kNotInDestination, 0},
                          Case{1, RestoreOutcome::kNotInDestination, other},
                          Case{2, RestoreOutcome::kMovedLater, m.destInbox},
                          Case{3, RestoreOutcome::kMovedLater, m.destInbox},
                          Case{4, RestoreOutcome::kRestored, m.spam}}) {
        EXPECT_EQ(m.store->RestoreMove(moves[c.index].entry).outcome, c.outcome) << c.index;
        if (c.folderAfter != 0) {
            EXPECT_EQ(m.FolderOf(ids[c.index]), c.folderAfter) << c.index;
        }
    }
    // The later run's own entries: one put back, one whose folder is gone.
    m.store->DeleteItem(folder);
    const auto later = m.store->MovesOfRun(3);
    ASSERT_EQ(later.size(), 1U);
    EXPECT_EQ(m.store->RestoreMove(later[0].entry).outcome, RestoreOutcome::kSourceFolderGone);
    EXPECT_EQ(m.FolderOf(ids[3]), m.destInbox);
    EXPECT_EQ(m.store->RestoreMove(m.store->MovesOfRun(2)[0].entry).outcome,
              RestoreOutcome::kRestored);
    // With the later move put back, the first run's entry is the latest again.
    EXPECT_EQ(m.store->RestoreMove(moves[2].entry).outcome, RestoreOutcome::kRestored);
    EXPECT_EQ(m.FolderOf(ids[2]), m.spam);
}

TEST(MoveManifestTest, TheEntryIsWrittenWithTheMoveOrNotAtAll) {
    TempStore temp;
    Mailboxes m;
    const int64_t a = m.store->SaveMessage(m.spam, "a", 1);

    // A move rolled back takes its entry with it.
    m.store->BeginTransaction();
    m.store->MoveItem(a, m.spam, m.destInbox, 5);
    EXPECT_EQ(m.store->MovesOfRun(5).size(), 1U);
    m.store->RollbackTransaction();
    EXPECT_EQ(m.FolderOf(a), m.spam);
    EXPECT_TRUE(m.store->MovesOfRun(5).empty());

    // An entry that cannot be written undoes the move, and what the batch
    // held before it is kept.
    const int64_t b = m.store->SaveMessage(m.spam, "b", 2);
    Sql(temp.DbPath(),
        "CREATE TRIGGER refuse BEFORE INSERT ON moves WHEN new.item = " + std::to_string(a) +
            " BEGIN SELECT RAISE(ABORT, 'manifest refused'); END");
    m.store->MoveItem(b, m.spam, m.destInbox, 5);
    try {
        m.store->MoveItem(a, m.spam, m.destInbox, 5);
        ADD_FAILURE() << "the move went on without its entry";
    } catch (const platform::Error& e) {
        EXPECT_NE(e.Description().find("manifest refused"), std::string::npos) << e.what();
    }
    m.store->FlushBatch();
    EXPECT_EQ(m.FolderOf(a), m.spam);
    EXPECT_EQ(m.FolderOf(b), m.destInbox);
    ASSERT_EQ(m.store->MovesOfRun(5).size(), 1U);
    EXPECT_EQ(m.store->MovesOfRun(5)[0].item, b);

    // A move refused once its entry is written takes the entry back.
    const std::string c = std::to_string(m.store->SaveMessage(m.spam, "c", 3));
    Sql(temp.DbPath(), "CREATE TRIGGER stay BEFORE UPDATE OF parent ON items WHEN old.id = " + c +
                           " BEGIN SELECT RAISE(ABORT, 'move refused'); END");
    EXPECT_THROW(m.store->MoveItem(std::stoll(c), m.spam, m.destInbox, 5), platform::Error);
    m.store->FlushBatch();
    EXPECT_EQ(m.FolderOf(std::stoll(c)), m.spam);
    EXPECT_EQ(m.store->MovesOfRun(5).size(), 1U);

    // A message gone from its folder is neither moved nor recorded.
    m.store->DeleteItem(a);
    EXPECT_THROW(m.store->MoveItem(a, m.spam, m.destInbox, 6), platform::Error);
    m.store->FlushBatch();
    EXPECT_TRUE(m.store->MovesOfRun(6).empty());
    // Nor into a folder another process has just deleted: it would lie in
    // no folder at all.
    const int64_t e = m.store->SaveMessage(m.spam, "e", 5);
    const int64_t gone = m.store->CreateFolder(m.destInbox, "Gone");
    m.store->FlushBatch();
    Sql(temp.DbPath(), "DELETE FROM items WHERE id = " + std::to_string(gone));
    try {
        m.store->MoveItem(e, m.spam, gone, 6);
        ADD_FAILURE() << "moved into a folder that is gone";
    } catch (const platform::Error& err) {
        EXPECT_NE(err.Description().find("no such folder"), std::string::npos) << err.what();
    }
    m.store->FlushBatch();
    EXPECT_EQ(m.FolderOf(e), m.spam);
    EXPECT_TRUE(m.store->MovesOfRun(6).empty());

    // An entry that cannot be taken back takes its whole batch with it, and
    // the batch's commit says so: no entry outlives a move never made.
    const int64_t d = m.store->SaveMessage(m.spam, "d", 4);
    m.store->FlushBatch();
    Sql(temp.DbPath(),
        "CREATE TRIGGER keep BEFORE DELETE ON moves BEGIN SELECT RAISE(ABORT, 'kept'); END");
    m.store->MoveItem(d, m.spam, m.destInbox, 7);
    EXPECT_THROW(m.store->MoveItem(std::stoll(c), m.spam, m.destInbox, 7), platform::Error);
    // The next write reports the lost batch instead of committing alone.
    EXPECT_THROW(m.store->MoveItem(d, m.spam, m.destInbox, 7), platform::Error);
    EXPECT_EQ(m.FolderOf(d), m.spam);
    EXPECT_TRUE(m.store->MovesOfRun(7).empty());
    // After it, writes go into a new batch.
    m.store->MoveItem(d, m.spam, m.destInbox, 8);
    m.store->FlushBatch();
    EXPECT_EQ(m.FolderOf(d), m.destInbox);
    EXPECT_EQ(m.store->MovesOfRun(8).size(), 1U);
}

TEST(MoveManifestTest, OldEntriesAreForgottenOldestFirst) {
    TempStore temp;
    Mailboxes m;
    for (int i = 0; i < 3; ++i) {
        const int64_t id = m.store->SaveMessage(m.spam, "m", i);
        m.store->MoveItem(id, m.spam, m.destInbox, 10 + i);
    }
    m.store->FlushBatch();
    // Runs 10 and 11 moved 30 and 20 days ago, run 12 now.
    Sql(temp.DbPath(),
        "UPDATE moves SET moved_at = moved_at - 30 * 86400 WHERE run = 10;"
        "UPDATE moves SET moved_at = moved_at - 20 * 86400 WHERE run = 11;");
    const int64_t tenDaysAgo = std::time(nullptr) - 10 * 86400;
    EXPECT_EQ(m.store->PruneMoves(tenDaysAgo, 1), 1);
    EXPECT_TRUE(m.store->MovesOfRun(10).empty());
    EXPECT_EQ(m.store->MovesOfRun(11).size(), 1U);
    EXPECT_EQ(m.store->PruneMoves(tenDaysAgo, 100), 1);
    EXPECT_EQ(m.store->PruneMoves(tenDaysAgo, 100), 0);
    EXPECT_EQ(m.store->MovesOfRun(12).size(), 1U);
}

// A run's identity is its key in the manifest: the store hands it out, once,
// above every run it gave one and every run its manifest names, whatever a
// history (removed, replaced) says.
TEST(MoveManifestTest, TheStoreHandsOutEachRunIdentityOnce) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    EXPECT_EQ(store->BeginRun("item-a", 100, true, 0), 1);
    EXPECT_EQ(store->BeginRun("item-a", 200, false, 0), 2);
    // A history that knows runs up to 40: the next is above them.
    EXPECT_EQ(store->BeginRun("item-b", 300, true, 40), 41);
    // A history removed since: no number comes twice.
    EXPECT_EQ(store->BeginRun("item-a", 400, true, 0), 42);
    const auto run = store->Run(41);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->itemUrl, "item-b");
    EXPECT_EQ(run->started, 300);
    EXPECT_TRUE(run->moves);
    EXPECT_FALSE(store->Run(2)->moves);
    EXPECT_FALSE(store->Run(3));

    // Many runs at once, each on a handle of its own: all different.
    std::vector<int64_t> ids(8);
    std::vector<std::thread> threads;
    for (auto& id : ids) {
        threads.emplace_back([&id] {
            for (int i = 0; i < 20; ++i) id = ItemStore::ForThisThread()->BeginRun("x", 1, true, 0);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(store->BeginRun("x", 1, true, 0), 42 + 8 * 20 + 1);
}

// A folder's messages lie together in the table however they arrive mixed
// with another folder's, and no id is handed out twice, not even after
// everything that had it is gone: the manifest names messages by id.
TEST(ItemIdsTest, AFoldersMessagesLieTogetherAndNoIdComesBack) {
    TempStore temp;
    Mailboxes m;
    std::vector<int64_t> spamIds, given;
    for (int i = 0; i < 100; ++i) {  // more than one extent's worth
        spamIds.push_back(m.store->SaveMessage(m.spam, "s", i));
        given.push_back(spamIds.back());
        given.push_back(m.store->SaveMessage(m.destInbox, "d", i));
        if (i == 70) given.push_back(m.store->CreateFolder(m.aliceInbox, "Made between"));
    }
    int breaks = 0;
    for (size_t i = 1; i < spamIds.size(); ++i) {
        ASSERT_GT(spamIds[i], spamIds[i - 1]);  // still in arrival order
        if (spamIds[i] != spamIds[i - 1] + 1) ++breaks;
    }
    EXPECT_EQ(breaks, 1);  // where the folder's first extent was used up

    // The folder goes with its messages and its extent; everything is
    // made again.
    EXPECT_TRUE(m.store->DeleteItem(m.spam));
    for (int64_t id : given) (void)m.store->DeleteItem(id);
    EXPECT_EQ(
        Sql(temp.DbPath(), "SELECT count(*) FROM extents WHERE folder = " + std::to_string(m.spam)),
        "0\n");
    const int64_t again = m.store->CreateFolder(m.aliceInbox, "Spam");
    for (int i = 0; i < 70; ++i) {
        for (int64_t id :
             {m.store->SaveMessage(again, "s", i), m.store->SaveMessage(m.destInbox, "d", i)}) {
            EXPECT_EQ(std::count(given.begin(), given.end(), id), 0) << id;
        }
    }
}

// A store of an older version is upgraded when it is opened for writing: its
// messages keep their ids and content, its entries read and put back as
// before, and from then on messages lie together and moves are recorded.
TEST(MoveManifestTest, OlderStoresAreUpgradedWhenOpened) {
    // What each version lacks: the columns and tables that came after it.
    const std::string v5 = AsVersion6() + "DROP TABLE extents;";
    const std::string v4 = v5 +
                           "DROP INDEX moves_under_way; ALTER TABLE moves DROP COLUMN planned_key;"
                           "ALTER TABLE moves DROP COLUMN under_way;"
                           "ALTER TABLE moves DROP COLUMN restore_key;";
    const std::string v2 = v4 +
                           "DROP TABLE runs; ALTER TABLE moves DROP COLUMN source_key;"
                           "ALTER TABLE moves DROP COLUMN destination_path;"
                           "ALTER TABLE moves DROP COLUMN destination_key;"
                           "ALTER TABLE moves DROP COLUMN received;"
                           "ALTER TABLE moves DROP COLUMN flags;";
    const struct {
        int version;
        std::string sql;  // makes a store of that version of a new one
        std::function<void(ItemStore&)> check;
    } cases[] = {
        {1, v2 + "DROP TABLE moves;", [](ItemStore&) {}},
        {2,
         v2 + "INSERT INTO moves(run, item, source_folder, source_path, source_name,"
              " destination_folder, destination_name, size, moved_at)"
              " VALUES(17, 1, 1, '', '', 1, '', 0, 0)",
         [](ItemStore& store) {
             // Runs are numbered after the ones the manifest names.
             EXPECT_EQ(store.BeginRun("item", 1, true, 3), 18);
             EXPECT_EQ(store.MovesOfRun(17).size(), 1U);
         }},
        {4,
         v4 + "INSERT INTO moves(run, item, source_folder, source_path, source_name,"
              " destination_folder, destination_name, size, moved_at, source_key,"
              " destination_path, destination_key, received, flags) VALUES(7, 0, 0,"
              " 'mapped.test/MBX/bob/Junk', 'k1', 0, 'k2', 3, 1, 'k1', 'mapped.test/MBX/arch',"
              " 'k2', 1, 'S')",
         [](ItemStore& store) {
             const auto entries = store.MovesOfRun(7);
             ASSERT_EQ(entries.size(), 2U);
             EXPECT_EQ(entries[1].sourceName, "k1");
             EXPECT_FALSE(entries[1].currentFolder);  // no mail store maps the namespace here
             EXPECT_EQ(store.RestoreMove(entries[0].entry).outcome, RestoreOutcome::kRestored);
             EXPECT_EQ(store.RestoreMove(entries[1].entry).outcome,
                       RestoreOutcome::kSourceFolderGone);
         }},
        {5, v5, [](ItemStore&) {}},
        {6, AsVersion6(), [](ItemStore&) {}},
        {7, kAsVersion7, [](ItemStore&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        TempStore temp;
        const std::string old = temp.Dir() + "/old.db";
        std::vector<int64_t> before;
        MakeStore(old, [&](ItemStore& store, int64_t inbox) {
            for (int i = 0; i < 3; ++i) before.push_back(store.SaveMessage(inbox, "old", i));
            const int64_t spam = store.CreateFolder(inbox, "Spam");
            store.MoveItem(store.SaveMessage(spam, "a", 1), spam, inbox, 7);
        });
        Sql(old, c.sql + ";PRAGMA user_version = " + std::to_string(c.version));
        auto store = ItemStore::ForThisThread(old);
        EXPECT_EQ(Sql(old, "PRAGMA user_version"), "8\n");
        for (int64_t id : before) EXPECT_EQ(store->Content(id), "old");
        c.check(*store);
        const int64_t inbox = store->Lookup({"example.test", "MBX", "alice", "Inbox"})->id;
        const int64_t junk = store->CreateFolder(inbox, "Junk");
        std::vector<int64_t> after;
        for (int i = 0; i < 5; ++i) {
            after.push_back(store->SaveMessage(junk, "new", i));
            (void)store->SaveMessage(inbox, "new", i);
        }
        EXPECT_GT(after.front(), before.back());
        EXPECT_EQ(after.back() - after.front(), 4);
        store->MoveItem(after[0], junk, inbox, 99);
        // Old messages keep their bytes in their rows, new ones have them
        // apart; either kind moves and goes whole.
        store->MoveItem(before[0], inbox, junk, 99);
        // An item's properties go with it, as its bytes do.
        store->WriteProperties(after[1], {{"urn:example:tag", platform::Variant("x")}});
        store->WriteProperties(after[2], {{"urn:example:tag", platform::Variant("y")}});
        EXPECT_TRUE(store->DeleteItem(before[1]));
        EXPECT_TRUE(store->DeleteItem(after[1]));
        store->FlushBatch();
        EXPECT_EQ(store->MovesOfRun(99).size(), 2U);
        EXPECT_EQ(store->Content(before[0]), "old");
        EXPECT_EQ(store->Content(after[0]), "new");
        // The new messages' bytes, less one deleted; from version 7 on, the
        // four old messages' too, less one deleted.
        EXPECT_EQ(Sql(old, "SELECT count(*) FROM contents"), c.version >= 7 ? "12\n" : "9\n");
        EXPECT_EQ(Sql(old, "SELECT item FROM props WHERE key = 'urn:example:tag'"),
                  std::to_string(after[2]) + "\n");
    }
}

// A read-only handle reads an older store as it stands: not upgraded, not
// one byte of the file changed, and a write refused. A later store is refused.
TEST(MoveManifestTest, AReadOnlyHandleChangesNoByteOfAnOlderStoreAndALaterOneIsRefused) {
    TempStore temp;
    const std::string old = temp.Dir() + "/old.db";
    MakeStore(old);
    Sql(old, AsVersion6() +
                 "DROP TABLE moves; DROP TABLE runs; DROP TABLE extents; PRAGMA user_version = 1;");
    const auto bytes = [&] {
        std::ifstream in(old, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    };
    const std::string before = bytes();
    std::thread([&] {
        const ItemStore::ReadOnly readOnly;
        auto store = ItemStore::ForThisThread(old);
        EXPECT_TRUE(store->Lookup({"example.test", "MBX", "alice", "Inbox"}));
        EXPECT_TRUE(store->MovesOfRun(1).empty());
        EXPECT_FALSE(store->Run(1));
        EXPECT_EQ(ErrorOf([&] { store->CreateNamespace("other.test"); }),
                  platform::err::kPathFileAccess);
    }).join();
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(Sql(old, "PRAGMA user_version"), "1\n");

    // A store of a later version is refused, not taken apart.
    Sql(old, "PRAGMA user_version = 9;");
    std::string refused;
    std::thread([&] {
        try {
            (void)ItemStore::ForThisThread(old);
        } catch (const platform::Error& e) {
            refused = e.Description();
        }
    }).join();
    EXPECT_NE(refused.find("unknown store version 9"), std::string::npos) << refused;
}

}  // namespace
}  // namespace localplatform
