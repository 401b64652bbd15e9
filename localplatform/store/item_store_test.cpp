// The item store's tree, properties, transactions and handles.
#include "localplatform/store/item_store.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>

#include "base/error.h"
#include "localplatform/store/store_messages.h"
#include "localplatform/store/store_test_support.h"

namespace localplatform {
namespace {

using platform::Variant;
using testing::TempStore;

int32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::Error& e) {
        return e.Number();
    }
    return 0;
}

TEST(ItemStoreTest, NamespacesAndMailboxesMakeTheirTree) {
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
}

TEST(ItemStoreTest, NamesAreCheckedBeforeAnythingIsWritten) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    const auto mbxRoot = store->Lookup({"example.test", "MBX"});
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "a\\b",
                                                           std::string("a\0b", 3), "tab\there"}) {
        EXPECT_EQ(ErrorOf([&] { store->CreateFolder(mbxRoot->id, bad); }),
                  platform::err::kInvalidArg)
            << bad;
    }
    EXPECT_EQ(ErrorOf([&] { store->CreateNamespace("../x"); }), platform::err::kInvalidArg);
}

TEST(ItemStoreTest, PropertiesKeepTheirTypes) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->CreateMailbox("example.test", "alice", false);
    const auto inbox = store->Lookup({"example.test", "MBX", "alice", "Inbox"});
    const int64_t id = store->ReplaceItem(inbox->id, "Item.reg");
    const platform::Date when = platform::Date::FromParts(2026, 5, 6, 7, 8, 9);
    store->WriteProperties(id, {{"S", Variant("text")},
                                {"I16", Variant(int16_t{-5})},
                                {"I32", Variant(int32_t{70000})},
                                {"B", Variant(true)},
                                {"D", Variant(when)},
                                {"R", Variant(2.5)},
                                {"DAV:ishidden", Variant(true)},
                                {"urn:schemas:httpmail:datereceived", Variant(when)}});
    struct Want {
        const char* name;
        Variant value;
    };
    for (const auto& w : std::vector<Want>{{"s", Variant("text")},
                                           {"i16", Variant(int16_t{-5})},
                                           {"I32", Variant(int32_t{70000})},
                                           {"b", Variant(true)},
                                           {"d", Variant(when)},
                                           {"r", Variant(2.5)},
                                           {"missing", Variant()}}) {
        EXPECT_EQ(store->CustomValue(id, w.name), w.value) << w.name;
    }
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
    EXPECT_EQ(
        ErrorOf([&] { (void)SaveNewMessage(TempStore::FileBase() + "/alice/Nope", "C", when); }),
        platform::err::kNotFound);
    EXPECT_EQ(
        ErrorOf([&] { (void)SaveNewMessage(TempStore::FileBase() + "/alice/../x", "C", when); }),
        platform::err::kBadUrl);
}

TEST(ItemStoreTest, HandlesAreSharedPerThread) {
    TempStore temp;
    auto a = ItemStore::ForThisThread();
    auto b = ItemStore::ForThisThread(temp.DbPath());
    EXPECT_EQ(a.get(), b.get());
    ItemStore* other = nullptr;
    std::thread([&] { other = ItemStore::ForThisThread().get(); }).join();
    EXPECT_NE(other, a.get());
}

TEST(ItemStoreTest, ExplicitTransactionsDoNotNestAndRollBack) {
    TempStore temp;
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example.test");
    store->BeginTransaction();
    EXPECT_EQ(ErrorOf([&] { store->BeginTransaction(); }), platform::err::kAdoFeatureNotAvailable);
    store->CreateNamespace("rolled.back");
    store->RollbackTransaction();
    EXPECT_FALSE(store->Lookup({"rolled.back"}));
    EXPECT_EQ(ErrorOf([&] { store->CommitTransaction(); }), platform::err::kFail);
}

TEST(ItemStoreTest, ForeignDatabaseIsRefused) {
    TempStore temp;
    std::ofstream(temp.DbPath(), std::ios::binary) << "SQLite format 3";  // truncated header
    EXPECT_EQ(ErrorOf([&] { (void)ItemStore::ForThisThread(); }), platform::err::kCorrupt);
}

}  // namespace
}  // namespace localplatform
