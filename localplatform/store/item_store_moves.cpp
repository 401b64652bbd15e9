// The item store's moves and their manifest: a move within one mail store
// (one step where the store has one), a move between two stores (plan,
// copy, record, remove), and how both are settled after a crash and put
// back by undo.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/item_store_ends.h"
#include "localplatform/store/item_store_folders.h"
#include "localplatform/store/item_store_internal.h"
#include "localplatform/store/mapped_namespace.h"
#include "localplatform/store/message_spool.h"
#include "localplatform/store/run_lock.h"

namespace localplatform {

// ---------------------------------------------------------------- move manifest

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> segments;
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        segments.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

// The manifest's columns with the item's state now, as MoveEntryOf reads
// them; a store older than version 4 (read as it stands) has no moves of a
// mail store's messages.
std::string MoveColumns(int version) {
    return std::string(
               "m.id, m.run, m.item, m.source_folder, m.source_path, m.source_name,"
               " m.destination_folder, m.destination_name, m.size, m.moved_at, m.restored_at,"
               " i.parent, i.received,"
               " (SELECT l.run FROM moves l WHERE l.item = m.item AND m.item <> 0 AND l.id > m.id"
               "  AND l.restored_at IS NULL ORDER BY l.id LIMIT 1),") +
           (version >= 4
                ? std::string(" m.source_key, m.destination_path, m.destination_key, m.received,"
                              " m.flags, (SELECT l.run FROM moves l WHERE ") +
                      (version >= 5 ? "(m.source_key IS NOT NULL OR m.planned_key IS NOT NULL)"
                                    : "m.source_key IS NOT NULL") +
                      "  AND l.source_key = m.destination_key AND l.source_path = "
                      "m.destination_path"
                      "  AND l.id > m.id AND l.restored_at IS NULL ORDER BY l.id LIMIT 1)"
                : std::string(" NULL, NULL, NULL, NULL, NULL, NULL")) +
           (version >= 5 ? ", m.planned_key, m.under_way, m.restore_key" : ", NULL, NULL, NULL") +
           " FROM moves m LEFT JOIN items i ON i.id = m.item AND i.kind = 0";
}

MoveEntry MoveEntryOf(const Stmt& s) {
    MoveEntry e;
    e.entry = s.Int(0);
    e.run = s.Int(1);
    e.item = s.Int(2);
    e.sourceFolder = s.Int(3);
    e.sourcePath = SplitPath(s.Text(4));
    e.sourceName = s.Text(5);
    e.destinationFolder = s.Int(6);
    e.destinationName = s.Text(7);
    e.size = s.Int(8);
    e.movedAt = s.Int(9);
    if (!s.IsNull(10)) e.restoredAt = s.Int(10);
    if (!s.IsNull(11)) e.currentFolder = s.Int(11);
    if (!s.IsNull(12)) e.received = s.Int(12);
    if (!s.IsNull(13)) e.laterRun = s.Int(13);
    return e;
}

std::optional<MailMove> MailMoveOf(const Stmt& s, MoveEntry& e) {
    if (s.IsNull(14) && s.IsNull(20)) return std::nullopt;
    MailMove m;
    if (!s.IsNull(14)) m.sourceKey = s.Text(14);
    if (!s.IsNull(15)) m.destinationPath = SplitPath(s.Text(15));
    if (!s.IsNull(20)) {
        m.plannedKey = s.Text(20);
        m.destinationFolder = e.destinationFolder;
    }
    if (!s.IsNull(21)) m.underWay = static_cast<int>(s.Int(21));
    if (!s.IsNull(22)) m.restoreKey = s.Text(22);
    if (!s.IsNull(16)) m.destinationKey = s.Text(16);
    if (!s.IsNull(17)) m.received = s.Int(17);
    if (!s.IsNull(18)) m.flags = s.Text(18);
    if (!s.IsNull(19)) e.laterRun = s.Int(19);
    return m;
}

// Runs write in a transaction of its own, committed (pending batched
// writes are committed first).
template <typename Write>
void Committed(ItemStore& store, ItemStore::Handle& h, Write&& write) {
    store.FlushBatch();
    SqliteDb::Transaction tx(h.db);
    write();
    tx.Commit();
}

// ---------------------------------------------------------------- moves of mail stores

ItemRow ItemStore::MoveMailStoreItem(int64_t id, int64_t fromFolder, int64_t toFolder, int64_t run,
                                     const std::vector<std::string>* sourcePath) {
    const auto* src = h_->mapped.Find(id);
    const auto* dst = h_->mapped.Find(toFolder);
    if (src == nullptr || src->row.kind != ItemKind::kItem || src->row.parent != fromFolder)
        NoLongerInFolder(id);
    if (dst == nullptr || dst->row.kind == ItemKind::kItem) {
        throw Error(err::kNotFound, platform::Describe("move item", JoinPath(src->urlPath),
                                                       "the destination is no folder of a mail "
                                                       "store (" +
                                                           src->backend->Describe() + ")",
                                                       err::kNotFound));
    }
    const MappedNamespaces::Node source = *src;  // copies: registering rows may move the nodes
    const MappedNamespaces::Node destination = *dst;
    const std::vector<std::string> sourceFolder(source.urlPath.begin(), source.urlPath.end() - 1);
    int64_t entry = 0;
    if (run != 0) {
        // The entry is committed before the message leaves its folder, so a
        // crash in between leaves an entry that finds the message in one
        // of the two folders (a move keeps the key where it can).
        FlushBatch();
        SqliteDb::Transaction tx(h_->db);
        auto e = h_->db.Cached(
            "INSERT INTO moves(run, item, source_folder, source_path, source_name,"
            " destination_folder, destination_name, size, moved_at, source_key, destination_path,"
            " received, flags) VALUES(?1, 0, 0, ?2, ?3, 0, '', ?4, ?5, ?3, ?6, ?7, ?8)");
        e.Bind(1, run).Bind(2, JoinPath(sourceFolder)).Bind(3, source.key);
        e.Bind(4, source.row.size).Bind(5, NowSeconds()).Bind(6, JoinPath(destination.urlPath));
        e.Bind(7, source.row.received.value_or(0)).Bind(8, source.flags).Run();
        entry = h_->db.LastInsertId();
        tx.Commit();
    }
    std::string key;
    try {
        auto moved = source.backend->Move(source.folder, source.key, destination.folder);
        if (!moved) {
            // No one step joins the two folders: nothing moved, and the move
            // copies, then removes, its entry taking this one's place.
            return MoveAcrossStores(id, fromFolder, toFolder, run, sourcePath, entry);
        }
        key = std::move(*moved);
    } catch (const Error& err) {
        if (entry == 0) throw;
        if (err.Number() == err::kNotFound) {
            // Not there to move (the mail store looked first): the entry goes
            // again.
            try {
                h_->db.Cached("DELETE FROM moves WHERE id = ?1").Bind(1, entry).Run();
            } catch (const Error&) {
                // It names a message still in its source: undo leaves that alone.
            }
            throw;
        }
        // The store may have moved it (a reply lost, a failure after the
        // act): the entry stays under way, and is settled from what the two
        // folders hold, now if the store answers, else by the next run or
        // undo. The failure is the caller's to tell all the same.
        try {
            Committed(*this, *h_, [&] {
                h_->db.Cached("UPDATE moves SET under_way = 1 WHERE id = ?1").Bind(1, entry).Run();
            });
            SettleEntry(entry);
        } catch (const Error&) {
            // Left under way.
        }
        throw;
    }
    if (entry != 0) {
        BatchWrite();
        auto u = h_->db.Cached(
            "UPDATE moves SET destination_key = ?2, destination_name = ?2 WHERE id = ?1");
        u.Bind(1, entry).Bind(2, key).Run();
        // A new name (the destination had the old one) is committed at once:
        // until it is, undo knows the message only by its old name.
        if (key != source.key) {
            FlushBatch();
        } else {
            BatchTick();
        }
    }
    return h_->mapped.MessageRow(toFolder, MailStoreMessage{key, source.row.received.value_or(0),
                                                            source.row.size, source.flags});
}

namespace {

// Where a mail store's message a manifest entry names is now: in its
// destination folder (currentFolder is the folder's id then) or not.
// The folder of a mail store at path, as it is now: nothing when it is gone.
const MappedNamespaces::Node* MailFolderAt(ItemStore& store, MappedNamespaces& mapped,
                                           const std::vector<std::string>& path) {
    const auto folder = store.Lookup(path);
    if (!folder || !folder->foreign || !folder->IsFolder()) return nullptr;
    return &mapped.Require(folder->id, "locate moved message");
}

// Whether the source of a one-step move is still in its folder.
bool MailSourceThere(ItemStore& store, MappedNamespaces& mapped, const MoveEntry& e,
                     const MailMove& m) {
    const auto* node = MailFolderAt(store, mapped, e.sourcePath);
    return node != nullptr && node->backend->Message(node->folder, m.sourceKey).has_value();
}

// The message a one-step move whose outcome was not heard put into its
// destination: one with the source's received time and size (and flags,
// where two such are there) that no other entry names. A server gives a
// moved message a name of its own; the source's key is tried first, as
// Maildir keeps it.
std::optional<std::string> FindMoved(ItemStore::Handle& h, const MappedNamespaces::Node& to,
                                     const MoveEntry& e, const MailMove& m) {
    const auto fits = [&](const MailStoreMessage& msg, bool sameFlags) {
        if (msg.received != m.received || msg.size != e.size) return false;
        if (sameFlags && msg.flags != m.flags) return false;
        auto s = h.db.Cached(
            "SELECT 1 FROM moves WHERE destination_path = ?1 AND destination_key = ?2"
            " AND id <> ?3 AND restored_at IS NULL");
        s.Bind(1, JoinPath(m.destinationPath)).Bind(2, msg.key).Bind(3, e.entry);
        const bool claimed = s.Step();
        s.Reset();
        return !claimed;
    };
    if (const auto same = to.backend->Message(to.folder, m.sourceKey); same && fits(*same, true))
        return same->key;
    const auto listed = to.backend->Messages(to.folder);
    for (const bool sameFlags : {true, false}) {
        for (const auto& msg : listed) {
            if (fits(msg, sameFlags)) return msg.key;
        }
    }
    return std::nullopt;
}

void LocateMailMove(ItemStore& store, ItemStore::Handle& h, MoveEntry& e, const MailMove& m) {
    MappedNamespaces& mapped = h.mapped;
    e.currentFolder.reset();
    e.received.reset();
    // Its outcome not heard: a source still there did not move. (Looked at
    // before the destination's node is held: a lookup may move the nodes.)
    const bool unheard = m.underWay == 1 && !e.restoredAt;
    if (unheard && MailSourceThere(store, mapped, e, m)) {
        e.restoredAt = e.movedAt;
        return;
    }
    const auto folder = store.Lookup(m.destinationPath);
    if (!folder || !folder->foreign || !folder->IsFolder()) return;
    e.destinationFolder = folder->id;
    // A move cut short before its key was written kept the source's key.
    e.destinationName = m.destinationKey.value_or(m.sourceKey);
    const auto& node = mapped.Require(folder->id, "locate moved message");
    if (unheard && !m.destinationKey) {
        const auto found = FindMoved(h, node, e, m);
        if (!found) return;
        e.destinationName = *found;
    }
    const auto msg = node.backend->Message(node.folder, e.destinationName);
    // Without the destination's key, a file of the source's key is the moved
    // message only when it has its received time and size: another message
    // that had that name (the move then chose a new one) is left alone.
    if (msg && !m.destinationKey && (msg->received != m.received || msg->size != e.size)) return;
    if (msg) {
        e.currentFolder = folder->id;
        e.received = msg->received;
    }
}

}  // namespace

void ItemStore::LocateMailMove(MoveEntry& e, const MailMove& m) {
    if (m.plannedKey) {
        LocateCrossMove(e, m);
        return;
    }
    localplatform::LocateMailMove(*this, *h_, e, m);
}

void ItemStore::SettleMailMove(MoveEntry& e, MailMove& m) {
    if (m.underWay != 1) return;
    if (MailSourceThere(*this, h_->mapped, e, m)) {
        // It did not move: the entry goes, as the move's did.
        Committed(*this, *h_,
                  [&] { h_->db.Cached("DELETE FROM moves WHERE id = ?1").Bind(1, e.entry).Run(); });
        m.underWay = 0;
        e.restoredAt = e.movedAt;
        return;
    }
    std::optional<std::string> key = m.destinationKey;
    if (!key) {
        if (const auto* to = MailFolderAt(*this, h_->mapped, m.destinationPath))
            key = FindMoved(*h_, *to, e, m);
    }
    // Found, its key is recorded; else it is in neither (deleted meanwhile),
    // and the entry says it moved, as it did.
    Committed(*this, *h_, [&] {
        auto u = h_->db.Cached(
            "UPDATE moves SET under_way = NULL, destination_key = coalesce(?2, destination_key),"
            " destination_name = coalesce(?2, destination_name) WHERE id = ?1");
        u.Bind(1, e.entry);
        BindOptional(u, 2, key).Run();
    });
    m.underWay = 0;
    m.destinationKey = key;
}

void ItemStore::SettleEntry(int64_t entry) {
    std::optional<std::pair<MoveEntry, MailMove>> found;
    {
        const ScopedRead together(*this);
        auto s = h_->db.Cached("SELECT " + MoveColumns(h_->version) + " WHERE m.id = ?1");
        s.Bind(1, entry);
        if (s.Step()) {
            MoveEntry e = MoveEntryOf(s);
            if (auto m = MailMoveOf(s, e)) found.emplace(e, *m);
        }
        s.Reset();
    }
    if (found) SettleUnderWay(found->first, found->second);
}

void ItemStore::SettleUnderWay(MoveEntry& e, MailMove& m) {
    if (m.plannedKey) {
        SettleCrossMove(e, m);
    } else {
        SettleMailMove(e, m);
    }
}

RestoreResult ItemStore::RestoreMailMove(MoveEntry e, const MailMove& settled) {
    if (settled.plannedKey) return RestoreCrossMove(e, settled);
    MailMove m = settled;
    // Its outcome not heard: settled first (a move that did not happen
    // reads as put back).
    if (!e.restoredAt) SettleMailMove(e, m);
    if (e.restoredAt) return {RestoreOutcome::kAlreadyRestored, {}};
    LocateMailMove(e, m);
    if (e.laterRun != 0) return {RestoreOutcome::kMovedLater, {}};
    const auto source = Lookup(e.sourcePath);
    if (!source || !source->foreign || !source->IsFolder())
        return {RestoreOutcome::kSourceFolderGone, {}};
    if (!e.currentFolder) return {RestoreOutcome::kNotInDestination, {}};
    const auto src = *h_->mapped.Find(source->id);
    const auto dst = *h_->mapped.Find(*e.currentFolder);
    if (src.backend != dst.backend) return {RestoreOutcome::kSourceFolderGone, {}};
    std::string key;
    if (src.backend->Message(src.folder, m.sourceKey)) {
        // Both copies (a move between file systems cut short after the
        // copy, as an older release made it): the source's stays, the copy
        // goes.
        (void)dst.backend->Delete(dst.folder, e.destinationName);
        dst.backend->Flush();
        key = m.sourceKey;
    } else if (auto back = dst.backend->Move(dst.folder, e.destinationName, src.folder)) {
        // Back with its received time and flags: a move keeps both.
        key = std::move(*back);
    } else {
        // No one step back (the folders are on two file systems now, or
        // the move was a copy of an older release): the put-back copies,
        // then removes, as a move between stores does, the entry naming
        // the copy it put back.
        Committed(*this, *h_, [&] {
            auto u = h_->db.Cached(
                "UPDATE moves SET planned_key = ?2, destination_key = ?2, destination_name = ?2"
                " WHERE id = ?1");
            u.Bind(1, e.entry).Bind(2, e.destinationName).Run();
        });
        MailMove cross = m;
        cross.plannedKey = e.destinationName;
        cross.destinationKey = e.destinationName;
        return RestoreCrossMove(e, cross);
    }
    FlushBatch();
    SqliteDb::Transaction tx(h_->db);
    auto u = h_->db.Cached("UPDATE moves SET restored_at = ?2 WHERE id = ?1");
    u.Bind(1, e.entry).Bind(2, NowSeconds()).Run();
    tx.Commit();
    return {RestoreOutcome::kRestored, key};
}

// ---------------------------------------------------------------- moves between two stores

namespace {

std::optional<MailStoreMessage> FindAt(const StoreEnd& end, const std::string& key) {
    return end.backend->Message(end.mailFolder, key);
}

// The copy that a move (or a put back) cut short may have left at end under
// the plan planned, with the original's received time: a message of the
// plan with the original's bytes (when they are known: else only one of
// the planned key itself).
std::optional<std::string> FindCopy(const StoreEnd& end, const std::string& planned,
                                    int64_t received, const std::optional<std::string>& original) {
    for (const auto& m : end.backend->AppendedSince(end.mailFolder, planned)) {
        if (m.received != received) continue;
        if (original ? SameMessage(end.backend->Content(end.mailFolder, m.key), *original)
                     : m.key == planned)
            return m.key;
    }
    return std::nullopt;
}

// Removes message key from end, durably.
void RemoveAt(const StoreEnd& end, const std::string& key) {
    (void)end.backend->Delete(end.mailFolder, key);
    end.backend->Flush();
}

// The manifest also knows a copy in the item store by its id, so that a
// later move of that item (a row moved between folders) is seen.
int64_t ItemIdAt(ItemStoreFolders& own, const StoreEnd& end, const std::string& key) {
    return end.recorded != 0 ? own.ItemId(end.mailFolder, key) : 0;
}

// The message key the entry's source had.
const std::string& SourceKeyOf(const MoveEntry& e, const MailMove& m) {
    // An item store's message was recorded by its name alone before keys
    // were recorded for every source.
    return m.sourceKey.empty() ? e.sourceName : m.sourceKey;
}

}  // namespace

ItemRow ItemStore::MoveAcrossStores(int64_t id, int64_t fromFolder, int64_t toFolder, int64_t run,
                                    const std::vector<std::string>* sourcePath, int64_t replaces) {
    if (InTransaction()) {
        throw Error(err::kAdoFeatureNotAvailable,
                    platform::Describe("move item", std::to_string(id),
                                       "a move between two stores copies, then removes: it "
                                       "cannot be part of a transaction",
                                       err::kAdoFeatureNotAvailable));
    }
    // Both ends are copied out: the mapped nodes may move as rows are
    // registered.
    ItemStoreFolders own(*this, *h_);
    const Moving source = MessageToMove(*this, *h_, own, id, fromFolder, sourcePath);
    const StoreEnd& from = source.from;
    const std::string& sourceKey = source.key;
    StoreEnd to;
    try {
        to = EndAtFolder(*this, *h_, own, toFolder, nullptr);
    } catch (const Error& e) {
        throw Error(e.Number(), platform::Describe("move item", from.Shown(sourceKey),
                                                   "the destination is no folder", e.Number()));
    }
    const auto failed = [&](const Error& e) {
        return Error(e.Number(),
                     platform::Describe("move item", from.Shown(sourceKey) + " to " + to.Shown(),
                                        e.Description(), e.Number()));
    };

    // A message larger than the bound stays where it is, said (a run passes
    // over it and goes on), before anything is recorded: by its listed size
    // before a byte is read, else when the spool reaches the bound.
    const auto tooLarge = [&](const std::string& size) {
        return Error(err::kFileTooLarge,
                     platform::Describe("move item", from.Shown(sourceKey) + " to " + to.Shown(),
                                        "the message is " + size +
                                            ", more than a copy between stores takes "
                                            "(store.max_copy_bytes = " +
                                            std::to_string(h_->maxCopyBytes) + "); it stays",
                                        err::kFileTooLarge));
    };
    if (source.listedSize > h_->maxCopyBytes)
        throw tooLarge(std::to_string(source.listedSize) + " bytes");
    // The bytes go through a spool file, never whole in memory.
    std::optional<MessageSpool> bytes;
    std::string planned;
    try {
        bytes.emplace(PlatformConfig::Current().TempDir(), h_->maxCopyBytes);
        from.backend->ContentInto(from.mailFolder, sourceKey, *bytes);
        planned = to.backend->PlanAppend(to.mailFolder, "", *bytes);
    } catch (const Error& e) {
        if (e.Number() == err::kFileTooLarge && bytes) {
            throw tooLarge("over " + std::to_string(h_->maxCopyBytes) + " bytes (listed as " +
                           std::to_string(source.listedSize) + ")");
        }
        throw failed(e);
    }
    const int64_t size = bytes->Size();
    int64_t entry = 0;
    if (run != 0) {
        // The entry, naming the copy by its plan, is committed before the
        // copy is made: a crash after it leaves an entry that finds the
        // message in either store, or in both.
        Committed(*this, *h_, [&] {
            auto e = h_->db.Cached(
                "INSERT INTO moves(run, item, source_folder, source_path, source_name,"
                " destination_folder, destination_name, size, moved_at, source_key,"
                " destination_path, received, flags, planned_key, under_way)"
                " VALUES(?1, 0, ?2, ?3, ?4, ?5, '', ?6, ?7, ?4, ?8, ?9, ?10, ?11, 1)");
            e.Bind(1, run).Bind(2, from.recorded).Bind(3, JoinPath(from.path)).Bind(4, sourceKey);
            e.Bind(5, to.recorded).Bind(6, size).Bind(7, NowSeconds()).Bind(8, JoinPath(to.path));
            e.Bind(9, source.received).Bind(10, source.flags).Bind(11, planned).Run();
            entry = h_->db.LastInsertId();
            if (replaces != 0)
                h_->db.Cached("DELETE FROM moves WHERE id = ?1").Bind(1, replaces).Run();
        });
    }
    std::string key;
    try {
        key = to.backend->AppendPlannedFrom(to.mailFolder, planned, *bytes, source.received,
                                            source.flags);
    } catch (const Error& e) {
        if (entry != 0) {
            // The store may have taken the copy before it failed (an APPEND
            // whose reply was lost, a folder's sync failing after the
            // rename): settled from what the two folders hold, now if the
            // store answers.
            try {
                SettleEntry(entry);
            } catch (const Error&) {
                // It stays under way, naming its plan: the next run or undo
                // finds the source, the copy or both, and settles it.
            }
        }
        throw failed(e);
    }
    try {
        if (entry != 0) {
            // The copy's key is committed before the source goes.
            Committed(*this, *h_, [&] {
                auto u = h_->db.Cached(
                    "UPDATE moves SET destination_key = ?2, destination_name = ?2, item = ?3"
                    " WHERE id = ?1");
                u.Bind(1, entry).Bind(2, key).Bind(3, ItemIdAt(own, to, key)).Run();
            });
        }
        RemoveAt(from, sourceKey);
        if (entry != 0) {
            BatchWrite();
            h_->db.Cached("UPDATE moves SET under_way = NULL WHERE id = ?1").Bind(1, entry).Run();
            BatchTick();
        }
    } catch (const Error& e) {
        // Both are there; the entry, under way, names both: the next run
        // finishes the move, undo keeps the source.
        throw failed(e);
    }
    return RowOfMessage(toFolder, MailStoreMessage{key, source.received, size, source.flags});
}

void ItemStore::LocateCrossMove(MoveEntry& e, const MailMove& m) {
    e.currentFolder.reset();
    e.received.reset();
    ItemStoreFolders own(*this, *h_);
    const auto from = EndOf(*this, *h_, own, e.sourceFolder, e.sourcePath);
    const auto to = EndOf(*this, *h_, own, m.destinationFolder, m.destinationPath);
    e.destinationFolder = to ? to->folder : m.destinationFolder;
    if (e.restoredAt) return;
    std::optional<std::string> key = m.destinationKey;
    if (m.underWay == 1) {
        // Cut short: the source may still be there, the copy too.
        const std::string& sourceKey = SourceKeyOf(e, m);
        const auto source = from ? FindAt(*from, sourceKey) : std::nullopt;
        if (!key && to) {
            key =
                FindCopy(*to, *m.plannedKey, m.received,
                         source ? std::optional(from->backend->Content(from->mailFolder, sourceKey))
                                : std::nullopt);
        }
        // Never copied: it is where it was, as if put back.
        if (source && !(key && to && FindAt(*to, *key))) {
            e.restoredAt = e.movedAt;
            return;
        }
    }
    if (!key || !to) return;
    e.destinationName = *key;
    if (const auto msg = FindAt(*to, *key)) {
        e.currentFolder = to->folder;
        e.received = msg->received;
    }
}

void ItemStore::SettleCrossMove(MoveEntry& e, MailMove& m) {
    ItemStoreFolders own(*this, *h_);
    const auto from = EndOf(*this, *h_, own, e.sourceFolder, e.sourcePath);
    const auto to = EndOf(*this, *h_, own, m.destinationFolder, m.destinationPath);
    const auto update = [&](const std::string& set) {
        h_->db.Cached("UPDATE moves SET " + set + " WHERE id = ?1").Bind(1, e.entry).Run();
    };
    if (m.underWay == 1) {
        const std::string& sourceKey = SourceKeyOf(e, m);
        const bool sourceThere = from && FindAt(*from, sourceKey);
        std::optional<std::string> key = m.destinationKey;
        if (!key && to) {
            key = FindCopy(*to, *m.plannedKey, m.received,
                           sourceThere
                               ? std::optional(from->backend->Content(from->mailFolder, sourceKey))
                               : std::nullopt);
        }
        m.underWay = 0;
        if (!(key && to && FindAt(*to, *key))) {
            // Never copied: the message stays where it was, and the entry
            // goes (a move that did not happen); with neither, it is gone.
            Committed(*this, *h_, [&] {
                if (sourceThere) {
                    h_->db.Cached("DELETE FROM moves WHERE id = ?1").Bind(1, e.entry).Run();
                } else {
                    update("under_way = NULL");
                }
            });
            return;
        }
        // Copied: the copy's key is recorded, then the source goes.
        if (!m.destinationKey) {
            Committed(*this, *h_, [&] {
                auto u = h_->db.Cached(
                    "UPDATE moves SET destination_key = ?2, destination_name = ?2, item = ?3"
                    " WHERE id = ?1");
                u.Bind(1, e.entry).Bind(2, *key).Bind(3, ItemIdAt(own, *to, *key)).Run();
            });
        }
        if (sourceThere) RemoveAt(*from, sourceKey);
        Committed(*this, *h_, [&] { update("under_way = NULL"); });
        m.destinationKey = key;
        return;
    }
    if (m.underWay != 2) return;
    // A put back cut short.
    const std::optional<std::string>& key = m.destinationKey;
    const bool copyThere = key && to && FindAt(*to, *key);
    if (!e.restoredAt) {
        std::optional<std::string> back;
        if (from && m.restoreKey) {
            back = FindCopy(*from, *m.restoreKey, m.received,
                            copyThere ? std::optional(to->backend->Content(to->mailFolder, *key))
                                      : std::nullopt);
        }
        if (!back) {
            // Not put back: the message is where the move put it.
            Committed(*this, *h_, [&] { update("under_way = NULL, restore_key = NULL"); });
            m.underWay = 0;
            m.restoreKey.reset();
            return;
        }
        const int64_t now = NowSeconds();
        Committed(*this, *h_, [&] {
            auto u =
                h_->db.Cached("UPDATE moves SET restored_at = ?2, restore_key = ?3 WHERE id = ?1");
            u.Bind(1, e.entry).Bind(2, now).Bind(3, *back).Run();
        });
        e.restoredAt = now;
        m.restoreKey = back;
    }
    // Put back: the destination's copy goes.
    if (copyThere) RemoveAt(*to, *key);
    Committed(*this, *h_, [&] { update("under_way = NULL"); });
    m.underWay = 0;
}

RestoreResult ItemStore::RestoreCrossMove(MoveEntry e, MailMove m) {
    if (m.underWay == 2) {
        // A put back cut short: finished, or taken back and made again.
        SettleCrossMove(e, m);
        if (e.restoredAt) return {RestoreOutcome::kRestored, m.restoreKey.value_or("")};
    }
    if (e.restoredAt) return {RestoreOutcome::kAlreadyRestored, {}};
    ItemStoreFolders own(*this, *h_);
    const auto from = EndOf(*this, *h_, own, e.sourceFolder, e.sourcePath);
    const auto to = EndOf(*this, *h_, own, m.destinationFolder, m.destinationPath);
    const auto update = [&](const std::string& set) {
        h_->db.Cached("UPDATE moves SET " + set + " WHERE id = ?1").Bind(1, e.entry).Run();
    };
    const std::string& sourceKey = SourceKeyOf(e, m);
    std::optional<std::string> key = m.destinationKey;
    if (m.underWay == 1) {
        // A move cut short: the source is kept where it is still there.
        const bool sourceThere = from && FindAt(*from, sourceKey);
        if (!key && to) {
            key = FindCopy(*to, *m.plannedKey, m.received,
                           sourceThere
                               ? std::optional(from->backend->Content(from->mailFolder, sourceKey))
                               : std::nullopt);
        }
        const bool copyThere = key && to && FindAt(*to, *key);
        if (sourceThere) {
            if (copyThere) RemoveAt(*to, *key);
            const int64_t now = NowSeconds();
            Committed(*this, *h_, [&] {
                auto u = h_->db.Cached(
                    "UPDATE moves SET restored_at = ?2, under_way = NULL WHERE id = ?1");
                u.Bind(1, e.entry).Bind(2, now).Run();
            });
            if (!copyThere) return {RestoreOutcome::kAlreadyRestored, {}};
            return {RestoreOutcome::kRestored, e.sourceName};
        }
        if (!copyThere) {
            Committed(*this, *h_, [&] { update("under_way = NULL"); });
            return {RestoreOutcome::kNotInDestination, {}};
        }
        // Moved, the source removed: the move is done.
        Committed(*this, *h_, [&] {
            auto u = h_->db.Cached(
                "UPDATE moves SET destination_key = ?2, destination_name = ?2, item = ?3,"
                " under_way = NULL WHERE id = ?1");
            u.Bind(1, e.entry).Bind(2, *key).Bind(3, ItemIdAt(own, *to, *key)).Run();
        });
    }
    if (e.laterRun != 0) return {RestoreOutcome::kMovedLater, {}};
    if (!from) return {RestoreOutcome::kSourceFolderGone, {}};
    if (!to || !key || !FindAt(*to, *key)) return {RestoreOutcome::kNotInDestination, {}};
    const auto failed = [&](const Error& err) {
        return Error(err.Number(),
                     platform::Describe("put back", to->Shown(*key) + " to " + from->Shown(),
                                        err.Description(), err.Number()));
    };
    // The put back copies, then removes, as the move did: its copy's plan
    // is committed first, then the copy with its key, then the
    // destination's copy goes. Back under the old key when it is free.
    std::optional<MessageSpool> bytes;
    std::string planned;
    try {
        bytes.emplace(PlatformConfig::Current().TempDir());
        to->backend->ContentInto(to->mailFolder, *key, *bytes);
        planned = from->backend->PlanAppend(from->mailFolder, sourceKey, *bytes);
    } catch (const Error& err) {
        throw failed(err);
    }
    Committed(*this, *h_, [&] {
        auto u = h_->db.Cached("UPDATE moves SET under_way = 2, restore_key = ?2 WHERE id = ?1");
        u.Bind(1, e.entry).Bind(2, planned).Run();
    });
    m.underWay = 2;
    m.restoreKey = planned;
    std::string name;
    try {
        name = from->backend->AppendPlannedFrom(from->mailFolder, planned, *bytes, m.received,
                                                m.flags);
    } catch (const Error& err) {
        // Not put back, as far as is known: settled from what the two
        // folders hold (the store may have taken the copy before it
        // failed), now if they answer, else by the next undo or run.
        try {
            SettleCrossMove(e, m);
        } catch (const Error&) {
            // Under way, it names the copy planned: the next undo or run
            // finds it or none.
        }
        throw failed(err);
    }
    const int64_t now = NowSeconds();
    Committed(*this, *h_, [&] {
        auto u = h_->db.Cached("UPDATE moves SET restored_at = ?2, restore_key = ?3 WHERE id = ?1");
        u.Bind(1, e.entry).Bind(2, now).Bind(3, name).Run();
    });
    try {
        RemoveAt(*to, *key);
        Committed(*this, *h_, [&] { update("under_way = NULL"); });
    } catch (const Error& err) {
        // Put back; the copy left in the destination goes at the next undo
        // or run.
        throw failed(err);
    }
    return {RestoreOutcome::kRestored, name};
}

int64_t ItemStore::SettleMoves(const std::string& itemUrl) {
    if (h_->version < 5) return 0;
    const auto keyOf = [](const std::string& url) {
        try {
            return StoreRunLock::KeyFor(url);
        } catch (const Error&) {
            return url;
        }
    };
    const std::string wanted = keyOf(itemUrl);
    std::vector<std::pair<MoveEntry, MailMove>> under;
    {
        const ScopedRead together(*this);
        std::vector<int64_t> runs;
        auto r = h_->db.Cached(
            "SELECT id, item_url FROM runs WHERE id IN"
            " (SELECT run FROM moves WHERE under_way IS NOT NULL)");
        while (r.Step()) {
            if (keyOf(r.Text(1)) == wanted) runs.push_back(r.Int(0));
        }
        r.Reset();
        auto s = h_->db.Cached("SELECT " + MoveColumns(h_->version) +
                               " WHERE m.run = ?1 AND m.under_way IS NOT NULL ORDER BY m.id");
        for (const int64_t run : runs) {
            s.Reset();
            s.Bind(1, run);
            while (s.Step()) {
                MoveEntry e = MoveEntryOf(s);
                if (auto m = MailMoveOf(s, e); m && (m->plannedKey || m->underWay == 1))
                    under.emplace_back(e, *m);
            }
        }
        s.Reset();
    }
    int64_t settled = 0;
    std::optional<Error> first;
    for (auto& [e, m] : under) {
        try {
            SettleUnderWay(e, m);
            ++settled;
        } catch (const Error& err) {
            if (!first) first = err;
        }
    }
    if (first) throw *first;
    return settled;
}

// ---------------------------------------------------------------- runs

int64_t ItemStore::BeginRun(const std::string& itemUrl, int64_t started, bool moves,
                            int64_t above) {
    FlushBatch();
    SqliteDb::Transaction tx(h_->db);
    int64_t id = 0;
    {
        auto s = h_->db.Cached(
            "SELECT max(?1, IFNULL((SELECT max(id) FROM runs), 0),"
            " IFNULL((SELECT max(run) FROM moves), 0)) + 1");
        s.Bind(1, above);
        if (s.Step()) id = s.Int(0);
    }
    h_->db.Cached("INSERT INTO runs(id, item_url, started, moves) VALUES(?1, ?2, ?3, ?4)")
        .Bind(1, id)
        .Bind(2, itemUrl)
        .Bind(3, started)
        .Bind(4, int64_t{moves ? 1 : 0})
        .Run();
    tx.Commit();
    return id;
}

std::optional<StoreRun> ItemStore::Run(int64_t id) {
    if (h_->version < 3) return std::nullopt;  // an older store read as it stands
    auto s = h_->db.Cached("SELECT id, item_url, started, moves FROM runs WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return StoreRun{s.Int(0), s.Text(1), s.Int(2), s.Int(3) != 0};
}

std::vector<MoveEntry> ItemStore::MovesOfRun(int64_t run, int64_t afterEntry, int64_t limit) {
    if (h_->version < 2) return {};  // an older store read as it stands: no manifest
    const ScopedRead together(*this);
    std::vector<MoveEntry> entries;
    auto s = h_->db.Cached("SELECT " + MoveColumns(h_->version) +
                           " WHERE m.run = ?1 AND m.id > ?2 ORDER BY m.id LIMIT ?3");
    s.Bind(1, run).Bind(2, afterEntry).Bind(3, limit > 0 ? limit : int64_t{-1});
    std::vector<std::pair<size_t, MailMove>> mail;
    while (s.Step()) {
        entries.push_back(MoveEntryOf(s));
        if (auto m = MailMoveOf(s, entries.back())) mail.emplace_back(entries.size() - 1, *m);
    }
    s.Reset();
    // Where a mail store's message is now is the mail store's to say.
    for (const auto& [at, m] : mail) LocateMailMove(entries[at], m);
    return entries;
}

RestoreResult ItemStore::RestoreMove(int64_t entry) {
    // Whatever a batch holds is committed first: each message put back is
    // a commit of its own.
    FlushBatch();
    SqliteDb::Transaction tx(h_->db);
    std::optional<MoveEntry> e;
    std::optional<MailMove> mail;
    {
        auto s = h_->db.Cached("SELECT " + MoveColumns(h_->version) + " WHERE m.id = ?1");
        s.Bind(1, entry);
        if (s.Step()) {
            e = MoveEntryOf(s);
            mail = MailMoveOf(s, *e);
        }
    }
    if (!e) {
        throw Error(err::kNotFound, platform::Describe("put back moved item", std::to_string(entry),
                                                       "no such move recorded", err::kNotFound));
    }
    if (mail) {
        tx.Commit();  // nothing written: the mail store's move is a step of its own
        return RestoreMailMove(*e, *mail);
    }
    if (e->restoredAt) return {RestoreOutcome::kAlreadyRestored, {}};
    if (e->currentFolder != e->destinationFolder) return {RestoreOutcome::kNotInDestination, {}};
    if (e->laterRun != 0) return {RestoreOutcome::kMovedLater, {}};
    const auto source = Get(e->sourceFolder);
    if (!source || !source->IsFolder()) return {RestoreOutcome::kSourceFolderGone, {}};
    const std::string name = !e->sourceName.empty() && !Child(*h_, source->id, e->sourceName)
                                 ? e->sourceName
                                 : NewItemName(*h_);
    const int64_t now = NowSeconds();
    {
        // The row itself moves back: content, received time and
        // properties stay as they are.
        auto s = h_->db.Cached(
            "UPDATE items SET parent = ?2, name = ?3, key = ?4, modified = ?5"
            " WHERE id = ?1 AND parent = ?6 AND kind = 0");
        s.Bind(1, e->item).Bind(2, source->id).Bind(3, name).Bind(4, FoldName(name));
        s.Bind(5, now).Bind(6, e->destinationFolder).Run();
    }
    if (h_->db.Changes() != 1) return {RestoreOutcome::kNotInDestination, {}};
    {
        auto s = h_->db.Cached("UPDATE moves SET restored_at = ?2 WHERE id = ?1");
        s.Bind(1, entry).Bind(2, now).Run();
    }
    tx.Commit();
    return {RestoreOutcome::kRestored, name};
}

int64_t ItemStore::PruneMoves(int64_t movedBefore, int64_t limit) {
    FlushBatch();
    SqliteDb::Transaction tx(h_->db);
    {
        // The oldest first, read through the index by time: a manifest
        // with nothing old enough costs one probe, not a scan.
        auto s = h_->db.Cached(
            "DELETE FROM moves WHERE id IN (SELECT id FROM moves WHERE moved_at < ?1"
            " ORDER BY moved_at, id LIMIT ?2)");
        s.Bind(1, movedBefore).Bind(2, limit).Run();
    }
    const int64_t gone = h_->db.Changes();
    tx.Commit();
    return gone;
}

}  // namespace localplatform
