// Writing, reading back, finding and deleting the registration item
// ("Quellix.reg" in "StoreEvents/GlobalEvents" of this server's system
// mailbox; its layout is registration/registration.h).
//
// The three store operations trap every failure and report by their result;
// each hands back an error entry only when its caller passes logErrors, so
// that callers trying several URLs let only their last try reach the log.
// Where the window shows values, the operations return them instead
// (ParameterControls); the window and the command line apply them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date.h"
#include "platform/ado.h"
#include "registration/registration.h"
#include "setup/core/error_log.h"
#include "setup/core/setup_context.h"
#include "setup/core/setup_text.h"

namespace setup {

// The extra condition of the read-back: only hidden non-folder items.
//   ' AND "DAV:ishidden" = true AND "DAV:isfolder" = false '
extern const char* const kHiddenItemCondition;

// ---- The three store operations ----------------------------------------

struct CreateResult {
    std::string folderUrl;            // mailbox URL + "/" + folder path; empty on failure
    std::optional<ErrorEntry> error;  // only when logErrors; "where" is the mailbox URL
};

// Writes the item anew at item.mailboxUrl in one store transaction
// (create-or-overwrite; absent search root or folder name are left out; the
// item is hidden). A failed write leaves no partial item.
CreateResult CreateOnTimerEventRegistration(const registration::OnTimerRegistration& item,
                                            bool logErrors);

struct DeleteResult {
    bool deleted = false;             // false on any failure, also when there is no item
    std::optional<ErrorEntry> error;  // only when logErrors; "where" is the mailbox URL
};

// Deletes mailboxUrl + "/" + folderPath + "/" + itemName.
DeleteResult DeleteOnTimerEventRegistration(const std::string& mailboxUrl,
                                            const std::string& folderPath,
                                            const std::string& itemName, bool logErrors);

// The eight custom values of the item, trimmed; those the item lacks keep
// their start values (empty, and "0" for the two switches).
struct StoredParameters {
    std::string folderName;
    std::string expirationPeriod;
    std::string run;
    std::string timeToRun;
    std::string mailboxToMove;
    std::string reportRecipient;
    std::string allMailboxes = "0";
    std::string includeSubfolders = "0";
};

// What the parameter controls of the main window are set to; an empty
// member leaves that control as it is. Lists are set by item index.
struct ParameterControls {
    std::optional<std::string> txtSpamFolder;
    std::optional<std::string> txtAgeLimit;
    std::optional<int> ComboRun;        // 0 "Never run" .. 8 "Saturday"
    std::optional<int> ComboStartHour;  // 0 "1" .. 11 "12"
    std::optional<int> ComboStartMin;   // 0 "00" .. 59 "59"
    std::optional<int> ComboStartAmPm;  // 0 "AM", 1 "PM"
    std::optional<std::string> txtDestFolder;
    std::optional<bool> OptMove;  // true: OptMove selected; false: OptDelete selected
    std::optional<std::string> txtReportRecipient;
    std::optional<int> CheckAllMbx;  // 0 or 1
    std::optional<int> CheckDeep;    // 0 or 1

