// Which accounts a component may run as. A component runs in a surrogate
// under its application's account; that account must be a real, usable
// account and never the superuser: not uid 0 by any name (root, toor), not
// an account that is locked or expired, not one that does not exist. The
// catalog refuses such an identity when it is saved, and the event service
// again when it fires (the account may have changed in between).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace localplatform {

struct ServiceAccount {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

// The account named name when a component may run as it; otherwise nothing,
// and *why says why ("no account named 'x'", "'toor' has uid 0: a component
// never runs as root", "the account 'x' is locked", "... expired on
// yyyy-mm-dd"). Locked is what passwd -l and usermod -L leave: "!" before
// the password field ("!" or "*" alone is an account made without a
// password, as service accounts are). Whether it is locked or expired is read from the shadow
// file; a process that may not read it (not root) says so in *unchecked and
// leaves that part to the root process that switches to the account.
[[nodiscard]] std::optional<ServiceAccount> UsableServiceAccount(const std::string& name,
                                                                 std::string* why,
                                                                 std::string* unchecked = nullptr);

// The name of the account with uid, from the password database; nothing
// when it has no entry (a container's arbitrary uid).
[[nodiscard]] std::optional<std::string> AccountName(uid_t uid);

}  // namespace localplatform
