// Who a process is, so that a record left by a process (a lock, a run in the
// history) can later be found dead: this host's name, and a token that tells
// a process apart from a later one that reuses its id (the boot and the
// process's start time since that boot).
#pragma once

#include <cstdint>
#include <string>

namespace localplatform {

// This host's name as gethostname gives it; "localhost" when it has none.
[[nodiscard]] std::string HostName();

// The token of the process pid: "<boot id>:<start time in clock ticks>".
// Empty when there is no such process.
[[nodiscard]] std::string ProcessToken(int64_t pid);

// Whether a process of this host is gone: no process has its id, or the one
// that has it is not the one whose token was recorded (its id was reused).
// An empty token checks the id alone. A stopped process is not gone.
[[nodiscard]] bool ProcessGone(int64_t pid, const std::string& token);

}  // namespace localplatform
