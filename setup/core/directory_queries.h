// The setup program's directory work: the two mailbox lists of the main
// window (register list: mailboxes of this server without the registration
// mark; unregister list: those with it), the home store of this server's
// system attendant, the proposed run-as identity and the registration mark
// itself (extensionAttribute8 = "Quellix" on a mailbox user).
//
// The read queries run on the main window's directory connection (cnn,
// provider "adsDSOobject") and pass query failures to their caller as
// platform::Error; values taken from data go into the query text through
// platform::QuoteQueryValue, and because the dialect's "*" has no literal
// form every match on an account name or address is confirmed against the
// returned value, so such a value matches only itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/ado.h"
#include "platform/ado_directory.h"
#include "setup/core/error_log.h"
#include "setup/core/setup_text.h"

namespace setup {

// The product word written as the registration mark.
inline constexpr const char* kRegistrationMark = "Quellix";
inline constexpr const char* kMarkAttribute = "extensionAttribute8";

// True when an extensionAttribute8 value is the mark (any letter case).
bool IsRegistrationMark(std::string_view value);

// The server named by the last "CN=" of a path, in upper case
// (".../cn=Servers/cn=MAILSRV1" gives "MAILSRV1"); the upper-cased text
// itself when there is no "CN=" with at least two characters after it.
std::string HomeServerName(std::string_view path);

// Mailbox entry: cn, home server, mail, alias joined by " / ".
std::string MailboxEntry(std::string_view cn, std::string_view homeServer, std::string_view mail,
                         std::string_view alias);
// Mailbox label: cn + " (" + mail + ")".
std::string MailboxLabel(std::string_view cn, std::string_view mail);

// The query texts, exactly as the directory is asked.
std::string MailboxListQuery(const std::string& searchRoot);
std::string SystemAttendantQuery(const std::string& searchRoot);
std::string IdentityQuery(const std::string& searchRoot, std::string_view userName);
std::string MarkQuery(const std::string& searchRootLdap, std::string_view address);
std::string MailboxAliasQuery(const std::string& searchRoot, std::string_view address);

// Which provider properties a read query sets.
enum class QueryKind {
    MailboxList,      // paged, limited, cached
    SystemAttendant,  // like the mailbox list
    Identity,         // one object expected: not cached, no page size or limits
};

// An "ADODB.Command" on cnn with the text and the provider properties of its
// kind set in their order: "searchscope" 2, "cache results", "Chase
// Referrals" 96 and, except for the identity, "Page Size" 100, "Size Limit"
// 30000, "Timeout" 120 (16-bit).
platform::Command MakeDirectoryCommand(platform::Connection& cnn, std::string text, QueryKind kind);

// Opens cnn with provider "adsDSOobject" as "Active Directory Provider".
void OpenDirectoryConnection(platform::Connection& cnn);

// The two lists as GetUsersWithMailboxes leaves them.
struct MailboxLists {
    std::vector<std::string> registerList;    // MbxInstList: not marked
    std::vector<std::string> unregisterList;  // MbxUninstList: marked
    int32_t recordCount = 0;                  // the progress bar's scale
    // Why the directory's rows stopped short of every mailbox user (the
    // command's "Size Limit" or the server's own limit), as
    // platform::DirectorySearchCut says it; empty when they did not.
    std::string cut;
};

// The error-log entry that says the mailbox lists were cut: where = the
// search root, the directory's size-limit error number, the cut as the
// description; both texts made visible (no line breaks or controls taken
// from data).
ErrorEntry MailboxListCutEntry(const std::string& cut, const std::string& searchRoot);

// Called once per directory record, after the bar advanced by one step; the
// window repaints and processes pending events there.
using ProgressCallback = std::function<void(const Progress& progress, const std::string& text)>;

// GetUsersWithMailboxes: reads every mailbox user (in cn order) and sorts
// those homed on shortComputerName into the lists; system mailboxes are never
// listed, nor an unmarked mailbox whose label equals destFolderText (without
// regard to case). A failing query raises platform::Error; a failure inside
// one record only skips what it affects; rows the directory left out are
// told in cut.
MailboxLists GetUsersWithMailboxes(platform::Connection& cnn, const std::string& searchRoot,
                                   const std::string& shortComputerName,
                                   const std::string& destFolderText,
                                   const ProgressCallback& progress = {});

// GetSystemAttendantHomeMDB: the trimmed homeMDB of the system attendant of
// shortComputerName (the last match wins); empty when there is none. A
// failing query raises platform::Error.
std::string GetSystemAttendantHomeMDB(platform::Connection& cnn, const std::string& searchRoot,
                                      const std::string& shortComputerName);

// GetCurrentUserName: the account running this program.
std::string GetCurrentUserName();

// The domain part of FillIdentityField from an objectCategory value
// ("CN=Person,CN=Schema,CN=Configuration,DC=alpha,DC=beta" gives
// "alpha.beta"); empty when the value holds no "DC=".
std::string IdentityDomain(std::string_view category);

// FillIdentityField: the identity proposed for the application, domain "\"
// userName, or the bare user name when the user is not found or its category
// names no domain. A failing query raises platform::Error.
std::string FillIdentityField(platform::Connection& cnn, const std::string& searchRoot,
                              const std::string& userName);

// The alias (mailNickName) of the mailbox user whose mail is address
// (without regard to case), read on cnn; nothing when no mailbox user has
// that address. A failing query raises platform::Error.
std::optional<std::string> MailboxAliasOf(platform::Connection& cnn, const std::string& searchRoot,
                                          const std::string& address);

// What MarkMailbox did. The window ignores it (the mark is silent there); the
// command line tells the administrator.
struct MarkOutcome {
    enum class Kind { Written, NoSuchUser, Failed };
    Kind kind = Kind::NoSuchUser;
    std::string adsPath;  // the user written, when found
    std::string failure;  // "number description" of the first failure
};

// MarkMailbox: on the user whose mail equals address (without regard to
// case), sets extensionAttribute8 to mark, or clears it when mark is
// nothing, through searchRootLdap on a connection of its own. Raises
// nothing.
MarkOutcome MarkMailbox(const std::string& address, const std::optional<std::string>& mark,
                        const std::string& searchRootLdap);

}  // namespace setup
