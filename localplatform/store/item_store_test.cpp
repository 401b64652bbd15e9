// The item store's tree, properties, transactions and handles.
#include "localplatform/store/item_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <regex>
#include <thread>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "base/testing/small_file_system.h"
#include "base/testing/temp_platform.h"
#include "localplatform/store/store_messages.h"
#include "localplatform/store/store_test_support.h"

namespace localplatform {
namespace {

using platform::Variant;
using testing::ErrorOf;
using testing::TempStore;
using namespace std::chrono_literals;

TEST(ItemStoreTest, NamespacesAndMailboxesMakeTheirTreeOfCheckedNames) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    EXPECT_TRUE(ListNamespaces().empty());
    store->CreateNamespace("mail.example.test");
    store->CreateNamespace("example.test");
    EXPECT_EQ(ListNamespaces(), (std::vector<std::string>{"mail.example.test", "example.test"}));
    EXPECT_EQ(ErrorOf([&] { store->CreateNamespace("EXAMPLE.test"); }),
              platform::err::kResourceExists);

    store->CreateMailbox("example.test", "Alice", false);
    store->CreateMailbox("example.test", "SystemMailbox{1}", true);
    EXPECT_EQ(ErrorOf([&] { store->CreateMailbox("example.test", "alice", false); }),
              platform::err::kResourceExists);
    EXPECT_EQ(ErrorOf([&] { store->CreateMailbox("nowhere.test", "bob", false); }),
              platform::err::kNotFound);
    for (const char* folder : {"Inbox", "Outbox", "Sent Items", "Deleted Items", "Drafts",
                               "Calendar", "Contacts", "Tasks", "Notes", "Journal"}) {
        auto row = store->Lookup({"example.test", "mbx", "ALICE", folder});
        ASSERT_TRUE(row) << folder;
        EXPECT_TRUE(row->IsFolder());
    }
    EXPECT_FALSE(store->Lookup({"example.test", "MBX", "alice", "StoreEvents"}));
    EXPECT_TRUE(
        store->Lookup({"example.test", "MBX", "systemmailbox{1}", "storeevents", "GLOBALEVENTS"}));
    const auto mbx = store->Lookup({"example.test", "MBX", "alice"});
    EXPECT_EQ(store->PathOf(mbx->id), (std::vector<std::string>{"example.test", "MBX", "Alice"}));
    EXPECT_EQ(store->Value(*mbx, "urn:schemas:httpmail:sentitems", UrlScheme::kHttp).ToString(),
              "http://mail01.example.test/exadmin/example.test/mbx/Alice/Sent%20Items");
    // Names are checked before anything is written.
    const auto mbxRoot = store->Lookup({"example.test", "MBX"});
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "a\\b",
                                                           std::string("a\0b", 3), "tab\there"}) {
        EXPECT_EQ(ErrorOf([&] { store->CreateFolder(mbxRoot->id, bad); }),
                  platform::err::kInvalidArg)
            << bad;
    }
    EXPECT_EQ(ErrorOf([&] { store->CreateNamespace("../x"); }), platform::err::kInvalidArg);
}

TEST(ItemStoreTest, APathIsFoundInAnyCaseAtAnyDepthWithItsNamesAsStored) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->CreateMailbox("example.test", "Alice", false);
    std::vector<std::string> asStored{"example.test", "MBX", "Alice", "Inbox"};
    int64_t parent = store->Lookup(asStored)->id;
    for (int i = 0; i < 24; ++i) {
        asStored.push_back("Level " + std::to_string(i));
        parent = store->CreateFolder(parent, asStored.back());
    }
    for (const size_t depth : {size_t{1}, size_t{4}, size_t{16}, size_t{17}, size_t{28}}) {
        SCOPED_TRACE(depth);
        std::vector<std::string> asked(asStored.begin(), asStored.begin() + depth);
        for (auto& name : asked)
            for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::vector<std::string> path{"stale"};
        const auto row = store->Lookup(asked, &path);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->name, asStored[depth - 1]);
        // Told as stored, or not at all (left to PathOf).
        const std::vector<std::string> expected(asStored.begin(), asStored.begin() + depth);
        if (!path.empty() || depth <= 16) {
            EXPECT_EQ(path, expected);
        }
        // One name wrong anywhere on the way finds nothing.
        asked[depth / 2] += "x";
        EXPECT_FALSE(store->Lookup(asked, &path));
    }
}

