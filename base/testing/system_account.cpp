#include "base/testing/system_account.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>

namespace platform::testing {

std::unique_ptr<SystemAccount> SystemAccount::Create(const std::string& prefix, std::string* why,
                                                     const std::vector<std::string>& extra) {
    if (::geteuid() != 0) {
        *why = "making a system account needs root";
        return nullptr;
    }
    static std::atomic<int> made{0};
    std::unique_ptr<SystemAccount> account(new SystemAccount());
    account->name_ = prefix + std::to_string(::getpid()) + "x" + std::to_string(made++);
    std::vector<std::string> argv = {"/usr/sbin/useradd", "--system",         "--user-group",
                                     "--no-create-home",  "--home-dir",       "/nonexistent",
                                     "--shell",           "/usr/sbin/nologin"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(account->name_);
    const ProgramOutcome o = RunProgram(argv);
    if (o.code != 0) {
        *why = "useradd " + account->name_ + " failed: " + o.err;
        return nullptr;
    }
    const passwd* pw = ::getpwnam(account->name_.c_str());
    if (pw == nullptr) {
        *why = "useradd made no account " + account->name_;
        return nullptr;
    }
    account->uid_ = pw->pw_uid;
    account->gid_ = pw->pw_gid;
    return account;
}

SystemAccount::~SystemAccount() {
    Remove();
}

void SystemAccount::Remove() {
    if (removed_) return;
    removed_ = true;
    // Its group goes with it (useradd made it for the account alone).
    (void)RunProgram({"/usr/sbin/userdel", "-f", name_});
    (void)RunProgram({"/usr/sbin/groupdel", name_});
}

ProgramOutcome SystemAccount::Run(const std::vector<std::string>& argv,
                                  const std::string& input) const {
    std::vector<std::string> as = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                                   "--regid=" + std::to_string(gid_), "--init-groups", "--"};
    as.insert(as.end(), argv.begin(), argv.end());
    return RunProgram(as, input);
}

}  // namespace platform::testing
