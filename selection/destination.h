// The destination of moved messages: the Inbox of the mailbox named by the
// registration's "_MailboxToMove".
#pragma once

#include <string>

#include "selection/run_text.h"

namespace quellix {

// Where a run puts the messages it removes.
struct MoveDestination {
    // Empty = expired messages are deleted; else the destination as
    // configured, replaced by "alias/Inbox" once the destination Inbox is
    // found by its file-scheme URL.
    std::string MoveTarget;
    std::string DestFileFolderUrl;  // file-scheme URL of the destination Inbox
    std::string DestHttpFolderUrl;  // http-scheme URL of the destination Inbox

    // True when an Inbox was found in either scheme.
    [[nodiscard]] bool Found() const {
        return !DestFileFolderUrl.empty() || !DestHttpFolderUrl.empty();
    }
};

// Looks the destination address up in the directory under searchRoot
// (moveTarget is the address, or a display name followed by the address in
// parentheses; it must match the entry's mail exactly, without regard to
// case) and tries the mailbox's URL forms for its Inbox (the http forms on
// serverFqdn). Returns the Inbox's URLs and the MoveTarget the moves name
// (moveTarget, or "alias/Inbox" once found by a file-scheme URL); not Found()
// (logged as "Destination folder 'Inbox' is not found in " + moveTarget) when
// there is no such mailbox, it is a system mailbox, or no Inbox is found.
// Every line goes to log. Raises platform::Error when the directory search
// fails.
MoveDestination ResolveDestination(const LogLine& log, const std::string& searchRoot,
                                   const std::string& moveTarget, const std::string& storeHttpBase,
                                   const std::string& storeFileBase, const std::string& serverFqdn);

// The address in a destination text: after the first "(" and before the last
// ")" that follows it, trimmed; the whole text when it has no "(".
std::string DestinationAddress(const std::string& moveTarget);

}  // namespace quellix