TEST(ItemStoreTest, AMailStoreMessageListedManyMailboxesAgoIsFoundAgainByItsUrl) {
    // A run over many mailboxes holds the messages of the last ones only;
    // an older message's id names nothing, its URL finds it again.
    platform::testing::TempPlatform mail{"quellix-maildirs-"};
    TempStore temp(300, "mailstore.example = maildir:" + mail.Dir() + "/%n/Maildir\n");
    constexpr int kMailboxes = 40;
    const auto name = [](int i) { return "1000000000.M1P1Q" + std::to_string(i) + ".host"; };
    for (int i = 0; i < kMailboxes; ++i) {
        const std::string dir = mail.Dir() + "/u" + std::to_string(i) + "/Maildir";
        for (const char* sub : {"cur", "new", "tmp"})
            std::filesystem::create_directories(dir + "/" + sub);
        std::ofstream(dir + "/cur/" + name(i) + ":2,S") << "Subject: x\n\nbody\n";
    }
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example");
    std::vector<int64_t> ids;
    for (int i = 0; i < kMailboxes; ++i) {
        const auto mailbox = store->Lookup({"example", "MBX", "u" + std::to_string(i)});
        ASSERT_TRUE(mailbox);
        const auto rows = store->ItemsIn(mailbox->id);
        ASSERT_EQ(rows.size(), 1U);
        EXPECT_EQ(rows[0].name, name(i));
        ids.push_back(rows[0].id);
    }
    EXPECT_FALSE(store->Get(ids[0]));
    const auto again = store->Lookup({"example", "MBX", "u0", name(0)});
    ASSERT_TRUE(again);
    EXPECT_NE(again->id, ids[0]);
    EXPECT_TRUE(store->DeleteItem(again->id));
    EXPECT_TRUE(store->DeleteItem(ids[kMailboxes - 1]));
    store->FlushBatch();
    EXPECT_TRUE(std::filesystem::is_empty(mail.Dir() + "/u0/Maildir/cur"));
    EXPECT_TRUE(std::filesystem::is_empty(mail.Dir() + "/u39/Maildir/cur"));
    EXPECT_FALSE(std::filesystem::is_empty(mail.Dir() + "/u20/Maildir/cur"));
}

TEST(ItemStoreTest, PropertiesKeepTheirTypes) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->CreateMailbox("example.test", "alice", false);
    const auto inbox = store->Lookup({"example.test", "MBX", "alice", "Inbox"});
    const int64_t id = store->ReplaceItem(inbox->id, "Item.reg");
    const platform::Date when = platform::Date::FromParts(2026, 5, 6, 7, 8, 9);
    const std::vector<std::pair<std::string, Variant>> written = {
        {"S", Variant("text")}, {"I16", Variant(int16_t{-5})}, {"I32", Variant(int32_t{70000})},
        {"B", Variant(true)},   {"D", Variant(when)},          {"R", Variant(2.5)}};
    store->WriteProperties(id, written);
    store->WriteProperties(id, {{"DAV:ishidden", Variant(true)},
                                {"urn:schemas:httpmail:datereceived", Variant(when)}});
    for (auto [name, value] : written) {
        name[0] = static_cast<char>(std::tolower(name[0]));  // names ignore case
        EXPECT_EQ(store->CustomValue(id, name), value) << name;
    }
    EXPECT_TRUE(store->CustomValue(id, "missing").IsNull());
    auto row = store->Get(id);
    EXPECT_TRUE(row->hidden);
    EXPECT_EQ(store->Value(*row, "urn:schemas:httpmail:datereceived", UrlScheme::kFile),
              Variant(when));
    EXPECT_TRUE(store->Value(*row, "DAV:contentclass", UrlScheme::kFile).IsNull());
    store->WriteProperties(id, {{"S", Variant()}});  // Null removes
    EXPECT_TRUE(store->CustomValue(id, "S").IsNull());
    EXPECT_EQ(ErrorOf([&] {
                  store->WriteProperties(id, {{"DAV:displayname", Variant("x")}});
              }),
              platform::err::kPermissionDeniedDb);
    // The failed write changed nothing.
    EXPECT_EQ(store->CustomValue(id, "I16"), Variant(int16_t{-5}));
}

