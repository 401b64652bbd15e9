// Test support: a real system account (user and group of its own, no home,
// no login), made with useradd when the test starts and removed with userdel
// when it ends, so that tests can run the platform's programs under a
// service account as a deployment does. Needs root.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "base/testing/run_program.h"

namespace platform::testing {

class SystemAccount {
public:
    // A new account named <prefix><pid><n>; more useradd options in extra
    // (such as {"-o", "-u", "0"} for another name of uid 0). Nothing, with
    // *why set, when this process is not root or useradd fails.
    static std::unique_ptr<SystemAccount> Create(const std::string& prefix, std::string* why,
                                                 const std::vector<std::string>& extra = {});
    ~SystemAccount();
    SystemAccount(const SystemAccount&) = delete;
    SystemAccount& operator=(const SystemAccount&) = delete;

    [[nodiscard]] const std::string& Name() const { return name_; }
    [[nodiscard]] uid_t Uid() const { return uid_; }
    [[nodiscard]] gid_t Gid() const { return gid_; }

    // Runs argv as this account (setpriv: its uid, gid and groups), as
    // RunProgram does.
    [[nodiscard]] ProgramOutcome Run(const std::vector<std::string>& argv,
                                     const std::string& input = "") const;
    // Removes the account now (the destructor then does nothing).
    void Remove();

private:
    SystemAccount() = default;
    std::string name_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool removed_ = false;
};

}  // namespace platform::testing
