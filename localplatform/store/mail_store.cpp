#include "localplatform/store/mail_store.h"

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/store/imap/imap_store.h"
#include "localplatform/store/maildir_store.h"

namespace localplatform {

namespace {
thread_local uint64_t runsStarted = 0;
}  // namespace

void StartMailStoreRun() {
    ++runsStarted;
}

uint64_t MailStoreRunsStarted() {
    return runsStarted;
}

std::unique_ptr<MailStore> OpenMailStore(const MailStoreSettings& settings) {
    namespace err = platform::err;
    const std::string scheme =
        platform::Lower(settings.location.substr(0, settings.location.find(':')));
    if (scheme == "maildir") return OpenMaildirStore(settings);
    const std::string where = settings.source + ": mailstore." + settings.ns;
    if (scheme == "imap" || scheme == "imaps") return OpenImapStore(settings);
    throw platform::Error(
        err::kInvalidArg,
        platform::Describe("open mail store", where,
                           "no mail store backend takes '" +
                               platform::VisibleText(platform::WithoutUserInfo(settings.location)) +
                               "'",
                           err::kInvalidArg));
}

}  // namespace localplatform
