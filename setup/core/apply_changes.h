// The CHANGE command: everything the main window's check boxes ask for,
// applied in one pass and in this order: install the application, write the
// registration with the parameters shown (removing the old one first), mark
// the selected mailboxes of the register list, unmark those of the
// unregister list, uninstall after a confirmation, refresh. The window and
// the command line describe what the window holds (WindowValues) and run
// the same steps with the same checks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/date.h"
#include "setup/core/directory_queries.h"
#include "setup/core/environment.h"
#include "setup/core/error_log.h"
#include "setup/core/setup_context.h"

namespace setup {

// What the main window holds when CHANGE is clicked.
struct WindowValues {
    bool Check1 = false;  // "Install COM+ object"
    std::string txtIdent;
    std::string txtPwd;
    bool Check2 = false;  // "Modify parameters"
    std::string txtSpamFolder;
    std::string txtAgeLimit;
    std::vector<std::string> SysMbxList;
    int16_t ComboRun = 0;  // 0 "Never run", 1 "Every day", 2..8 "Sunday".."Saturday"
    // The picked texts of the three time lists; empty: nothing picked.
    std::string ComboStartHour;
    std::string ComboStartMin;
    std::string ComboStartAmPm;
    bool OptMove = false;  // "Move expired messages to:" (else delete)
    std::string txtDestFolder;
    int CheckAllMbx = 0;
    int CheckDeep = 0;
    std::string txtReportRecipient;
    bool Check3 = false;  // register the selected mailboxes
    std::vector<std::string> MbxInstList;
    std::vector<bool> MbxInstSelected;  // parallel to MbxInstList
    bool Check4 = false;                // unregister the selected mailboxes
    std::vector<std::string> MbxUninstList;
    std::vector<bool> MbxUninstSelected;
    bool Check6 = false;  // "Uninstall COM+ object "
};

// The window as a refresh leaves it: the installation row of its state, the
// parameter controls read back (or the defaults), the system mailbox and the
// two lists with nothing selected, every action check box unchecked except
// "Install COM+ object" when ready to install.
WindowValues WindowAfterRefresh(const SetupStatus& status);

// The warnings of the command (message box with an OK button).
inline constexpr const char* kIdentityWarning = "Please fill the Identity and Password fields";
inline constexpr const char* kFolderWarning = "Please fill the Spam folder name field";
inline constexpr const char* kAgeLimitWarning = "Please fill the Message age limit field";
inline constexpr const char* kStartTimeWarning =
    "The start time must be an hour from 1 to 12, a minute from 00 to 59 and AM or PM";
// The question asked before the application is removed (OK / Cancel).
std::string UninstallConfirmation();

// Asked with UninstallConfirmation(); true for OK, false for Cancel.
using ConfirmCallback = std::function<bool(const std::string& text)>;

// One call the command made, in order, for the administrator and the tests:
// "InstallComPlusApplication", "RemoveOnTimerEventRegistration",
// "CreateOnTimerEventRegistration <mailbox URL>", "MarkMailbox <address>
// Quellix", "MarkMailbox <address> Null", "RemoveComPlusApplication",
// "RefreshLists".
using StepTrace = std::vector<std::string>;

struct ChangeResult {
    // The warning the command stopped with; the window shows it and is not
    // refreshed.
    std::optional<std::string> warning;
    // The normalised folder name written back into txtSpamFolder (when the
    // parameters were checked).
    std::optional<std::string> txtSpamFolder;
    StepTrace steps;
    // The folder URL of the registration written; empty when none was.
    std::string registrationFolderUrl;
    bool registrationAttempted = false;
    // When none could be written: the URL of the previous registration put
    // back, or of the one removed that could not be put back (none exists).
    std::string registrationRestoredAt;
    std::string registrationLostAt;
    // The marks set and cleared, with what the directory did.
    std::vector<std::pair<std::string, MarkOutcome>> marked;
    std::vector<std::pair<std::string, MarkOutcome>> unmarked;
    // Whether the uninstall was confirmed (nothing when not asked).
    std::optional<bool> uninstallConfirmed;
    // The state after the closing refresh; nothing when the command stopped.
    std::optional<SetupStatus> status;
};

struct ChangeOptions {
    // The local time the first firing instant is counted from; now when
    // nothing.
    std::optional<platform::Date> nowLocal;
    // Progress of the closing refresh's list fill.
    ProgressCallback progress;
};

// Command1_Click. log is the window's error log: emptied first, then the
// entries of the failing calls are prepended. Raises nothing.
ChangeResult ApplyChanges(SetupContext& context, const WindowValues& window,
                          const ConfirmCallback& confirm, ErrorLog& log,
                          const ChangeOptions& options = {});

}  // namespace setup
