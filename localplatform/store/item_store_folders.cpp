#include "localplatform/store/item_store_folders.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store_internal.h"

namespace localplatform {

namespace {

std::string Shown(const MailFolder& folder, const std::string& key = "") {
    return platform::VisibleText(folder.alias + (key.empty() ? "" : "/" + key));
}

}  // namespace

MailFolder ItemStoreFolders::FolderAt(const std::vector<std::string>& path) {
    return MailFolder{JoinPath(path), {}};
}

std::string ItemStoreFolders::Describe() const {
    return "item store " + h_.db.Path();
}

int64_t ItemStoreFolders::FolderId(const MailFolder& folder, const char* operation) {
    std::vector<std::string> path = SplitPath(folder.alias);
    path.insert(path.end(), folder.path.begin(), folder.path.end());
    const auto row = store_.Lookup(path);
    if (!row || !row->IsFolder() || row->foreign) {
        throw Error(err::kNotFound,
                    platform::Describe(operation, Shown(folder) + " (" + Describe() + ")",
                                       "no such folder", err::kNotFound));
    }
    return row->id;
}

std::optional<std::string> ItemStoreFolders::FindMailbox(const std::string& alias) {
    const auto row = store_.Lookup(SplitPath(alias));
    if (!row || !row->IsFolder() || row->foreign) return std::nullopt;
    return JoinPath(store_.PathOf(row->id));
}

bool ItemStoreFolders::HasFolder(const MailFolder& folder) {
    try {
        (void)FolderId(folder, "open folder");
        return true;
    } catch (const Error& e) {
        if (e.Number() != err::kNotFound) throw;
        return false;
    }
}

std::vector<std::string> ItemStoreFolders::Subfolders(const MailFolder& folder) {
    auto s = h_.db.Cached("SELECT name FROM items WHERE parent = ?1 AND kind <> 0 ORDER BY name");
    s.Bind(1, FolderId(folder, "list folders"));
    std::vector<std::string> names;
    while (s.Step()) names.push_back(s.Text(0));
    return names;
}

std::vector<MailStoreMessage> ItemStoreFolders::Messages(const MailFolder& folder) {
    auto s = h_.db.Cached("SELECT name, received, coalesce(" + SizeOf("items", h_.version) +
                          ", 0) FROM items WHERE parent = ?1 AND kind = 0 ORDER BY name");
    s.Bind(1, FolderId(folder, "list messages"));
    std::vector<MailStoreMessage> out;
    while (s.Step()) out.push_back({s.Text(0), s.IsNull(1) ? 0 : s.Int(1), s.Int(2), ""});
    return out;
}

std::optional<MailStoreMessage> ItemStoreFolders::Message(const MailFolder& folder,
                                                          const std::string& key) {
    auto s = h_.db.Cached("SELECT name, received, coalesce(" + SizeOf("items", h_.version) +
                          ", 0) FROM items WHERE parent = ?1 AND key = ?2 AND kind = 0");
    s.Bind(1, FolderId(folder, "read message")).Bind(2, FoldName(key));
    if (!s.Step()) return std::nullopt;
    MailStoreMessage m{s.Text(0), s.IsNull(1) ? 0 : s.Int(1), s.Int(2), ""};
    s.Reset();
    return m;
}

std::string ItemStoreFolders::Content(const MailFolder& folder, const std::string& key) {
    auto s = h_.db.Cached(ContentSql(h_.version, "i.parent = ?1 AND i.key = ?2 AND i.kind = 0"));
    s.Bind(1, FolderId(folder, "read message")).Bind(2, FoldName(key));
    if (!s.Step()) {
        throw Error(err::kNotFound,
                    platform::Describe("read message", Shown(folder, key) + " (" + Describe() + ")",
                                       "no such item", err::kNotFound));
    }
    std::string bytes = s.Text(0);
    s.Reset();
    return bytes;
}

void ItemStoreFolders::ContentInto(const MailFolder& folder, const std::string& key,
                                   MessageSpool& spool) {
    // The content's own table (a store of version 7) is read piece by
    // piece; a content kept in the item's row (older) whole.
    const int64_t id = ItemId(folder, key);
    if (id != 0 && h_.version >= 7) {
        auto s = h_.db.Cached("SELECT content IS NULL FROM items WHERE id = ?1");
        const bool apart = s.Bind(1, id).Step() && s.Int(0) != 0;
        s.Reset();
        if (apart && h_.db.ReadBlob("contents", "data", id, MessageSpool::kPiece,
                                    [&](const char* data, size_t n) { spool.Append(data, n); }))
            return;
    }
    spool.Append(Content(folder, key));
}

int64_t ItemStoreFolders::ItemId(const MailFolder& folder, const std::string& key) {
    auto s = h_.db.Cached("SELECT id FROM items WHERE parent = ?1 AND key = ?2 AND kind = 0");
    s.Bind(1, FolderId(folder, "read message")).Bind(2, FoldName(key));
    const int64_t id = s.Step() ? s.Int(0) : 0;
    s.Reset();
    return id;
}

bool ItemStoreFolders::Delete(const MailFolder& folder, const std::string& key) {
    const int64_t id = FolderId(folder, "delete message");
    store_.FlushBatch();
    SqliteDb::Transaction tx(h_.db);
    auto d = h_.db.Cached("DELETE FROM items WHERE parent = ?1 AND key = ?2 AND kind = 0");
    d.Bind(1, id).Bind(2, FoldName(key)).Run();
    const bool deleted = h_.db.Changes() == 1;
    tx.Commit();
    return deleted;
}

std::optional<std::string> ItemStoreFolders::Move(const MailFolder& from, const std::string& key,
                                                  const MailFolder& to) {
    (void)from;
    (void)key;
    (void)to;
    return std::nullopt;
}

std::string ItemStoreFolders::Append(const MailFolder& folder, const std::string& bytes,
                                     int64_t received, const std::string& flags) {
    return AppendPlanned(folder, NewItemName(h_), bytes, received, flags);
}

std::string ItemStoreFolders::PlanAppend(const MailFolder& folder, const std::string& wanted,
                                         const MessageSpool& bytes) {
    (void)bytes;
    if (!wanted.empty() && !Child(h_, FolderId(folder, "plan message"), wanted)) return wanted;
    return NewItemName(h_);
}

std::string ItemStoreFolders::AppendPlanned(const MailFolder& folder, const std::string& planned,
                                            const std::string& bytes, int64_t received,
                                            const std::string& flags) {
    (void)flags;
    const int64_t id = FolderId(folder, "store message");
    store_.FlushBatch();
    SqliteDb::Transaction tx(h_.db);
    (void)InsertMessage(h_, id, planned, bytes, received);
    tx.Commit();
    return planned;
}

std::string ItemStoreFolders::AppendPlannedFrom(const MailFolder& folder,
                                                const std::string& planned,
                                                const MessageSpool& spool, int64_t received,
                                                const std::string& flags) {
    (void)flags;
    const int64_t id = FolderId(folder, "store message");
    store_.FlushBatch();
    SqliteDb::Transaction tx(h_.db);
    const int64_t item = InsertMessageRow(h_, id, planned, spool.Size(), received);
    auto c = h_.db.Cached("INSERT INTO contents(item, data) VALUES(?1, zeroblob(?2))");
    c.Bind(1, item).Bind(2, spool.Size()).Run();
    h_.db.WriteBlob("contents", "data", item,
                    [&](const SqliteDb::BlobSink& put) { spool.ForEachPiece(put); });
    tx.Commit();
    return planned;
}

std::vector<MailStoreMessage> ItemStoreFolders::AppendedSince(const MailFolder& folder,
                                                              const std::string& planned) {
    if (auto m = Message(folder, planned)) return {*m};
    return {};
}

}  // namespace localplatform
