// dllFolders: finding a mailbox's Inbox.
#pragma once

#include <string>

namespace quellix {

// Opens the mailbox at mailboxUrl and returns the URL of its Inbox (from the
// root's "urn:schemas:httpmail:inbox", in the scheme of mailboxUrl), or
// empty when it cannot be opened. For a file-scheme URL the Inbox's place
// below "/mbx/" ("alias/Inbox") becomes MoveTarget. Logs each failure as a
// "Destination folder testing:" entry, and a file-scheme success as
// "Destination folder ... is ready to collect messages.". folderName is not
// used (callers pass "inbox").
std::string ResolveInbox(const std::string& mailboxUrl, const std::string& folderName);

}  // namespace quellix
