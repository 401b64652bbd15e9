#include "localplatform/store/mail_store.h"

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/store/maildir_store.h"

namespace localplatform {

std::unique_ptr<MailStore> OpenMailStore(const MailStoreSettings& settings) {
    namespace err = platform::err;
    const std::string scheme =
        platform::Lower(settings.location.substr(0, settings.location.find(':')));
    if (scheme == "maildir") return OpenMaildirStore(settings);
    const std::string where = settings.source + ": mailstore." + settings.ns;
    if (scheme == "imap" || scheme == "imaps") {
        // The IMAP backend plugs in here.
        throw platform::Error(
            err::kAdoFeatureNotAvailable,
            platform::Describe("open mail store", where,
                               "the IMAP backend is not built into this platform (" +
                                   platform::VisibleText(settings.location) + ")",
                               err::kAdoFeatureNotAvailable));
    }
    throw platform::Error(err::kInvalidArg,
                          platform::Describe("open mail store", where,
                                             "no mail store backend takes '" +
                                                 platform::VisibleText(settings.location) + "'",
                                             err::kInvalidArg));
}

}  // namespace localplatform
