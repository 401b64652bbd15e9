// The mailbox loop of a cleanup run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/date.h"
#include "sink/quellix_module.h"

namespace quellix {

// Asks the directory under searchRoot for every mailbox user, keeps those
// homed on this server (run.thread.server.ServerName) that the run treats (allMailboxes 1: all;
// else only those marked "Quellix" in extensionAttribute8), skips system
// mailboxes, records them in the run's record (all of them, before the
// first is swept), logs each treated mailbox and sweeps its folder folderName,
// trying up to eight URL forms (built from the server's names) until one is
// not refused; the sweeps delete or move as run.move says, and every line
// goes to run.log. The store commits the sweeps' writes together over many
// folders; their lines and their folders in the run's record wait for that
// commit (SweepCommits). With more than one worker (platform::StoreRunWorkers)
// the mailboxes are swept several at once, each committed as it ends, and
// the log and the record still tell them one after the other in the
// directory's order, each as one worker would. Returns the number of
// mailboxes treated. A setting of the workers the platform refuses ends
// the run before any mailbox, as an error entry. A directory
// failure ends the loop: it is logged as an error entry naming searchRoot, and
// returned with the number treated so far. Raises the log's failure when the
// log cannot be written.
struct MailboxesTreated {
    int32_t count = 0;
    std::optional<platform::Error> failure;  // the directory failure that ended the loop
};
MailboxesTreated ProcessMailboxes(const RunState& run, const std::string& searchRoot,
                                  const std::string& folderName, platform::Date cutoff,
                                  int16_t allMailboxes, const std::string& traversal);

}  // namespace quellix
