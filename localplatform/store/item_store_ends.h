// The ends of a move, for the item store's move code: which way a move
// between two folders goes, and each end of a move between two stores
// behind the mail-store interface. This is the one place that asks whether
// a folder or a message is the item store's own or a mail store's; the
// moves, their settling and undo work on what it gives.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "localplatform/store/item_store.h"
#include "localplatform/store/item_store_folders.h"
#include "localplatform/store/item_store_internal.h"
#include "localplatform/store/mail_store.h"

namespace localplatform {

// How a message goes from one folder to another: the item store's own one
// step (its row changes folder, with its entry in the same transaction),
// one mail store's own step (a rename, a UID MOVE; the store may still say
// it has none), or a copy between two stores.
enum class MoveWay { kRow, kWithinMailStore, kAcrossStores };
MoveWay WayBetween(const ItemStore::Handle& h, int64_t id, int64_t toFolder);

// One end of a move between two stores: a folder of the item store or of a
// mail store, each behind the mail-store interface (the item store's own
// through ItemStoreFolders), so that no step of the move asks which.
struct StoreEnd {
    int64_t folder = 0;  // its id (a mail store's: negative)
    // How the manifest's folder columns name it: the item store's folder by
    // its id; 0 for a mail store's, found again by its path.
    int64_t recorded = 0;
    std::vector<std::string> path;  // its path from the root
    MailStore* backend = nullptr;
    MailFolder mailFolder;

    // The folder (and the message key) as errors name it.
    [[nodiscard]] std::string Shown(const std::string& key = "") const;
};

// The end at a folder (its path given, or looked up).
StoreEnd EndAtFolder(ItemStore& store, ItemStore::Handle& h, ItemStoreFolders& own, int64_t folder,
                     const std::vector<std::string>* path);

// An end of a manifest entry's move as it is now: nothing when its folder
// is gone (the item store's by the id recorded, a mail store's by its
// path).
std::optional<StoreEnd> EndOf(ItemStore& store, ItemStore::Handle& h, ItemStoreFolders& own,
                              int64_t recorded, const std::vector<std::string>& path);

// The message a move takes, as it stands in its folder.
struct Moving {
    StoreEnd from;
    std::string key;
    int64_t received = 0;
    int64_t listedSize = 0;
    std::string flags;
};
Moving MessageToMove(ItemStore& store, ItemStore::Handle& h, ItemStoreFolders& own, int64_t id,
                     int64_t fromFolder, const std::vector<std::string>* sourcePath);

}  // namespace localplatform
