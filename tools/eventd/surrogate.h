// The surrogate: every firing runs the component host (quellix-host) in a
// process of its own, so a sink that crashes or hangs never takes the event
// service down. The process runs under the identity of the component's
// application: a service running as root switches to that account before it
// loads anything (initgroups, setgid, setuid, each checked); a service that
// cannot switch refuses to run the call.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace eventd {

struct SurrogateCall {
    std::string hostPath;    // the component host program
    std::string configPath;  // platform configuration passed on; empty = the host's default
    std::string progId;
    std::string itemUrl;
    std::optional<std::string> constructorString;  // when construction is enabled
    // The account to run as; empty or "Interactive User" = the service's own.
    std::string identity;
    std::chrono::seconds limit{3600};  // the run is ended past this
};

// How a call ended.
struct SurrogateOutcome {
    enum class Kind { kSucceeded, kFailed, kCrashed, kTimedOut, kNotStarted };
    Kind kind = Kind::kNotStarted;
    int code = 0;        // exit status, or the signal that ended it
    std::string detail;  // one line for the service's log
};

class Surrogate {
public:
    // Starts the call. On failure (the identity cannot be had, fork or exec
    // fails) nothing runs and *notStarted says why.
    static std::optional<Surrogate> Start(const SurrogateCall& call, SurrogateOutcome* notStarted);

    Surrogate(Surrogate&& other) noexcept;
    Surrogate& operator=(Surrogate&&) = delete;
    Surrogate(const Surrogate&) = delete;
    // A surrogate still running when its owner goes is ended and reaped.
    ~Surrogate();

    // The outcome once the process has ended; nothing while it runs. Ends
    // the process (SIGTERM, then SIGKILL after a short grace) once it has
    // run past its limit.
    [[nodiscard]] std::optional<SurrogateOutcome> Poll();
    // Waits for the outcome, ending the process at its limit.
    [[nodiscard]] SurrogateOutcome Wait();

    [[nodiscard]] pid_t Pid() const { return pid_; }

private:
    Surrogate(pid_t pid, std::chrono::steady_clock::time_point deadline, std::string what);
    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    std::optional<std::chrono::steady_clock::time_point> termSent_;
    bool timedOut_ = false;
    std::string what_;  // "ProgID(item URL)" for the log
};

// The account the service runs as, by name (for log lines and checks).
[[nodiscard]] std::string CurrentAccountName();

}  // namespace eventd
