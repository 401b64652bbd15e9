// Where the setup program runs: this computer's names, its domain, the
// store's domain folder and the directory's global-catalog host, turned into
// the roots the other operations use (SetupContext), and the refresh that
// establishes the installation state, the stored parameters and the mailbox
// lists. Failures come back as error-log entries; nothing here raises.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "setup/core/com_plus.h"
#include "setup/core/directory_queries.h"
#include "setup/core/error_log.h"
#include "setup/core/registration_management.h"
#include "setup/core/setup_context.h"

namespace setup {

// The store's file-system share, whose first entry is the domain folder.
inline constexpr const char* kStoreShare = "\\\\.\\backofficestorage\\";

// Form_Load without the window: ShortComputerName and DomainDNSName (lower
// case), ComputerName, FolderURL and FileFolderURL (with the share's first
// entry as the domain folder when there is one, else DomainDNSName),
// strSearchRoot and strSearchRootLDAP from "GC://RootDSE", cnn opened as
// "Active Directory Provider", cnn1 given provider "ExOLEDB.DataSource".
// A step that fails leaves its fields empty, and its entry (where = the
// object or path worked on) is returned; the other steps still run.
std::vector<ErrorEntry> DiscoverEnvironment(SetupContext& context);

// The domain folder of the store: the first entry of the share's listing,
// exactly as listed; domainDnsName when the listing is empty.
std::string StoreDomain(const std::vector<std::string>& shareListing,
                        const std::string& domainDnsName);

// The three states of the window.
enum class InstallState { Installed, ReadyToInstall, DllMissing };
const char* InstallStateName(InstallState state);

// What RefreshLists establishes; the window sets its controls from it.
struct SetupStatus {
    InstallState state = InstallState::DllMissing;
    // The identity of the installed application, or the proposal of
    // FillIdentityField when ready to install; empty when the module is
    // missing.
    std::string identity;
    std::string componentFile;  // where the module is looked for
    ComPlusCheck application;   // CheckComPlusApplication's answer
    RegistrationCheck registration;
    MailboxLists lists;
    // The parameter controls after the check and the read-back (folder and
    // age from the application check first).
    ParameterControls controls;
};

// RefreshLists: asks the catalog whether the application exists, looks for
// the module file when it does not, proposes an identity, reads the stored
// parameters (or the defaults) and fills the mailbox lists (the destination
// mailbox is the read-back's, else destFolderText). Entries of the failures
// (the catalog's, the read-back's last try, a directory query's, and the
// fixed entry of a missing module) are prepended to log, newest first.
SetupStatus RefreshLists(SetupContext& context, const std::string& txtSpamFolder,
                         const std::string& txtAgeLimit, const std::string& destFolderText,
                         ErrorLog& log, const ProgressCallback& progress = {});

}  // namespace setup
