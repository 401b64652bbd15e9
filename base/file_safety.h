// Who may change a file, and files made for their owner alone: the checks a
// process makes before it trusts a file, and the owner and mode it gives a
// file it creates among another account's files.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "base/unique_fd.h"

namespace platform {

// Opens the regular file or folder at path for reading when a root process
// may trust it, as sshd's StrictModes judges: every folder from "/" down
// and the file itself belong to root and are writable by no one else (a
// folder open to all with the sticky bit, such as /tmp, passes above an
// entry of root's: no one else can move that entry), and none of them is a
// link, which is never followed. Each is judged on the descriptor opened
// from the folder above it, so what was judged is what is returned. When it
// may not be trusted, returns no descriptor and sets *why to the path and
// the fault, as "owner of /var/lib/quellix is uid 999, not root".
[[nodiscard]] UniqueFd OpenRootsAlone(const std::string& path, std::string* why);
// Why a root process may not trust path, judged as OpenRootsAlone does, or
// nothing when it may. A caller that reads the file opens it again by path
// only because every folder on the way is root's alone.
[[nodiscard]] std::optional<std::string> WhyNotRootsAlone(const std::string& path);

// Gives a file this process has just created (open as fd) the mode mode,
// whatever the umask, and, when this process runs as root and the folder
// holding path belongs to another account, that account and the folder's
// group: a file root makes among an account's files stays the account's to
// write. Raises platform::Error naming path when either cannot be done.
void SettleNewFile(int fd, const std::string& path, mode_t mode);

// Creates path as an empty regular file of mode mode (O_EXCL, without
// following a link) and settles it as above; false when something is at
// path already. Raises platform::Error naming path for any other failure.
bool CreateSettledFile(const std::string& path, mode_t mode);

// Settles the existing regular file at path, opened without following a
// link and without waiting on anything that is not a regular file; false
// when there is none.
bool SettleExistingFile(const std::string& path, mode_t mode);

// Whether others (not the owner, not the group) may read the file at path;
// a link is not followed. Nothing when it cannot be told.
[[nodiscard]] std::optional<bool> OthersMayRead(const std::string& path);

}  // namespace platform
