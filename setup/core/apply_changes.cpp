#include "setup/core/apply_changes.h"

#include <cstdio>

#include "base/strfuncs.h"
#include "isodate/iso_date.h"
#include "registration/registration.h"
#include "setup/core/com_plus.h"
#include "setup/core/registration_management.h"
#include "setup/core/setup_text.h"

namespace setup {

using platform::Trim;

namespace {

constexpr const char* kAmPm[] = {"AM", "PM"};

std::string TwoDigits(int n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", n);
    return buf;
}

// Marks or unmarks the selected entries of one list, from index 0 upwards;
// entries without a usable address are passed over silently.
void MarkSelected(const std::vector<std::string>& list, const std::vector<bool>& selected,
                  const std::optional<std::string>& mark, const SetupContext& context,
                  ChangeResult& result, std::vector<std::pair<std::string, MarkOutcome>>& done) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (i >= selected.size() || !selected[i]) continue;
        const std::string address = EntryEmailAddress(list[i]);
        if (!IsMarkableAddress(address)) continue;
        result.steps.push_back("MarkMailbox " + address + " " + (mark ? *mark : "Null"));
        done.emplace_back(address, MarkMailbox(address, mark, context.strSearchRootLDAP));
    }
}

// The registration the window's parameters describe, every value read and
// converted; nothing, with the warning or the log entry that says why, when
// one of them cannot be. Nothing is removed or written here.
std::optional<registration::OnTimerRegistration> NewRegistration(
    const SetupContext& context, const WindowValues& window, const std::string& folder,
    const ChangeOptions& options, ErrorLog& log, ChangeResult& result) {
    const std::optional<int16_t> age = AgeLimitValue(window.txtAgeLimit);
    if (!age) {
        result.warning = kAgeLimitRangeWarning;
        return std::nullopt;
    }
    // A list with nothing picked gives no time: the command writes only a
    // time the administrator chose.
    const std::string timeToRun =
        TimeToRunText(window.ComboStartHour, window.ComboStartMin, window.ComboStartAmPm);
    if (!registration::ComputeTimerStartTime(platform::Date::NowLocal(), timeToRun, 0) ||
        window.ComboRun < 0 || window.ComboRun >= kRunChoiceCount) {
        result.warning = kStartTimeWarning;
        return std::nullopt;
    }
    std::optional<platform::Date> firstFiring;
    try {
        // The bias the cleanup run would use, or none: a value the run
        // refuses must not decide the start time.
        firstFiring = FirstFiringInstant(options.nowLocal.value_or(platform::Date::NowLocal()),
                                         timeToRun, ISODate::GetUsableTimeZoneBias());
    } catch (const platform::Error& e) {
        log.Prepend(ErrorEntry::FromError(e, "ActiveTimeBias"));
        return std::nullopt;
    }
    registration::OnTimerRegistration item;
    item.timerStartTime = *firstFiring;
    item.searchRoot = context.strSearchRoot;
    item.folderName = folder;
    item.expirationPeriod = *age;
    item.run = window.ComboRun;
    item.timeToRun = timeToRun;
    item.mailboxToMove = window.OptMove ? window.txtDestFolder : "";
    item.reportRecipient = window.txtReportRecipient;
    item.allMailboxes = std::to_string(window.CheckAllMbx);
    item.includeSubfolders = std::to_string(window.CheckDeep);
    return item;
}

// When no try could write the new registration: the one it replaces goes
// back where it was, and the log says what the server holds now.
void KeepOldRegistration(const RemoveResult& removed, const ErrorEntry& writeFailure, ErrorLog& log,
                         ChangeResult& result) {
    if (removed.deletedAt.empty()) return;  // there was none to lose
    platform::Error failure(0, "");
    if (removed.removed && registration::RestoreRegistration(*removed.removed, &failure)) {
        result.registrationRestoredAt = removed.removed->itemUrl;
        log.Prepend(ErrorEntry::FromError(
            platform::Error(writeFailure.number,
                            "The registration could not be written; the previous registration "
                            "was put back unchanged"),
            removed.removed->itemUrl));
        return;
    }
    const std::string itemUrl = registration::ItemUrlIn(removed.deletedAt);
    result.registrationLostAt = itemUrl;
    const std::string why = removed.removed ? failure.Description()
                                            : std::string("it could not be read before removal");
    log.Prepend(ErrorEntry::FromError(
        platform::Error(writeFailure.number,
                        "The registration could not be written and the previous registration "
                        "could not be put back (" +
                            why + "): no registration exists now"),
        itemUrl));
}

