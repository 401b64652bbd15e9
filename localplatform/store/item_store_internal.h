// What the item store's source files share and nobody else sees: the
// handle on the database, and the helpers its parts (the tree and its
// properties, the moves and their manifest) both use.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/mapped_namespace.h"

namespace localplatform {

constexpr int kSchemaVersion = 8;
constexpr int kDefaultBatchMs = 100;
// The largest message a copy between two stores takes: the bytes go through
// a spool file in pieces (over IMAP, partial FETCHes in, APPEND out from the
// file's mapped pages), but a huge one would still hold up the run.
constexpr int64_t kDefaultMaxCopyBytes = int64_t{64} << 20;

namespace err = platform::err;
using platform::Error;
using Stmt = SqliteDb::Statement;

template <typename T>
Stmt& BindOptional(Stmt& s, int i, const std::optional<T>& v) {
    return v ? s.Bind(i, *v) : s.BindNull(i);
}

// What the manifest keeps of a move of a mail store's message beyond the
// columns every entry has.
struct MailMove {
    // The source's key; empty in an older entry of an item store's message,
    // whose name (MoveEntry::sourceName) is its key.
    std::string sourceKey;
    std::vector<std::string> destinationPath;
    std::optional<std::string> destinationKey;  // none while under way
    int64_t received = 0;
    std::string flags;
    // A move between two stores (version 5): the key its copy was planned
    // to get, whether the destination is a folder of the item store (its id
    // as recorded), and what is under way (0: nothing; 1: the move, the
    // source not yet removed; 2: the put back, restoreKey its copy's key,
    // planned until restored_at is set).
    std::optional<std::string> plannedKey;
    int64_t destinationFolder = 0;
    int underWay = 0;
    std::optional<std::string> restoreKey;
};

// The tables (item_store_schema.cpp): a new store's, made inside the
// caller's transaction, and an older store's brought up to kSchemaVersion.
void CreateSchema(SqliteDb& db);
void UpgradeSchema(ItemStore::Handle& h);

// Rows and content (item_store.cpp).
std::string ContentSql(int version, const std::string& where);
std::string SizeOf(const std::string& t, int version);
int64_t InsertMessage(ItemStore::Handle& h, int64_t parent, const std::string& name,
                      const std::string& content, int64_t received);
// The row of such a message, of size bytes, without its content: the
// caller's transaction adds it (contents, by the id returned).
int64_t InsertMessageRow(ItemStore::Handle& h, int64_t parent, const std::string& name,
                         int64_t size, int64_t received);
std::string JoinPath(const std::vector<std::string>& segments);
std::string NewItemName(ItemStore::Handle& h);
[[noreturn]] void NoLongerInFolder(int64_t id);
int64_t NowSeconds();
ItemRow RequireFolder(ItemStore& store, int64_t id);
// The child of parent named name (compared folded); nothing when none.
std::optional<ItemRow> Child(ItemStore::Handle& h, int64_t parent, const std::string& name);

// The manifest's rows (item_store_moves.cpp).
std::vector<std::string> SplitPath(const std::string& path);
std::string MoveColumns(int version);
MoveEntry MoveEntryOf(const Stmt& s);
std::optional<MailMove> MailMoveOf(const Stmt& s, MoveEntry& e);

struct ItemStore::Handle {
    explicit Handle(SqliteDb database) : db(std::move(database)) {}

    SqliteDb db;
    // kMailBatch: a batch of mail stores' deletes alone, which writes
    // nothing of this store's own and so holds no transaction: workers
    // deleting in mail stores at once do not wait on each other here.
    enum class Tx { kNone, kExplicit, kBatch, kMailBatch } tx = Tx::kNone;
    int batchWrites = 0;
    std::chrono::steady_clock::time_point batchStart;
    std::chrono::milliseconds batchMaxAge{kDefaultBatchMs};
    int64_t maxCopyBytes = kDefaultMaxCopyBytes;  // a copy between stores takes no larger message
    dev_t dev = 0;                                // the file opened, to notice it being replaced
    ino_t ino = 0;
    bool readOnly = false;
    int version = kSchemaVersion;  // below it only when read-only
    std::mt19937_64 rng{std::random_device{}()};
    std::string rowColumns;              // RowColumnsOf("items", version), once known
    uint64_t lastNameMicros = 0;         // of the last name NewItemName gave
    std::vector<std::string> lookupSql;  // Lookup's statement by depth - 1
    // What the joined lookup last found inside a transaction that writes,
    // and the connection's ViewSerial then.
    struct FoundPath {
        bool valid = false;
        uint64_t serial = 0;
        std::vector<std::string> keys;  // the path as looked up, folded
        ItemRow row;
        std::vector<std::string> names;  // as stored
    } lastFound;
    MappedNamespaces mapped;  // the nodes of namespaces held by mail stores
};

}  // namespace localplatform
