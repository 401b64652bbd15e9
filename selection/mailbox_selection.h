// The mailboxes a cleanup run treats, and the URLs it tries for each one's
// folder: the directory query, the rows it keeps, the URL forms in order.
// The run and a preview of it both select through these.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ado.h"
#include "selection/server_names.h"

namespace quellix {

// The values of one directory row that a run uses.
struct MailboxRow {
    std::string homeServer;  // the last element of msExchHomeServerName, upper case
    bool markNull = true;    // extensionAttribute8 absent
    std::string mark;
    std::string account;
    std::string alias;
    std::string name;
    std::string address;  // mail as the directory holds it
    std::string localPart;
    std::string mailDomain;
};

// The directory query of the mailbox users under searchRoot.
std::string MailboxQuery(const std::string& searchRoot);

MailboxRow ReadMailboxRow(const platform::Recordset& rs);

// True when a run treats the row's mailbox: homed on serverName, marked
// "Quellix" unless allMailboxes is 1, and no system mailbox.
bool IsTreatedMailbox(const MailboxRow& row, const std::string& serverName, int16_t allMailboxes);

// Asks the directory under searchRoot for every mailbox user and calls
// treat(row) for each mailbox a run treats, in the directory's order
// (by cn). Returns what cut the rows short when a server's own limit did
// (platform::DirectorySearchCut), else empty. Raises platform::Error when
// the directory fails; the mailboxes treated before stay treated.
std::string ForEachTreatedMailbox(const std::string& searchRoot, const std::string& serverName,
                                  int16_t allMailboxes,
                                  const std::function<void(const MailboxRow&)>& treat);

// Why a mailbox without an address is not swept: there is no URL to try.
inline constexpr const char* kNoAddressReason = "no URL to try: the mailbox has no address";

// One URL a run tries for a mailbox's folder.
struct FolderUrlTry {
    std::string url;
    // The directory value the URL names the mailbox by when it is not the
    // row's alias (the address's local part, or the account); empty for the
    // alias's own forms.
    std::string otherName;
    bool operator==(const FolderUrlTry&) const = default;
};

// The URLs of the row's folder folderName that a run tries, in order, until
// one is not refused. The directory values go into the URLs encoded, so
// each reaches exactly the item it names, and a form equal to one already
// tried is left out, and so is a form by another name than the alias in a
// namespace a mail server holds. Empty when the row has no address.
std::vector<FolderUrlTry> FolderUrlTries(const MailboxRow& row, const ServerNames& server,
                                         const std::string& folderName);

// The tries by the local part and by the account exist to reach the row's
// own mailbox under another name; such a name may be another person's
// alias, and the mailbox it reaches then theirs. Returns the directory
// entry under searchRoot, homed on serverName, whose alias is the try's
// other name, if there is one: the try must then be skipped. nullopt for
// the alias's own forms and for names that are no other entry's alias.
// Raises platform::Error when the directory fails.
std::optional<MailboxRow> OtherOwnerOf(const FolderUrlTry& attempt, const MailboxRow& row,
                                       const std::string& searchRoot,
                                       const std::string& serverName);

// Whether a failed try's error is the one to say when no try reaches the
// folder: a try by the row's own alias always replaces what was said; a try
// by another name, which may find nothing of this mailbox, only says
// something when nothing was said before it.
bool SaysWhyUnreached(const FolderUrlTry& attempt, const MailboxRow& row, bool saidBefore);

// Why a try was skipped: its mailbox is owner's, not row's.
std::string AnotherOwnersMailboxText(const std::string& url, const MailboxRow& owner,
                                     const MailboxRow& row);

}  // namespace quellix
