// Exit codes shared by every program of the system: a script can tell a
// failed operation from a command it called wrongly.
#pragma once

namespace platform {

constexpr int kExitOk = 0;      // the operation was carried out
constexpr int kExitFailed = 1;  // the operation failed; standard error says why
constexpr int kExitUsage = 2;   // bad usage; nothing was done
constexpr int kExitPartly = 3;  // carried out, but parts of it failed; the log says which

}  // namespace platform
