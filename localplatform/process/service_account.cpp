#include "localplatform/process/service_account.h"

#include <pwd.h>
#include <shadow.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/strfuncs.h"

namespace localplatform {

std::optional<ServiceAccount> UsableServiceAccount(const std::string& name, std::string* why,
                                                   std::string* unchecked) {
    const std::string shown = "'" + platform::VisibleText(name) + "'";
    if (platform::Trim(name).empty()) {
        *why = "no account named: a component needs an account of its own to run as";
        return std::nullopt;
    }
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    int rc = 0;
    while ((rc = getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || found == nullptr) {
        *why = "no account named " + shown + (rc != 0 ? std::string(": ") + std::strerror(rc) : "");
        return std::nullopt;
    }
    if (pw.pw_uid == 0) {
        *why = shown + " has uid 0: a component never runs as root";
        return std::nullopt;
    }
    ServiceAccount account{pw.pw_name, pw.pw_uid, pw.pw_gid, pw.pw_dir ? pw.pw_dir : "/"};

    spwd sp{};
    spwd* shadow = nullptr;
    std::vector<char> sbuffer(16384);
    errno = 0;
    rc = getspnam_r(name.c_str(), &sp, sbuffer.data(), sbuffer.size(), &shadow);
    if (shadow == nullptr) {
        // No shadow entry at all is an account without a password of its
        // own, which is fine; one that cannot be read is left to root.
        if (rc == EACCES || errno == EACCES) {
            if (unchecked) *unchecked = "whether " + shown + " is locked or expired (needs root)";
        }
        return account;
    }
    // "!" or "*" alone is an account that never had a password, as a
    // service account is made (useradd --system); "!" before something is
    // an account locked by passwd -l or usermod -L.
    if (sp.sp_pwdp != nullptr && sp.sp_pwdp[0] == '!' && sp.sp_pwdp[1] != '\0') {
        *why = "the account " + shown + " is locked";
        return std::nullopt;
    }
    if (sp.sp_expire > 0) {
        const long today = static_cast<long>(std::time(nullptr) / 86400);
        if (today >= sp.sp_expire) {
            char date[16];
            const time_t at = static_cast<time_t>(sp.sp_expire) * 86400;
            tm t{};
            gmtime_r(&at, &t);
            std::strftime(date, sizeof date, "%Y-%m-%d", &t);
            *why = "the account " + shown + " expired on " + date;
            return std::nullopt;
        }
    }
    return account;
}

std::optional<std::string> AccountName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (found == nullptr || pw.pw_name == nullptr) return std::nullopt;
    return std::string(pw.pw_name);
}

}  // namespace localplatform