TEST(ItemStoreTest, SavedMessagesGetUniqueNamesAndTheirUrlScheme) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->CreateMailbox("example.test", "alice", false);
    const platform::Date when = platform::Date::FromParts(2026, 1, 2, 3, 4, 5);
    const std::string a = SaveNewMessage(TempStore::HttpBase() + "/alice/Inbox", "A", when);
    const std::string b = SaveNewMessage(TempStore::FileBase() + "/alice/inbox/", "B", when);
    EXPECT_EQ(a.rfind(TempStore::HttpBase() + "/alice/Inbox/", 0), 0u) << a;
    EXPECT_EQ(b.rfind(TempStore::FileBase() + "/alice/Inbox/", 0), 0u) << b;
    EXPECT_NE(a.substr(a.rfind('/')), b.substr(b.rfind('/')));
    EXPECT_EQ(a.size() - a.rfind('/') - 1, 36u);  // 32 hex digits + ".EML"
    // Names sort in the order they were given (a folder's name index grows
    // at its end), however fast they come.
    std::string last;
    for (int i = 0; i < 16; ++i) {
        const std::string url = SaveNewMessage(TempStore::HttpBase() + "/alice/Inbox", "M", when);
        const std::string name = url.substr(url.rfind('/') + 1);
        EXPECT_LT(last, name);
        last = name;
    }
    EXPECT_EQ(
        ErrorOf([&] { (void)SaveNewMessage(TempStore::FileBase() + "/alice/Nope", "C", when); }),
        platform::err::kNotFound);
    EXPECT_EQ(
        ErrorOf([&] { (void)SaveNewMessage(TempStore::FileBase() + "/alice/../x", "C", when); }),
        platform::err::kBadUrl);
}

TEST(ItemStoreTest, HandlesArePerThreadAndTheirTransactionsDoNotNest) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    EXPECT_EQ(ItemStore::ForThisThread(temp.DbPath()).get(), store.get());
    ItemStore* other = nullptr;
    std::thread([&] { other = ItemStore::ForThisThread().get(); }).join();
    EXPECT_NE(other, store.get());
    store->CreateNamespace("example.test");
    store->BeginTransaction();
    EXPECT_EQ(ErrorOf([&] { store->BeginTransaction(); }), platform::err::kAdoFeatureNotAvailable);
    store->CreateNamespace("rolled.back");
    store->RollbackTransaction();
    EXPECT_FALSE(store->Lookup({"rolled.back"}));
    EXPECT_EQ(ErrorOf([&] { store->CommitTransaction(); }), platform::err::kFail);
}

// The error of a call: number and description (0, "" when none).
std::pair<int32_t, std::string> FailureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::Error& e) {
        return {e.Number(), e.Description()};
    }
    return {0, ""};
}

// What the sqlite3 program (another process) prints for sql on the file at path.
std::string Sql(const std::string& path, const std::string& sql) {
    const auto outcome = platform::testing::RunProgram({"/usr/bin/sqlite3", path, sql});
    EXPECT_EQ(outcome.code, 0) << sql << ": " << outcome.err;
    return outcome.out;
}