    // Applies later's settings over these (what two successive updates of
    // the window leave).
    void Merge(const ParameterControls& later);
    friend bool operator==(const ParameterControls&, const ParameterControls&) = default;
};

struct ReadResult {
    int16_t result = -1;  // 1 item found, 0 not found, -1 failure
    StoredParameters values;
    // What the window shows afterwards (empty with checkOnly): also after a
    // failure or when nothing was found, the unconditional controls are set
    // from the start values.
    ParameterControls controls;
    std::optional<ErrorEntry> error;  // only when logErrors; "where" is the URL in use
};

// The read-back query (exact text):
//   select "<prefix>_FolderName", ... "<prefix>_IncludeSubfolders", "DAV:displayname"
//   from scope ('shallow traversal of "<folder URL>"')  WHERE "DAV:displayname" =
//   '<item name>'<extra condition>
// Values put between quotes are quoted for the store's dialect.
std::string ReadBackQuery(const std::string& folderUrl, const std::string& itemName,
                          const std::string& extraCondition, const std::string& prefix);

// Looks for the item in mailboxUrl + "/" + folderPath and reads its values.
// cnn is the caller's store connection (opened on mailboxUrl for the call and
// closed afterwards, passed back to the caller); null: a connection is made
// for the call. With checkOnly, only the result is established.
ReadResult ReadOnTimerEventRegistration(const std::string& mailboxUrl,
                                        const std::string& folderPath, const std::string& itemName,
                                        const std::string& extraCondition, bool logErrors,
                                        platform::Connection* cnn, bool checkOnly,
                                        const std::string& prefix);

// ---- Values of the window -----------------------------------------------

// The controls that a read shows, from the values read (the table of the
// read-back): folder, age, run and time only when not empty; destination,
// move/delete, recipient and both check boxes always.
ParameterControls ShowParameters(const StoredParameters& values);

// Time to run ("7:05 PM") to list indexes: hour index = hour - 1 from the
// text before the first ":"; only when the first blank follows it, the
// minute index from the text between them and AM/PM index 1 when the rest,
// trimmed, is exactly "PM", else 0. A value that fits no list leaves it out.
struct TimeToRunIndexes {
    std::optional<int> hour;
    std::optional<int> minute;
    std::optional<int> amPm;
    friend bool operator==(const TimeToRunIndexes&, const TimeToRunIndexes&) = default;
};
TimeToRunIndexes DecodeTimeToRun(std::string_view timeToRun);

// The controls with no registration: "Spam", "14", "Never run", "12", "00", "AM".
ParameterControls DefaultParameterControls();

// The age limit text as the 16-bit number of days the item stores: digits
// only (blanks around them allowed), 0 to 32767. Nothing otherwise; the
// caller then warns with kAgeLimitRangeWarning before anything is removed.
std::optional<int16_t> AgeLimitValue(std::string_view text);
inline constexpr const char* kAgeLimitRangeWarning =
    "The message age limit must be a whole number of days from 0 to 32767";

// ---- The system mailbox -------------------------------------------------

// The entry of SysMbxList: " / " + " / " + mail + " / " + mailNickName.
std::string SystemMailboxEntry(std::string_view mail, std::string_view nickname);

// SplitSystemMailboxEntry splits an entry of SysMbxList from the right
// (setup/core/setup_text.h).

// The alias of an address: the text before its first (atLast false) or last
// (atLast true) "@" when that "@" stands at position 2 or later (1-based),
// else the whole address.
std::string AliasFromAddress(std::string_view address, bool atLast);

struct RegistrationCheck {
    // At most one system mailbox entry: the first in cn order homed on the
    // System Attendant's store.
    std::vector<std::string> SysMbxList;
    // Result of the last read (0 when no read was tried).
    int16_t result = 0;
    // The mailbox URLs read, in order.
    std::vector<std::string> urlsTried;
    // What the parameter controls show afterwards: the reads' values, then
    // the defaults when the registration was not found.
    ParameterControls controls;
    // Entries of the one try that may log.
    std::vector<ErrorEntry> errors;
    // Quellix_TimeToRun as the registration found holds it, so that a time
    // the lists cannot show is shown as it stands.
    std::string storedTimeToRun;
};

// Finds this server's system mailbox in the directory (through context.cnn,
// under context.strSearchRoot) and reads its registration through
// context.cnn1. systemAttendantHomeMdb is what GetSystemAttendantHomeMDB
// returned. A failing directory query raises platform::Error to the caller.
RegistrationCheck CheckOnTimerEventRegistrationExists(SetupContext& context,
                                                      std::string_view systemAttendantHomeMdb);

// The system-mailbox query (exact text) under a search root.
std::string SystemMailboxQuery(std::string_view searchRoot);

// The mailbox URLs of the first system mailbox of sysMbxList at which the
// registration is looked for, removed and written, in this order:
// FolderURL/alias, FolderURL/nickname, FileFolderURL/nickname (these two only
// with a nickname), FileFolderURL/alias. Empty with an empty list.
std::vector<std::string> RegistrationMailboxUrls(const SetupContext& context,
                                                 const std::vector<std::string>& sysMbxList);

struct RemoveResult {
    std::string deletedAt;               // the mailbox URL whose item was deleted; empty: none
    std::vector<std::string> urlsTried;  // in order
    // The deleted item as it stood, to put back when its replacement cannot
    // be written; nothing when none was deleted or it could not be read.
    std::optional<registration::SavedRegistration> removed;
    // Why an item that was there could not be deleted ("where" its mailbox
    // URL); nothing when one was deleted or none was found.
    std::optional<ErrorEntry> stays;
};

// Deletes the registration of the first system mailbox of sysMbxList at the
// URLs of RegistrationMailboxUrls, stopping at the first success, and keeps
// what it deleted. Never logs; with an empty list it does nothing.
RemoveResult RemoveOnTimerEventRegistration(const SetupContext& context,
                                            const std::vector<std::string>& sysMbxList);

}  // namespace setup
