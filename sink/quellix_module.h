// QuellixModule: the run driver of the cleanup sink and the state of a run.
// A run's state is one object, RunState, made by RunCleanup and passed to
// every procedure of the run; nothing of it is reached for. What the module
// keeps on a thread from one run to the next (the report recipient and the
// server's names) is a ThreadState, owned by the entry point of that thread
// and passed in as well.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "selection/destination.h"
#include "selection/server_names.h"

namespace quellix {

class RunLog;
class RunRecord;

// What a thread keeps for a run and after it. The class is
// apartment-threaded: each thread of the hosting process has its own.
struct ThreadState {
    // The report recipient of the run; empty when it could not be read, so
    // that no report goes to the recipient of an earlier run.
    std::string ReportRecipient;
    // Rebuilt by every run; kept for whoever looks after the run.
    ServerNames server;
};

// One cleanup run: its log, the thread's kept state, and where it moves
// messages. Made by RunCleanup; procedures that only read it take it const
// (its log stays writable).
struct RunState {
    RunLog& log;
    ThreadState& thread;
    RunRecord& record;  // the run's record in the history
    MoveDestination move;
};

// True when itemUrl names an item below a mailbox: ".../MBX/<alias>/...".
bool IsMailboxItemUrl(const std::string& itemUrl);

// One cleanup run for the registration item at itemUrl: reads the run
// parameters from the item, decides whether today is a run day, resolves the
// destination when moving, sweeps the mailboxes and logs how many it treated,
// all into log. Begins record once the parameters are read (or could not
// be), with them; marks it due on a run day and counts its mailboxes; each
// mailbox's folder goes into it as it is swept. Sets thread's server names, and its ReportRecipient
// when the item has one. Every failing step is passed over (the next one runs); flags is not used.
// Returns nothing when the run took its course (due or not), or the first failure that stopped it
// or part of it: the store or the registration item cannot be read, itemUrl names no item in a
// mailbox, the destination or the directory fails. Each is also in the log, as an error entry
// naming what failed, except the item URL (the log then holds only its frame). Raises the log's
// failure when the log cannot be written.
[[nodiscard]] std::optional<platform::Error> RunCleanup(ThreadState& thread, RunLog& log,
                                                        RunRecord& record,
                                                        const std::string& itemUrl, int32_t flags);

}  // namespace quellix