// A path looked up again inside a transaction that writes comes from
// memory: each case finds a new folder twice, changes what the path names,
// and asks again, in the same transaction or the next.
TEST(ItemStoreTest, APathLookedUpAgainSeesWhatChangedMeanwhile) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->CreateMailbox("example.test", "Alice", false);
    const std::vector<std::string> mailbox{"example.test", "MBX", "Alice"};
    const std::vector<std::string> spam{"example.test", "MBX", "Alice", "Spam"};
    const int64_t alice = store->Lookup(mailbox)->id;
    const struct {
        const char* what;
        bool explicitTransaction;  // else a batch
        std::function<void(int64_t folder)> change;
    } cases[] = {
        {"deleted by this handle in the same batch", false,
         [&](int64_t folder) { EXPECT_TRUE(store->DeleteItem(folder)); }},
        {"renamed by another process between two batches", false,
         [&](int64_t folder) {
             store->FlushBatch();
             Sql(temp.DbPath(), "UPDATE items SET name = 'Old spam', key = 'old spam' WHERE id = " +
                                    std::to_string(folder));
             store->BatchWrite();
         }},
        {"made in a transaction rolled back", true,
         [&](int64_t) {
             store->RollbackTransaction();
             store->BeginTransaction();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.explicitTransaction) {
            store->BeginTransaction();
        } else {
            store->BatchWrite();
        }
        const int64_t folder = store->CreateFolder(alice, "Spam");
        std::vector<std::string> names;
        ASSERT_EQ(store->Lookup(spam)->id, folder);
        ASSERT_EQ(store->Lookup(spam, &names)->id, folder);
        EXPECT_EQ(names, spam);
        c.change(folder);
        EXPECT_FALSE(store->Lookup(spam));
        EXPECT_EQ(store->Lookup(mailbox)->id, alice);
        if (c.explicitTransaction) {
            store->RollbackTransaction();
        } else {
            store->FlushBatch();
        }
    }
}

// A store with a few pages of data, written out and closed (by a thread of
// its own, whose handles go when it ends).
void FillAndClose() {
    std::thread([] {
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", "alice", false);
        const auto inbox = store->Require({"example.test", "MBX", "alice", "Inbox"}, "inbox");
        store->BeginTransaction();
        for (int i = 0; i < 200; ++i) (void)store->SaveMessage(inbox.id, std::string(3000, 'x'), i);
        store->CommitTransaction();
    }).join();
}

TEST(ItemStoreTest, OpeningNeverMakesOrMendsAStore) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> damage;
        int32_t want;
        const char* cause;
    } cases[] = {
        {"missing", [](const std::string& p) { std::filesystem::remove(p); },
         platform::err::kFileNotFound, "no store at this path"},
        {"empty", [](const std::string& p) { std::filesystem::resize_file(p, 0); },
         platform::err::kCorrupt, "empty file"},
        {"truncated",
         [](const std::string& p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) / 2 / 4096 * 4096);
         },
         platform::err::kCorrupt, "truncated"},
        {"short", [](const std::string& p) { std::filesystem::resize_file(p, 50); },
         platform::err::kCorrupt, "truncated"},
        {"header",
         [](const std::string& p) {
             std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
             f.write("Not a store at all", 18);
         },
         platform::err::kCorrupt, "damaged header"},
        {"directory",
         [](const std::string& p) {
             std::filesystem::remove(p);
             std::filesystem::create_directory(p);
         },
         platform::err::kCorrupt, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempStore temp;
        FillAndClose();
        c.damage(temp.DbPath());
        std::error_code none;  // the size is -1 where no regular file is
        const auto sizeBefore = std::filesystem::file_size(temp.DbPath(), none);
        const auto [number, description] = FailureOf([] { (void)ItemStore::ForThisThread(); });
        EXPECT_EQ(number, c.want) << description;
        EXPECT_NE(description.find(c.cause), std::string::npos) << description;
        EXPECT_NE(description.find(temp.DbPath()), std::string::npos) << description;
        // Nothing was made or replaced in its place.
        EXPECT_EQ(std::filesystem::file_size(temp.DbPath(), none), sizeBefore);
    }
    // Only Create makes one, and it takes no empty file for a store either.
    TempStore temp;
    std::filesystem::resize_file(temp.DbPath(), 0);
    EXPECT_EQ(ErrorOf([&] { ItemStore::Create(temp.DbPath()); }), platform::err::kCorrupt);
    std::filesystem::remove(temp.DbPath());
    EXPECT_TRUE(ItemStore::Create(temp.DbPath()));
    EXPECT_FALSE(ItemStore::Create(temp.DbPath()));
    EXPECT_TRUE(ItemStore::ForThisThread()->Namespaces().empty());
}

