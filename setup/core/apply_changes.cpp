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

}  // namespace

WindowValues WindowAfterRefresh(const SetupStatus& status) {
    WindowValues w;
    w.Check1 = status.state == InstallState::ReadyToInstall;
    w.txtIdent = status.identity;
    const ParameterControls& c = status.controls;
    w.txtSpamFolder = c.txtSpamFolder.value_or("");
    w.txtAgeLimit = c.txtAgeLimit.value_or("");
    w.SysMbxList = status.registration.SysMbxList;
    // A list keeps its item when the read-back left it unset; the window
    // starts on the defaults.
    w.ComboRun = static_cast<int16_t>(c.ComboRun.value_or(0));
    w.ComboStartHour = std::to_string(c.ComboStartHour.value_or(11) + 1);
    w.ComboStartMin = TwoDigits(c.ComboStartMin.value_or(0));
    w.ComboStartAmPm = kAmPm[c.ComboStartAmPm.value_or(0) == 1 ? 1 : 0];
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
    if (window.Check2 || window.Check1) {
        const std::string folder = NormalizeFolderName(window.txtSpamFolder);
        result.txtSpamFolder = folder;
        if (Trim(folder).empty()) {
            result.warning = kFolderWarning;
            return result;
        }
        if (Trim(window.txtAgeLimit).empty()) {
            result.warning = kAgeLimitWarning;
            return result;
        }
        // Every value is converted before the old registration goes, so a
        // refused one never leaves the server without a registration.
        const std::optional<int16_t> age = AgeLimitValue(window.txtAgeLimit);
        if (!age) {
            result.warning = kAgeLimitRangeWarning;
            return result;
        }
        const std::string timeToRun =
            TimeToRunText(window.ComboStartHour, window.ComboStartMin, window.ComboStartAmPm);
        if (!registration::ComputeTimerStartTime(platform::Date::NowLocal(), timeToRun, 0) ||
            window.ComboRun < 0 || window.ComboRun >= kRunChoiceCount) {
            result.warning = kStartTimeWarning;
            return result;
        }

        if (!window.SysMbxList.empty()) {
            const SystemMailboxNames names = SplitSystemMailboxEntry(window.SysMbxList.front());
            std::optional<platform::Date> firstFiring;
            try {
                firstFiring =
                    FirstFiringInstant(options.nowLocal.value_or(platform::Date::NowLocal()),
                                       timeToRun, ISODate::GetTimeZoneBias());
            } catch (const platform::Error& e) {
                // Without the bias no instant can be written: the old
                // registration stays as it is.
                log.Prepend(ErrorEntry::FromError(e, "ActiveTimeBias"));
            }
            if (firstFiring) {
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

                result.steps.push_back("RemoveOnTimerEventRegistration");
                (void)RemoveOnTimerEventRegistration(context, window.SysMbxList);

                std::vector<std::pair<std::string, bool>> tries = {
                    {context.FolderURL + "/" + names.alias, false}};
                if (!names.nickname.empty()) {
                    tries.emplace_back(context.FolderURL + "/" + names.nickname, false);
                    tries.emplace_back(context.FileFolderURL + "/" + names.nickname, false);
                }
                tries.emplace_back(context.FileFolderURL + "/" + names.alias, true);
                result.registrationAttempted = true;
                for (const auto& [url, logErrors] : tries) {
                    item.mailboxUrl = url;
                    result.steps.push_back("CreateOnTimerEventRegistration " + url);
                    CreateResult written = CreateOnTimerEventRegistration(item, logErrors);
                    if (written.error) log.Prepend(*written.error);
                    if (!written.folderUrl.empty()) {
                        result.registrationFolderUrl = written.folderUrl;
                        break;
                    }
                }
            }
        }
    }

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
            (void)RemoveOnTimerEventRegistration(context, window.SysMbxList);
            result.steps.push_back("RemoveComPlusApplication");
            if (auto error = RemoveComPlusApplication(kApplicationName)) log.Prepend(*error);
        }
    }

    result.steps.push_back("RefreshLists");
    result.status = RefreshLists(context, result.txtSpamFolder.value_or(window.txtSpamFolder),
                                 window.txtAgeLimit, window.txtDestFolder, log, options.progress);
    return result;
}

}  // namespace setup
