// What the run history says about the registration's health, for the status
// command: mailboxes that the last two due runs failed or did not reach, and
// a due run that did not happen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/run_history.h"

namespace setup {

// How long after a due instant a run may still start before it counts as
// missed (the event service's poll, a busy store, a slow start).
inline constexpr int64_t kDueRunGraceSeconds = int64_t{10} * 60;

// Whether a run was a due one: it ran on a run day and is over ("not a run
// day", "skipped" and a run still going are not).
[[nodiscard]] bool IsDueRun(const platform::RunSummary& run);

// A due run and its folders.
struct DueRun {
    platform::RunSummary run;
    std::vector<platform::RunFolderRecord> folders;
};

// A mailbox whose folder failed or was not reached on each of its last two
// due runs.
struct MailboxFlag {
    std::string mailbox;  // its address
    // Per run, newest first: "run 12: <folder URL>: <error>" or
    // "run 12: not reached".
    std::vector<std::string> reasons;
};

// Flags the mailboxes of lastTwo (the two newest due runs, newest first)
// whose folder failed on both, and those of selected (the addresses the run
// selects now) that have no folder on one of them and failed or were not
// reached on the other. Addresses compare without regard to case; the flags
// come in address order. Fewer than two runs flag nothing.
[[nodiscard]] std::vector<MailboxFlag> FlagMailboxes(const std::vector<DueRun>& lastTwo,
                                                     const std::vector<std::string>& selected);

// The latest instant at or before now (Unix seconds) at which the
// registration's timer fired on a run day: it fires daily at timeToRun
// ("7:05 PM", local time; UTC = local + biasMinutes), and run is 1 for every
// day, 2..8 for Sunday..Saturday. Nothing for "Never run" or a time that
// cannot be read.
[[nodiscard]] std::optional<int64_t> LastDueInstant(int run, std::string_view timeToRun,
                                                    int64_t now, double biasMinutes);

struct RunHealth {
    std::vector<MailboxFlag> mailboxes;
    // The last due instant, when no run started at or after it although its
    // grace has passed.
    std::optional<int64_t> missedRun;
    bool historyEmpty = true;
};

// Reads the history and checks both. A history with no run at all flags no
// missed run (nothing ran yet since the history was kept).
[[nodiscard]] RunHealth CheckRunHealth(const platform::RunHistoryReader& history,
                                       const std::vector<std::string>& selected, int run,
                                       std::string_view timeToRun, int64_t now, double biasMinutes);

}  // namespace setup