// Runs and opens at the same time. A checkpoint copies the write-ahead log
// into the file page 1 first, so for a moment the header counts pages the
// file does not hold yet; SQLite reads them from the log, and no open may
// call such a store truncated.
TEST(ItemStoreTest, OpensDuringCheckpointsThatGrowTheFileNeverCallTheStoreTruncated) {
    TempStore temp(5000);
    FillAndClose();
    std::atomic<bool> done{false};
    std::string writerFailure;
    std::thread writer([&] {
        sqlite3* db = nullptr;
        const auto exec = [&](const char* sql) {
            if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK &&
                writerFailure.empty())
                writerFailure = std::string(sql) + ": " + sqlite3_errmsg(db);
        };
        if (sqlite3_open(temp.DbPath().c_str(), &db) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 5000);
            exec("CREATE TABLE filler(b BLOB)");
            // Each round grows the file by 128 pages at its checkpoint.
            for (int i = 0; i < 120; ++i) {
                exec("INSERT INTO filler VALUES(zeroblob(524288))");
                exec("PRAGMA wal_checkpoint(PASSIVE)");
            }
        }
        sqlite3_close(db);
        done = true;
    });
    std::vector<std::string> failures;
    int opens = 0;
    while (!done) {
        // A thread of its own: a new handle, opened as a run or a command opens it.
        std::thread([&] {
            try {
                EXPECT_EQ(ItemStore::ForThisThread(temp.DbPath())->Namespaces().size(), 1u);
            } catch (const platform::Error& e) {
                failures.push_back(e.Description());
            }
        }).join();
        ++opens;
    }
    writer.join();
    EXPECT_EQ(writerFailure, "");
    EXPECT_GT(opens, 10);
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << opens
                                  << " opens failed, the first: " << failures.front();
}

// What a full disk leaves: a run filled the file system while the last
// handle's checkpoint copied the write-ahead log into the store, so the
// header counts pages the file never got. Once there is room again the store
// opens whole, with every message, as SQLite reads the pages from the log.
// Returns what went wrong, "" when nothing did; "skip" when no small file
// system can be made here. Run in a child process (its own mount namespace).
std::string FullDiskThenFreed(const std::string& small) {
    if (!platform::testing::MountSmallFileSystem(small, "3m")) return "skip";
    const std::string db = small + "/store.db";
    constexpr int kMessages = 200;  // 8 KB each: about 1.7 MB in the log
    std::string failure;
    std::thread([&] {
        try {
            ItemStore::Create(db);
            auto store = ItemStore::ForThisThread(db);
            store->CreateNamespace("example.test");
            store->CreateMailbox("example.test", "alice", false);
            const auto inbox = store->Require({"example.test", "MBX", "alice", "Inbox"}, "inbox");
            store->BeginTransaction();
            for (int i = 0; i < kMessages; ++i)
                (void)store->SaveMessage(inbox.id, std::string(8000, 'x'), i);
            store->CommitTransaction();
            platform::testing::FillFileSystem(small + "/filler");
        } catch (const platform::Error& e) {
            failure = "writing: " + e.Description();
        }
    }).join();  // the last handle closes: its checkpoint runs out of room
    if (!failure.empty()) return failure;
    const int64_t pages = [&] {
        std::ifstream in(db, std::ios::binary);
        unsigned char hdr[32] = {};
        in.read(reinterpret_cast<char*>(hdr), sizeof hdr);
        return (int64_t{hdr[28]} << 24) | (int64_t{hdr[29]} << 16) | (int64_t{hdr[30]} << 8) |
               int64_t{hdr[31]};
    }();
    const auto size = static_cast<int64_t>(std::filesystem::file_size(db));
    if (size >= pages * 4096) {
        return "the checkpoint was not cut short: " + std::to_string(size) + " bytes for " +
               std::to_string(pages) + " pages";
    }
    std::filesystem::remove(small + "/filler");
    std::thread([&] {
        try {
            auto store = ItemStore::ForThisThread(db);
            const auto inbox = store->Require({"example.test", "MBX", "alice", "Inbox"}, "inbox");
            const size_t messages = store->ItemsIn(inbox.id).size();
            if (messages != kMessages) failure = std::to_string(messages) + " messages";
        } catch (const platform::Error& e) {
            failure = "opening after the disk had room again: " + e.Description();
        }
    }).join();
    if (!failure.empty()) return failure;
    const std::string check = Sql(db, "PRAGMA integrity_check");
    return check == "ok\n" ? "" : "integrity_check: " + check;
}