// Step 3 of the command: false when it stopped with a warning.
bool WriteRegistration(SetupContext& context, const WindowValues& window,
                       const ChangeOptions& options, ErrorLog& log, ChangeResult& result) {
    const std::string folder = NormalizeFolderName(window.txtSpamFolder);
    result.txtSpamFolder = folder;
    if (Trim(folder).empty()) {
        result.warning = kFolderWarning;
        return false;
    }
    if (Trim(window.txtAgeLimit).empty()) {
        result.warning = kAgeLimitWarning;
        return false;
    }
    // No system mailbox, nowhere to hold a registration: nothing more to
    // check or write, and nothing to say.
    if (window.SysMbxList.empty()) return true;
    std::optional<registration::OnTimerRegistration> item =
        NewRegistration(context, window, folder, options, log, result);
    if (!item) return !result.warning;

    result.steps.push_back("RemoveOnTimerEventRegistration");
    const RemoveResult removed = RemoveOnTimerEventRegistration(context, window.SysMbxList);

    result.registrationAttempted = true;
    const std::vector<std::string> urls = RegistrationMailboxUrls(context, window.SysMbxList);
    ErrorEntry lastFailure;
    for (size_t i = 0; i < urls.size(); ++i) {
        item->mailboxUrl = urls[i];
        result.steps.push_back("CreateOnTimerEventRegistration " + urls[i]);
        // Only the last try may leave an entry in the log.
        const CreateResult written = CreateOnTimerEventRegistration(*item, i + 1 == urls.size());
        if (!written.folderUrl.empty()) {
            result.registrationFolderUrl = written.folderUrl;
            return true;
        }
        if (written.error) {
            lastFailure = *written.error;
            log.Prepend(lastFailure);
        }
    }
    KeepOldRegistration(removed, lastFailure, log, result);
    return true;
}

}  // namespace

WindowValues WindowAfterRefresh(const SetupStatus& status) {
    WindowValues w;
    w.Check1 = status.state == InstallState::ReadyToInstall;
    w.txtIdent = status.identity;
    const ParameterControls& c = status.controls;
    w.txtSpamFolder = c.txtSpamFolder.value_or("");
    w.txtAgeLimit = c.txtAgeLimit.value_or("");
    w.SysMbxList = status.registration.SysMbxList;
    // A time list the read-back left unset has nothing picked, as in the
    // window: a stored time that names no list item is not replaced by one
    // the administrator never chose.
    w.ComboRun = static_cast<int16_t>(c.ComboRun.value_or(0));
    w.ComboStartHour = c.ComboStartHour ? std::to_string(*c.ComboStartHour + 1) : "";
    w.ComboStartMin = c.ComboStartMin ? TwoDigits(*c.ComboStartMin) : "";
    w.ComboStartAmPm = c.ComboStartAmPm ? kAmPm[*c.ComboStartAmPm == 1 ? 1 : 0] : "";
    w.OptMove = c.OptMove.value_or(false);
    w.txtDestFolder = c.txtDestFolder.value_or("");
    w.txtReportRecipient = c.txtReportRecipient.value_or("");
    w.CheckAllMbx = c.CheckAllMbx.value_or(0);
    w.CheckDeep = c.CheckDeep.value_or(0);
    w.MbxInstList = status.lists.registerList;
    w.MbxInstSelected.assign(w.MbxInstList.size(), false);
    w.MbxUninstList = status.lists.unregisterList;
    w.MbxUninstSelected.assign(w.MbxUninstList.size(), false);
    return w;
}

std::string UninstallConfirmation() {
    return "You are about to remove the COM+ object.\n"
           "Also, if you click Yes all schedule information will be cleared.\n"
           "Do you want to continue?";
}

ChangeResult ApplyChanges(SetupContext& context, const WindowValues& window,
                          const ConfirmCallback& confirm, ErrorLog& log,
                          const ChangeOptions& options) {
    ChangeResult result;
    log.Clear();

    // Install.
    if (window.Check1) {
        if (Trim(window.txtIdent).empty() || Trim(window.txtPwd).empty()) {
            result.warning = kIdentityWarning;
            return result;
        }
        result.steps.push_back("InstallComPlusApplication");
        if (auto error =
                InstallComPlusApplication(kApplicationName, window.txtIdent, window.txtPwd, "")) {
            log.Prepend(*error);
        }
    }

    // Parameters and registration; an installation always writes them too.
    if ((window.Check2 || window.Check1) &&
        !WriteRegistration(context, window, options, log, result))
        return result;

    // Mark, then unmark.
    if (window.Check3) {
        MarkSelected(window.MbxInstList, window.MbxInstSelected, std::string(kRegistrationMark),
                     context, result, result.marked);
    }
    if (window.Check4) {
        MarkSelected(window.MbxUninstList, window.MbxUninstSelected, std::nullopt, context, result,
                     result.unmarked);
    }

    // Uninstall.
    if (window.Check6) {
        result.uninstallConfirmed = confirm && confirm(UninstallConfirmation());
        if (*result.uninstallConfirmed) {
            result.steps.push_back("RemoveOnTimerEventRegistration");
            const RemoveResult removed = RemoveOnTimerEventRegistration(context, window.SysMbxList);
            if (removed.stays) {
                // A registration without its application would fire every
                // day at a component that is gone, and the window, finding
                // nothing installed, would no longer offer to remove it:
                // both stay, and the log says why.
                log.Prepend(ErrorEntry::FromError(
                    platform::Error(removed.stays->number,
                                    "The registration could not be removed (" +
                                        removed.stays->description +
                                        "); the COM+ application was kept"),
                    registration::ItemUrlIn(removed.stays->where)));
            } else {
                result.steps.push_back("RemoveComPlusApplication");
                if (auto error = RemoveComPlusApplication(kApplicationName)) log.Prepend(*error);
            }
        }
    }

    result.steps.push_back("RefreshLists");
    result.status = RefreshLists(context, result.txtSpamFolder.value_or(window.txtSpamFolder),
                                 window.txtAgeLimit, window.txtDestFolder, log, options.progress);
    return result;
}

}  // namespace setup
