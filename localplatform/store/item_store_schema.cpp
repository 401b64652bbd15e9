// The item store's tables: the schema a new store gets, and the steps that
// bring a store of an older version up to it.
#include <string>

#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store_internal.h"

namespace localplatform {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  key TEXT NOT NULL,
  kind INTEGER NOT NULL,
  hidden INTEGER NOT NULL DEFAULT 0,
  content_class TEXT,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  received INTEGER,
  has_props INTEGER NOT NULL DEFAULT 0,
  content BLOB);
CREATE UNIQUE INDEX items_by_name ON items(parent, key);
CREATE INDEX items_by_received ON items(parent, received);
CREATE TABLE props(
  item INTEGER NOT NULL,
  key TEXT NOT NULL,
  name TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(item, key)) WITHOUT ROWID;
CREATE TRIGGER items_drop_props AFTER DELETE ON items BEGIN
  DELETE FROM props WHERE item = old.id;
END;
PRAGMA user_version = 1;
)sql";

// Version 2: the move manifest, one row per message a run moved. A store
// of version 1 gets it when it is opened.
constexpr const char* kMovesSchema = R"sql(
CREATE TABLE moves(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  run INTEGER NOT NULL,
  item INTEGER NOT NULL,
  source_folder INTEGER NOT NULL,
  source_path TEXT NOT NULL,
  source_name TEXT NOT NULL,
  destination_folder INTEGER NOT NULL,
  destination_name TEXT NOT NULL,
  size INTEGER NOT NULL,
  moved_at INTEGER NOT NULL,
  restored_at INTEGER);
CREATE INDEX moves_by_run ON moves(run);
CREATE INDEX moves_by_item ON moves(item);
PRAGMA user_version = 2;
)sql";

// Version 3: the runs, one row per run the store gave an identity. A run's
// identity is its key in the move manifest, so it is handed out here, where
// the manifest lives, and never twice. A store of version 1 or 2 gets the
// table when it is opened; its first run comes after every run the manifest
// already names. The manifest gets an index by time with it, so that
// forgetting old moves reads only those.
constexpr const char* kRunsSchema = R"sql(
CREATE TABLE runs(
  id INTEGER PRIMARY KEY,
  item_url TEXT NOT NULL,
  started INTEGER NOT NULL,
  moves INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS moves_by_time ON moves(moved_at);
PRAGMA user_version = 3;
)sql";

// Version 4: moves of a mail store's messages in the manifest. Such an
// entry names no item of the store (item 0): the message is its key in the
// source folder (source_key) and, once moved, its key in the destination
// folder at destination_path (destination_key; NULL while the move is under
// way), with the received time and flags it had. A store of an older
// version gets the columns when it is opened.
constexpr const char* kMailMovesSchema = R"sql(
ALTER TABLE moves ADD COLUMN source_key TEXT;
ALTER TABLE moves ADD COLUMN destination_path TEXT;
ALTER TABLE moves ADD COLUMN destination_key TEXT;
ALTER TABLE moves ADD COLUMN received INTEGER;
ALTER TABLE moves ADD COLUMN flags TEXT;
PRAGMA user_version = 4;
)sql";

// Version 5: moves between two stores (the item store and a mail store, or
// two mail stores), which copy, then remove. Such an entry has the key its
// copy was planned to get (planned_key: the item's name, Maildir's file
// name, IMAP's UIDVALIDITY and UIDNEXT before the APPEND), written before
// the copy is made, and is under way (under_way) until the other end
// no longer holds the message: 1 while it moves (the source not yet
// removed), 2 while undo puts it back (restore_key the put-back copy's key,
// planned, then as made; the destination's copy not yet removed). The item
// store's end of such an entry is its folder's id (source_folder,
// destination_folder), as an entry of the store's own moves has it. A store
// of an older version gets the columns when it is opened.
constexpr const char* kCrossMovesSchema = R"sql(
ALTER TABLE moves ADD COLUMN planned_key TEXT;
ALTER TABLE moves ADD COLUMN under_way INTEGER;
ALTER TABLE moves ADD COLUMN restore_key TEXT;
CREATE INDEX moves_under_way ON moves(run) WHERE under_way IS NOT NULL;
PRAGMA user_version = 5;
)sql";

