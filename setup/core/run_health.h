// What the run history says about the registration's health, for the status
// command: the registration's last run and its next, mailboxes that the last
// two due runs failed or did not reach, and a due run that did not happen.
// Only the registration's own runs count (runs of other items, fired by
// hand, do not), each judged against what it selected when it ran.
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

// A due run, its folders, and the mailboxes it selected when it recorded
// them (a run that stopped before it asked the directory selected none it
// could tell; a run from before selections were recorded neither).
struct DueRun {
    platform::RunSummary run;
    std::vector<platform::RunFolderRecord> folders;
    std::optional<std::vector<platform::RunSelectedMailbox>> selection;
};

// A mailbox whose folder failed or was not reached on each of its last two
// due runs.
struct MailboxFlag {
    std::string address;  // empty when the mailbox has none
    std::string name;     // its name, as the run found it
    // Per run, newest first: "run 12: <folder URL>: <error>" or
    // "run 12: not reached".
    std::vector<std::string> reasons;
};

// Flags the mailboxes of lastTwo (the two newest due runs, newest first)
// that, on both, had a folder that failed, or were selected by the run and
// have no folder in it. A run without a recorded selection judges only the
// folders it recorded. Mailboxes are told apart by address (without regard
// to case), one without an address by its name; the flags come in that
// order. Fewer than two runs flag nothing.
[[nodiscard]] std::vector<MailboxFlag> FlagMailboxes(const std::vector<DueRun>& lastTwo);

// The latest instant at or before now (Unix seconds) at which the
// registration's timer fired on a run day: it fires daily at timeToRun
// ("7:05 PM", local time; UTC = local + biasMinutes), and run is 1 for every
// day, 2..8 for Sunday..Saturday. Nothing for "Never run" or a time that
// cannot be read.
[[nodiscard]] std::optional<int64_t> LastDueInstant(int run, std::string_view timeToRun,
                                                    int64_t now, double biasMinutes);
// The first instant after now at which that timer fires on a run day;
// nothing for "Never run" or a time that cannot be read.
[[nodiscard]] std::optional<int64_t> NextDueInstant(int run, std::string_view timeToRun,
                                                    int64_t now, double biasMinutes);

struct RunHealth {
    std::optional<platform::RunSummary> lastRun;  // the registration's newest run
    std::vector<MailboxFlag> mailboxes;
    // The last due instant, when no run started at or after it although its
    // grace has passed.
    std::optional<int64_t> missedRun;
    bool historyEmpty = true;  // no run of the registration was recorded
};

// Reads the history for the runs of the registration item at itemUrl (in
// either URL scheme) and checks them. A registration with no recorded run
// flags no missed run (nothing ran yet since the history was kept).
[[nodiscard]] RunHealth CheckRunHealth(const platform::RunHistoryReader& history,
                                       const std::string& itemUrl, int run,
                                       std::string_view timeToRun, int64_t now, double biasMinutes);

}  // namespace setup
