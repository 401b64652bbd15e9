// Finding a mailbox's Inbox.
#pragma once

#include <string>

#include "selection/run_text.h"

namespace quellix {

// What ResolveInbox found.
struct InboxFound {
    std::string url;         // the Inbox's URL; empty when it cannot be opened
    std::string MoveTarget;  // the destination text the moves of the run name
};

// Opens the mailbox at mailboxUrl and returns the URL of its Inbox (from the
// root's "urn:schemas:httpmail:inbox", in the scheme of mailboxUrl), or an
// empty URL when it cannot be opened. For a file-scheme URL the Inbox's place
// below "/mbx/" ("alias/Inbox") is the MoveTarget returned; otherwise
// moveTarget is returned unchanged. Writes each failure to log as a
// "Destination folder testing:" entry, and a file-scheme success as
// "Destination folder ... is ready to collect messages.". folderName is not
// used (callers pass "inbox").
InboxFound ResolveInbox(const LogLine& log, const std::string& mailboxUrl,
                        const std::string& folderName, const std::string& moveTarget);

}  // namespace quellix