// Version 6: runs of ids kept for one folder's items (extents). An item
// takes the next id of its folder's run; a folder whose run is used up gets
// a new one past every id handed out so far, so that no id is ever given
// twice. Mail arrives mixed over every mailbox, and with ids in arrival
// order a folder's messages lay one per page among everyone else's:
// removing a folder's oldest messages rewrote the pages beside each of them
// as the table closed the gaps. Kept together, they are removed with a few
// pages more than their own. A store of an older version gets the table
// when it is opened; its items stay where they are, and those that arrive
// from then on lie together.
constexpr const char* kExtentsSchema = R"sql(
CREATE TABLE extents(
  folder INTEGER PRIMARY KEY,
  next INTEGER NOT NULL,
  last INTEGER NOT NULL);
PRAGMA user_version = 6;
)sql";

// Version 7: a message's bytes in a table of their own, under its id,
// and its size in its row (content_size). Moving a message changes its row
// only; with the bytes in the row, a page of a few KB was written for every
// message a run moved, though nothing but its folder and name changed. A
// store of an older version gets the table when it is opened; its messages
// keep their bytes in their rows (items.content, content_size NULL), and
// those that arrive from then on keep them here.
constexpr const char* kContentsSchema = R"sql(
CREATE TABLE contents(
  item INTEGER PRIMARY KEY,
  data BLOB NOT NULL);
ALTER TABLE items ADD COLUMN content_size INTEGER;
CREATE TRIGGER items_drop_content AFTER DELETE ON items WHEN old.content_size IS NOT NULL BEGIN
  DELETE FROM contents WHERE item = old.id;
END;
PRAGMA user_version = 7;
)sql";

// Version 8: one trigger takes what an item leaves behind, where two did.
// Every deleted row ran both, each a program of its own with its own frame,
// though most items (every message) have no properties to drop: a run
// deleting 80,000 messages spent a twentieth of SQLite's work there. The
// properties are looked for only where the row says it has some
// (has_props, kept with them), the bytes only where they lie apart.
constexpr const char* kDropTriggerSchema = R"sql(
DROP TRIGGER IF EXISTS items_drop_props;
DROP TRIGGER IF EXISTS items_drop_content;
CREATE TRIGGER items_drop AFTER DELETE ON items BEGIN
  DELETE FROM props WHERE old.has_props <> 0 AND item = old.id;
  DELETE FROM contents WHERE old.content_size IS NOT NULL AND item = old.id;
END;
PRAGMA user_version = 8;
)sql";

}  // namespace

void CreateSchema(SqliteDb& db) {
    for (const char* part :
         {kSchema, kMovesSchema, kRunsSchema, kMailMovesSchema, kCrossMovesSchema, kExtentsSchema,
          kContentsSchema, kDropTriggerSchema})
        db.Exec(part);
}

// Upgrades a store of version 1 (no move manifest), 2 (no runs), 3 (no
// moves of mail stores' messages), 4 (no moves between two stores), 5 (no
// extents), 6 (bytes in the rows) or 7 (two triggers) in place. Another process may
// be doing the same: the version is read again under the write lock.
void UpgradeSchema(ItemStore::Handle& h) {
    SqliteDb::Transaction tx(h.db);
    int version = 0;
    {
        auto s = h.db.Cached("PRAGMA user_version");
        if (s.Step()) version = static_cast<int>(s.Int(0));
    }
    if (version == 1) h.db.Exec(kMovesSchema);
    if (version == 1 || version == 2) h.db.Exec(kRunsSchema);
    if (version >= 1 && version <= 3) h.db.Exec(kMailMovesSchema);
    if (version >= 1 && version <= 4) h.db.Exec(kCrossMovesSchema);
    if (version >= 1 && version <= 5) h.db.Exec(kExtentsSchema);
    if (version >= 1 && version <= 6) h.db.Exec(kContentsSchema);
    if (version >= 1 && version <= 7) h.db.Exec(kDropTriggerSchema);
    tx.Commit();
}

}  // namespace localplatform
