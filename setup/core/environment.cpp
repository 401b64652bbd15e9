#include "setup/core/environment.h"

#include "base/strfuncs.h"
#include "platform/ads.h"
#include "platform/system.h"

namespace setup {

namespace {

// E_FAIL, for a failure that carries no number of its own.
constexpr int32_t kUnspecifiedFailure = platform::err::Hr(0x80004005);

ErrorEntry EntryFor(const std::exception& e, std::string where) {
    if (const auto* pe = dynamic_cast<const platform::Error*>(&e)) {
        return ErrorEntry::FromError(*pe, std::move(where));
    }
    return ErrorEntry{platform::Date::NowLocal(), std::move(where), kUnspecifiedFailure, e.what()};
}

}  // namespace

std::string StoreDomain(const std::vector<std::string>& shareListing,
                        const std::string& domainDnsName) {
    if (!shareListing.empty() && !shareListing.front().empty()) return shareListing.front();
    return domainDnsName;
}

std::vector<ErrorEntry> DiscoverEnvironment(SetupContext& context) {
    std::vector<ErrorEntry> errors;
    try {
        context.ShortComputerName = platform::Lower(platform::WinNtSystemInfo().ComputerName());
    } catch (const std::exception& e) {
        errors.push_back(EntryFor(e, "WinNTSystemInfo"));
    }
    try {
        context.DomainDNSName = platform::Lower(platform::AdSystemInfo().DomainDNSName());
    } catch (const std::exception& e) {
        errors.push_back(EntryFor(e, "ADSystemInfo"));
    }
    context.ComputerName = context.ShortComputerName + "." + context.DomainDNSName;

    std::vector<std::string> listing;
    try {
        listing = platform::ListDirectory(kStoreShare);
    } catch (const std::exception& e) {
        errors.push_back(EntryFor(e, kStoreShare));
    }
    const std::string domain = StoreDomain(listing, context.DomainDNSName);
    context.FolderURL = "http://" + context.ComputerName + "/exadmin/" + domain + "/mbx";
    context.FileFolderURL = "file://./backofficestorage/" + domain + "/mbx";

    try {
        const platform::AdsObject rootDse = platform::AdsObject::Bind("GC://RootDSE");
        const std::string host = rootDse.Get("dnshostname").ToStringOrEmpty();
        context.strSearchRoot = "GC://" + host;
        context.strSearchRootLDAP = "LDAP://" + host;
    } catch (const std::exception& e) {
        errors.push_back(EntryFor(e, "GC://RootDSE"));
    }

    try {
        OpenDirectoryConnection(context.cnn);
    } catch (const std::exception& e) {
        errors.push_back(EntryFor(e, "Active Directory Provider"));
    }
    context.cnn1.SetProvider("ExOLEDB.DataSource");
    return errors;
}

const char* InstallStateName(InstallState state) {
    switch (state) {
        case InstallState::Installed:
            return "Installed";
        case InstallState::ReadyToInstall:
            return "ReadyToInstall";
        case InstallState::DllMissing:
            return "DllMissing";
    }
    return "";
}

SetupStatus RefreshLists(SetupContext& context, const std::string& txtSpamFolder,
                         const std::string& txtAgeLimit, const std::string& destFolderText,
                         ErrorLog& log, const ProgressCallback& progress) {
    SetupStatus status;
    status.componentFile = ComponentFilePath(kApplicationName);
    status.application = CheckComPlusApplication(kApplicationName, txtSpamFolder, txtAgeLimit);
    if (status.application.error) log.Prepend(*status.application.error);
    status.controls.txtSpamFolder = status.application.txtSpamFolder;
    status.controls.txtAgeLimit = status.application.txtAgeLimit;

    if (status.application.exists) {
        status.state = InstallState::Installed;
        status.identity = status.application.identity;
    } else if (status.componentFile.empty() ||
               platform::ListDirectory(status.componentFile).empty()) {
        status.state = InstallState::DllMissing;
        log.PrependText(DllMissingEntryText(platform::Date::NowLocal(), status.componentFile));
    } else {
        status.state = InstallState::ReadyToInstall;
        // Root may never be the application's identity: root is offered
        // the service account instead.
        const std::string user = platform::ProposedIdentityAccount();
        status.identity = user;
        try {
            if (!user.empty())
                status.identity = FillIdentityField(context.cnn, context.strSearchRoot, user);
        } catch (const std::exception& e) {
            log.Prepend(EntryFor(e, context.strSearchRoot));
        }
    }

    try {
        const std::string homeMdb = GetSystemAttendantHomeMDB(context.cnn, context.strSearchRoot,
                                                              context.ShortComputerName);
        status.registration = CheckOnTimerEventRegistrationExists(context, homeMdb);
        for (const auto& entry : status.registration.errors) log.Prepend(entry);
        status.controls.Merge(status.registration.controls);
    } catch (const std::exception& e) {
        log.Prepend(EntryFor(e, context.strSearchRoot));
    }

    const std::string dest = status.controls.txtDestFolder.value_or(destFolderText);
    try {
        status.lists = GetUsersWithMailboxes(context.cnn, context.strSearchRoot,
                                             context.ShortComputerName, dest, progress);
    } catch (const std::exception& e) {
        log.Prepend(EntryFor(e, context.strSearchRoot));
    }
    return status;
}

}  // namespace setup
