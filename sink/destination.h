// The destination of moved messages: the Inbox of the mailbox named by the
// registration's "_MailboxToMove".
#pragma once

#include <string>

namespace quellix {

// Looks the destination address up in the directory under searchRoot
// (moveTarget is the address, or a display name followed by the address in
// parentheses; it must match the entry's mail exactly, without regard to
// case) and tries the mailbox's URL forms for its Inbox. Sets
// DestFileFolderUrl and DestHttpFolderUrl and returns them joined; empty
// (logged as "Destination folder 'Inbox' is not found in " + moveTarget) when
// there is no such mailbox, it is a system mailbox, or no Inbox is found.
// Raises platform::Error when the directory search fails.
std::string ResolveDestination(const std::string& searchRoot, const std::string& moveTarget,
                               const std::string& storeHttpBase, const std::string& storeFileBase);

// The address in a destination text: after the first "(" and before the last
// ")" that follows it, trimmed; the whole text when it has no "(".
std::string DestinationAddress(const std::string& moveTarget);

}  // namespace quellix
