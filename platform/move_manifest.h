// The move manifest: what a move run moved, kept in the store with each move
// (written in the move's own transaction), and putting those messages back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/date.h"
#include "platform/ado.h"

namespace platform {

// The identity of a run of the registration item at itemUrl that starts
// now: handed out by this server's store, which keeps the move manifest, so
// that no two runs of it ever share one (a history removed or replaced
// makes no difference); above is the lowest it may be less one (the highest
// id a history knows). moves says whether the run moves expired messages.
// Raises platform::Error when the store cannot be written.
int64_t BeginStoreRun(const std::string& itemUrl, bool moves, int64_t above);

// A run as the store knows it.
struct StoreRunInfo {
    int64_t id = 0;
    std::string itemUrl;
    bool moves = false;  // it moved expired messages (else it deleted them)
};
// The run the store gave the identity run; nothing for one it did not (a
// run from before the store handed identities out). Raises platform::Error
// when the store cannot be read.
std::optional<StoreRunInfo> StoreRunOf(int64_t run);

// Moves the message at sourceUrl into the folder at destinationFolderUrl
// exactly as Record::MoveRecord does (URLs of either scheme, the message's
// bytes, received time and properties kept) and records the move under run
// (run 0 records nothing, as MoveRecord). Within the item store the move and
// its record are one transaction. A mail store's move is recorded before it
// acts: one step where the store has one (a rename, UID MOVE), else a copy,
// then the source's removal, each step recorded. Returns the moved message's
// URL in the destination's scheme. Raises platform::Error as MoveRecord
// does. A move that raises did not happen, or is recorded under way where
// the store may have acted, for the next run or undo to settle.
std::string MoveRecordForRun(const std::string& sourceUrl, const std::string& destinationFolderUrl,
                             int64_t run);

// Moves the current row of rs, a store query's rows, as MoveRecordForRun
// moves the message at the row's URL; the cursor stays on the row until
// MoveNext. A run moving a folder's messages is spared looking up both
// URLs of every message. False, as DeleteCurrent says it, when the row's
// message was no longer in its folder to move: taken by another program
// since the query, or renamed past finding by a mail server.
[[nodiscard]] bool MoveCurrentForRun(Recordset& rs, const std::string& destinationFolderUrl,
                                     int64_t run);

// One message a run moved.
struct MovedMessage {
    enum class State {
        kInDestination,  // still where the run put it
        kPutBack,        // put back since
        kGone,           // no longer in the destination folder: moved or deleted since
        kMovedLater,     // a later run moved it again (laterRun)
    };

    int64_t entry = 0;  // the manifest entry
    int64_t run = 0;
    std::string sourceFolderUrl;  // file:// URLs
    std::string sourceName;
    std::string sourceUrl;         // the folder's URL and the name
    std::string mailboxAlias;      // the source folder's mailbox
    std::string destinationUrl;    // the URL the move gave it
    int64_t size = 0;              // bytes, when moved
    std::optional<Date> received;  // UTC; none when the message is gone
    State state = State::kInDestination;
    int64_t laterRun = 0;
};

// The messages run moved, in the order it moved them: at most limit of
// them (0 = all) from the first after the entry afterEntry on, so that a
// large run is read a part at a time. None for a run that moved nothing or
// is unknown. Raises platform::Error when the store cannot be read.
std::vector<MovedMessage> MovedMessagesOfRun(int64_t run, int64_t afterEntry = 0,
                                             int64_t limit = 0);

// What putting one message back did.
struct PutBackResult {
    enum class Outcome {
        kPutBack,
        kAlreadyPutBack,
        kGone,              // no longer in the destination folder; left alone
        kMovedLater,        // a later run moved it again; left alone
        kSourceFolderGone,  // its folder no longer exists; left where it is
    };
    Outcome outcome = Outcome::kPutBack;
    std::string url;  // where it is now, when put back
};

// Forgets the manifest entries of moves older than the platform
// configuration's "store.move_manifest_keep_days" (default 90; 0 keeps
// every entry), a part at a time, each part a transaction of its own so
// that other users of the store wait only briefly. Returns how many went.
// Raises platform::Error for a setting that is no whole number of days and
// when the store fails. A move run calls it when it begins.
int64_t PruneMoveManifest();

// Settles the moves between two stores (the item store and a mail store, or
// two mail stores, which copy, then remove) that earlier runs of the
// registration item at itemUrl left under way when they were killed or
// crashed, so that each message is kept exactly once: where the run put it
// when its copy was made (the source still there is removed), else where it
// was. Every run of the registration, moving or deleting, calls it when it
// begins, holding the registration's run lock. Returns how many it settled.
// Raises platform::Error with the first failure (a mail server down); the
// other entries are settled all the same.
int64_t SettleInterruptedMoves(const std::string& itemUrl);

// Puts the message back into its source folder, as the move went: in one
// step where the store has one, else a copy, then the destination's removed,
// each step recorded first, so that a put back cut short is finished or
// taken back by the next undo or run. Only when the message is still in
// the destination folder and no later run moved it; under its old name when
// that is free, else a new unique one. Raises platform::Error naming the
// message's URL when the store fails.
PutBackResult PutBackMovedMessage(const MovedMessage& message);

}  // namespace platform
