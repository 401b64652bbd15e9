// Which way a move goes, and the ends of a move between two stores: the
// item store's own folders through ItemStoreFolders, a mail store's through
// the mapped namespace's node.
#include "localplatform/store/item_store_ends.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/store/mapped_namespace.h"

namespace localplatform {

MoveWay WayBetween(const ItemStore::Handle& h, int64_t id, int64_t toFolder) {
    const bool fromMailStore = MappedNamespaces::IsMapped(id);
    const bool toMailStore = MappedNamespaces::IsMapped(toFolder);
    if (!fromMailStore && !toMailStore) return MoveWay::kRow;
    if (!fromMailStore || !toMailStore) return MoveWay::kAcrossStores;
    // Both in mail stores: two stores only when both are known and differ
    // (a message or folder not known is the mail store's move to refuse).
    const auto* src = h.mapped.Find(id);
    const auto* dst = h.mapped.Find(toFolder);
    if (src != nullptr && dst != nullptr && dst->row.kind != ItemKind::kItem &&
        src->backend != dst->backend)
        return MoveWay::kAcrossStores;
    return MoveWay::kWithinMailStore;
}

std::string StoreEnd::Shown(const std::string& key) const {
    return platform::VisibleText(JoinPath(path) + (key.empty() ? "" : "/" + key)) + " (" +
           backend->Describe() + ")";
}

// A mapped namespace's node, or the item store's own folder.
StoreEnd EndAtFolder(ItemStore& store, ItemStore::Handle& h, ItemStoreFolders& own, int64_t folder,
                     const std::vector<std::string>* path) {
    StoreEnd end;
    end.folder = folder;
    if (MappedNamespaces::IsMapped(folder)) {
        const auto* node = h.mapped.Find(folder);
        if (node == nullptr || node->row.kind == ItemKind::kItem) {
            throw Error(err::kNotFound, platform::Describe("open folder", std::to_string(folder),
                                                           "no such folder", err::kNotFound));
        }
        end.backend = node->backend;
        end.mailFolder = node->folder;
        end.path = node->urlPath;
        return end;
    }
    (void)RequireFolder(store, folder);
    end.recorded = folder;
    end.path = path != nullptr ? *path : store.PathOf(folder);
    end.backend = &own;
    end.mailFolder = ItemStoreFolders::FolderAt(end.path);
    return end;
}

std::optional<StoreEnd> EndOf(ItemStore& store, ItemStore::Handle& h, ItemStoreFolders& own,
                              int64_t recorded, const std::vector<std::string>& path) {
    std::optional<ItemRow> row = recorded != 0 ? store.Get(recorded) : store.Lookup(path);
    if (!row || !row->IsFolder() || row->foreign != (recorded == 0)) return std::nullopt;
    if (recorded == 0) (void)h.mapped.Require(row->id, "locate moved message");
    return EndAtFolder(store, h, own, row->id, nullptr);
}

Moving MessageToMove(ItemStore& store, ItemStore::Handle& h, ItemStoreFolders& own, int64_t id,
                     int64_t fromFolder, const std::vector<std::string>* sourcePath) {
    Moving m;
    if (MappedNamespaces::IsMapped(id)) {
        const auto* src = h.mapped.Find(id);
        if (src == nullptr || src->row.kind != ItemKind::kItem || src->row.parent != fromFolder)
            NoLongerInFolder(id);
        m.key = src->key;
        m.received = src->row.received.value_or(0);
        m.listedSize = src->row.size;
        m.flags = src->flags;
    } else {
        const auto row = store.Get(id);
        if (!row || row->IsFolder() || row->parent != fromFolder) NoLongerInFolder(id);
        m.key = row->name;
        m.received = row->received.value_or(0);
        m.listedSize = row->size;
    }
    m.from = EndAtFolder(store, h, own, fromFolder, sourcePath);
    return m;
}

ItemRow ItemStore::RowOfMessage(int64_t folder, const MailStoreMessage& message) {
    if (MappedNamespaces::IsMapped(folder)) return h_->mapped.MessageRow(folder, message);
    auto row = Child(*h_, folder, message.key);
    if (!row) {
        throw Error(err::kNotFound, platform::Describe("move item", message.key,
                                                       "the copy vanished", err::kNotFound));
    }
    return *row;
}

}  // namespace localplatform
