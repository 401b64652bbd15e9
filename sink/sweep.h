// The folder sweep: the step of a run that changes mailbox contents.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/date.h"
#include "sink/quellix_module.h"

namespace quellix {

// Selects the messages of the folder at folderUrl (traversal "shallow": the
// folder only; "deep": with every folder below it) that are not hidden and
// were received at or before cutoff (UTC), and deletes them, or moves them
// into the destination Inbox when run.move.MoveTarget is set. Logs one
// summary line, or the error entry when logErrors is set, to run.log. Returns the number of
// messages selected, or -1 when the folder was not treated at this URL (the folder is missing, the
// query failed, or a message could not be deleted or moved: those treated before stay so, the rest
// stay in place), with what was removed and why it stopped. A message the store cannot read (a
// received time out of range) is passed over with an error entry, and the rest are swept; the
// summary line counts what was removed. A selected message another program
// took (or renamed past finding) before it was deleted is not counted, and
// a line says how many there were. A move is recorded in the store's manifest under the
// run's identity from the store (run.record), for putting it back; a run without one moves nothing.
//
// A move is one step of the store that keeps the message's bytes and
// received time: a failure or a crash at any moment leaves the source or
// the copy, never neither, and never both; a message another run moved or
// deleted meanwhile fails the move, copying nothing.
struct FolderSwept {
    // The messages selected; -1 when the folder was not treated at this URL.
    int32_t selected = -1;
    int32_t removed = 0;      // deleted or moved, also before a failure
    bool reached = false;     // the folder was there: its messages were being treated
    int64_t bytes = 0;        // their size
    std::string error;        // why it was not treated: "number description"
    int32_t errorNumber = 0;  // the same, apart
    std::string errorDescription;
};
FolderSwept SweepFolder(const RunState& run, const std::string& folderUrl, platform::Date cutoff,
                        bool logErrors, const std::string& traversal);

// Whether a folder not swept is a failure of the run. A mailbox or folder
// that does not exist is not: many users have no junk folder, and a mail
// server makes a mailbox at its first message. A server not reached, a
// refused login, a bad setting or a store fault is; and once the folder was
// reached, any error is (a message that could not be moved is no missing
// folder).
[[nodiscard]] bool IsSweepFailure(const FolderSwept& swept);

#ifdef QUELLIX_MOVE_FAULTS
// Test seam, only in the unit tests' build of these modules (never in
// Quellix.so): called for each move or delete just before the store moves
// or deletes the message, with its URL. A hook that raises makes that move
// fail as a store fault would. Empty by default; set by one test thread at a
// time.
void SetMoveFaultHook(std::function<void(const std::string& href)> hook);
#endif

}  // namespace quellix
