// The preview of a cleanup run: what a run of the registration at a given
// instant would delete or move, found through the run's own selection code
// (selection/) with the stored parameters, changing nothing and sending
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/date.h"
#include "selection/folder_selection.h"
#include "selection/run_parameters.h"
#include "setup/core/registration_management.h"

namespace setup {

// What the run would remove from one mailbox's folder.
struct PreviewFolder {
    std::string url;    // the URL the run would sweep: the first form not refused
    int64_t count = 0;  // messages selected
    // Each of them, in the store's order, when the preview keeps them.
    std::vector<quellix::SelectedMessage> messages;
    int64_t bytes = 0;
    platform::Date oldest;  // received, UTC; the zero date when no message
    platform::Date newest;
    // No form could be swept: the error of the last form by the mailbox's
    // own alias, as the run logs it.
    std::string error;
    // Forms not tried because the mailbox they reach is another entry's:
    // why, each, as the run logs it.
    std::vector<std::string> notOwn;
    // Messages the store cannot read, which a run passes over: why, each.
    std::vector<std::string> skipped;
};

struct PreviewMailbox {
    std::string name;     // cn
    std::string address;  // mail
    PreviewFolder folder;
};

struct RunPreview {
    std::string itemUrl;
    platform::Date at;  // the run's instant, local time
    quellix::RunParameters parameters;
    // The selection went as far as the run day and the cutoff (the
    // parameters name a run, and its destination was found); else due and
    // cutoff mean nothing, and noRun says why.
    bool decided = false;
    bool due = false;        // at is a run day
    platform::Date cutoff;   // UTC: messages received at or before it have expired
    std::string moveTarget;  // where moves go ("alias/Inbox"); empty when deleting
    // Why a run at this instant would remove nothing (never runs, not a run
    // day, parameters missing, no destination); empty when it would run.
    std::string noRun;
    // Lines the selection writes into a run's log on its way (the
    // destination's testing), and what the cutoff could not take into account.
    std::vector<std::string> notes;
    std::vector<PreviewMailbox> mailboxes;
    std::string directoryCut;  // rows a server's limit left out, if any

    // Totals over the mailboxes.
    int64_t messages = 0;
    int64_t bytes = 0;
    platform::Date oldest;
    platform::Date newest;
};

// Selects what a run of the registration item at itemUrl at the local
// instant at would remove; keepMessages keeps each message, else only the
// counts, bytes and dates (a large server's messages need not fit in
// memory). Reaches the store read-only: changes no byte of it. Raises
// platform::Error naming what failed when the store, the item or the
// directory cannot be read.
RunPreview PreviewRun(const std::string& itemUrl, platform::Date at, bool keepMessages = true);

// The preview as text for a person: the instant, the cutoff and the action,
// then per mailbox its folder's URL, the number of messages, their bytes and
// the range of their received times (each message too with listMessages),
// then the totals. Values from data are made visible (no control
// characters).
std::string PreviewText(const RunPreview& preview, bool listMessages);

// The URL of the registration item that a status check found; empty when it
// found none.
std::string RegistrationItemUrl(const RegistrationCheck& check);

}  // namespace setup