TEST(ItemStoreTest, AStoreIsWholeAgainOnceAFullDiskHasRoom) {
    TempStore temp;
    const std::string small = temp.Dir() + "/small";
    std::filesystem::create_directory(small);
    const std::string report = temp.Dir() + "/report";
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string why = FullDiskThenFreed(small);
        std::ofstream(report) << why;
        _exit(why == "skip" ? 77 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
    std::ifstream in(report);
    const std::string why{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(why, "");
}

TEST(ItemStoreTest, AStoreHeldExclusivelyIsReportedBusyWithItsPath) {
    TempStore temp(200);
    FillAndClose();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(temp.DbPath().c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> other(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    const auto [number, description] = FailureOf([] { (void)ItemStore::ForThisThread(); });
    EXPECT_EQ(number, platform::err::kResourceLocked) << description;
    EXPECT_NE(description.find(temp.DbPath()), std::string::npos) << description;
    EXPECT_NE(description.find("locked"), std::string::npos) << description;
}

// A write group keeps a batch open past its handle's last user: another
// writer meets the lock, and the delete is neither committed nor undone,
// until the group commits it; then the writer gets through and sees it.
TEST(ItemStoreTest, AWriteGroupKeepsItsBatchUntilItCommits) {
    TempStore temp(200, "store.batch_ms = 3600000\n");
    FillAndClose();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(temp.DbPath().c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> other(raw, sqlite3_close);
    const auto count = [&] {
        return Sql(temp.DbPath(), "SELECT count(*) FROM items WHERE kind = 0");
    };
    auto otherWrites = [&] {
        const bool began = sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == 0;
        if (began) sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
        return began;
    };
    {
        ItemStore::WriteGroup group;
        {
            auto store = ItemStore::ForThisThread();
            const auto inbox = store->Require({"example.test", "MBX", "alice", "Inbox"}, "inbox");
            store->BatchWrite();
            EXPECT_TRUE(store->DeleteItem(store->ItemsIn(inbox.id).front().id));
            store->SettleBatch();
        }
        ItemStore::WriteGroup::Tick();  // not due for an hour
        EXPECT_FALSE(ItemStore::WriteGroup::Idle());
        EXPECT_FALSE(otherWrites());
        EXPECT_EQ(count(), "200\n");
        ItemStore::WriteGroup::Commit();
        EXPECT_TRUE(ItemStore::WriteGroup::Idle());
        EXPECT_TRUE(otherWrites());
        EXPECT_EQ(count(), "199\n");
        EXPECT_FALSE(ItemStore::WriteGroup::TakeLost());
    }
}

TEST(ItemStoreTest, BadStoreSettingsNameTheFileKeyAndValue) {
    const char* cases[] = {
        "store.busy_timeout_ms = 12abc",
        "store.busy_timeout_ms = -5",
        "store.busy_timeout_ms = 99999999999",
        "store.batch_ms = 1e3",
        "store.batch_ms =",
        "store.synchronous = sometimes",
        "store.secure_delete = always",
        "store.busy_budget_ms = lots",
        "store.batch_ms = 1\x1b[2J",
    };
    for (const std::string line : cases) {
        SCOPED_TRACE(line);
        TempStore bad(300, line + "\n");
        // The store of the bad configuration exists; only its settings are wrong.
        const auto [number, description] =
            FailureOf([&] { (void)ItemStore::ForThisThread(bad.DbPath()); });
        EXPECT_EQ(number, platform::err::kInvalidArg) << description;
        const std::string key = line.substr(0, line.find(' '));
        EXPECT_TRUE(std::regex_search(description, std::regex("platform\\.conf:[0-9]+: " + key)))
            << description;
        // A value goes into the message as text that cannot move a terminal.
        EXPECT_EQ(description.find('\x1b'), std::string::npos) << description;
    }
}

TEST(ItemStoreTest, ADeletedMessageIsWipedFromPagesWrittenAnywayAndFromFreedOnesWhenAsked) {
    const std::string marker = "deleted-junk-text ";
    const struct {
        const char* config;
        size_t bytes;  // of the message
        bool left;     // its text still in the file
    } cases[] = {
        {"", 300, false},                               // its page stays and is written
        {"", 100000, true},                             // pages freed whole are not written
        {"store.secure_delete = on\n", 100000, false},  // unless wiping is asked for
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.config) + std::to_string(c.bytes));
        TempStore temp(300, c.config);
        // Everything in the log goes into the file, and the log is emptied.
        const auto checkpoint = [&] {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(temp.DbPath().c_str(), &db), SQLITE_OK);
            ASSERT_EQ(
                sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
                SQLITE_OK);
            sqlite3_close(db);
        };
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace("example.test");
        store->CreateMailbox("example.test", "alice", false);
        std::string body;
        while (body.size() < c.bytes) body += marker;
        const std::string url =
            SaveNewMessage(TempStore::FileBase() + "/alice/Inbox", "Subject: x\r\n\r\n" + body,
                           platform::Date::FromParts(2026, 1, 2, 3, 4, 5));
        checkpoint();
        const auto row = store->Lookup(
            {"example.test", "MBX", "alice", "Inbox", url.substr(url.rfind('/') + 1)});
        ASSERT_TRUE(row);
        ASSERT_TRUE(store->DeleteItem(row->id));
        checkpoint();
        std::ifstream in(temp.DbPath(), std::ios::binary);
        const std::string file{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(file.find(marker) != std::string::npos, c.left);
    }
}

TEST(ItemStoreTest, WaitsForABusyStoreStopAtTheRunsBudget) {
    TempStore temp(400, "store.busy_budget_ms = 600\n");
    FillAndClose();
    std::atomic<bool> holding = false, done = false;
    std::thread holder([&] {
        auto store = ItemStore::ForThisThread();
        store->BeginTransaction();
        holding = true;
        while (!done) std::this_thread::sleep_for(10ms);
        store->RollbackTransaction();
    });
    while (!holding) std::this_thread::sleep_for(10ms);
    auto attempt = [&] {
        const auto start = std::chrono::steady_clock::now();
        auto failure = FailureOf([] {
            auto store = ItemStore::ForThisThread();
            store->CreateNamespace("other.test");
        });
        return std::make_pair(failure, std::chrono::steady_clock::now() - start);
    };
    ItemStore::StartRun();
    const auto [first, firstTook] = attempt();  // waits its 400 ms
    EXPECT_EQ(first.first, platform::err::kResourceLocked);
    EXPECT_EQ(first.second.find("store.busy_budget_ms"), std::string::npos) << first.second;
    const auto [second, secondTook] = attempt();  // the last 200 ms of the budget
    EXPECT_EQ(second.first, platform::err::kResourceLocked);
    EXPECT_NE(second.second.find("busy store (store.busy_budget_ms = 600)"), std::string::npos)
        << second.second;
    EXPECT_NE(second.second.find(temp.DbPath()), std::string::npos) << second.second;
    // No wait left at all: the failure names the spent budget.
    const auto [third, thirdTook] = attempt();
    EXPECT_NE(third.second.find("store.busy_budget_ms"), std::string::npos) << third.second;
    // A new run starts a new budget.
    ItemStore::StartRun();
    const auto [fourth, fourthTook] = attempt();
    EXPECT_EQ(fourth.second.find("store.busy_budget_ms"), std::string::npos) << fourth.second;
    EXPECT_GE(fourthTook, 380ms);
    done = true;
    holder.join();
}

TEST(ItemStoreTest, DatesNoStoreCanHoldAreErrorsNotUndefinedBehaviour) {
    TempStore temp;
    FillAndClose();
    const int64_t cases[] = {std::numeric_limits<int64_t>::min(),
                             std::numeric_limits<int64_t>::max(), -62135596801, 253402300800};
    for (const int64_t bad : cases) {
        SCOPED_TRACE(bad);
        Sql(temp.DbPath(), "UPDATE items SET received = " + std::to_string(bad) +
                               " WHERE id = (SELECT min(id) FROM items WHERE kind = 0)");
        auto store = ItemStore::ForThisThread();
        const auto inbox = store->Require({"example.test", "MBX", "alice", "Inbox"}, "inbox");
        std::vector<ItemRow> rows;
        for (const ItemRow& row : store->ItemsIn(inbox.id)) {
            if (row.received == bad) rows.push_back(row);
        }
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(ErrorOf([&] {
                      (void)store->Value(rows[0], "urn:schemas:httpmail:datereceived",
                                         UrlScheme::kFile);
                  }),
                  platform::err::kCantConvert);
    }
    EXPECT_EQ(ErrorOf([] { (void)ToStoreTime(platform::Date(1e300)); }),
              platform::err::kCantConvert);
    EXPECT_EQ(ErrorOf([] { (void)ToStoreTime(platform::Date(std::nan(""))); }),
              platform::err::kCantConvert);
    // The first and last second of the range convert both ways.
    for (const int64_t edge : {int64_t{-62135596800}, int64_t{253402300799}})
        EXPECT_EQ(ToStoreTime(FromStoreTime(edge)), edge);
}

// A damaged file whose folders are each other's parents ends the walk up to
// the namespace with an error, where it once went round for ever.
TEST(ItemStoreTest, FoldersThatAreEachOthersParentsAreAnErrorNotAnEndlessWalk) {
    TempStore temp;
    FillAndClose();
    const int64_t inbox = std::stoll(
        Sql(temp.DbPath(),
            "UPDATE items SET parent = (SELECT id FROM items WHERE key = 'inbox'"
            " AND parent = (SELECT id FROM items WHERE key = 'alice')) WHERE key = 'alice';"
            "SELECT parent FROM items WHERE key = 'alice'"));
    EXPECT_EQ(ErrorOf([&] { (void)ItemStore::ForThisThread()->PathOf(inbox); }),
              platform::err::kCorrupt);
}

// Checking a store file's header while this process has the store open must
// not drop the process's locks on it: another process closing the store
// would then checkpoint and delete the write-ahead log that this process
// still writes to, and every later commit of this process would be lost to
// the others.
TEST(ItemStoreHandles, CheckingTheFileKeepsThisProcesssLocks) {
    TempStore temp;
    ItemStore::Create();
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("first.test");
    // Another thread opens its own handle: the file is checked again.
    std::thread([] { (void)ItemStore::ForThisThread(); }).join();
    const auto count = [&] {
        return Sql(temp.DbPath(), "SELECT count(*) FROM items WHERE kind = 2");
    };
    EXPECT_EQ(count(), "1\n");  // another process opens and closes the store
    store->CreateNamespace("second.test");
    EXPECT_EQ(count(), "2\n");
    EXPECT_TRUE(std::filesystem::exists(temp.DbPath() + "-wal"));
}

}  // namespace
}  // namespace localplatform
