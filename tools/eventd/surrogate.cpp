#include "tools/eventd/surrogate.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "localplatform/process/service_account.h"

extern char** environ;

namespace eventd {

namespace {

constexpr std::chrono::seconds kKillGrace{2};

using localplatform::ServiceAccount;

bool IsOwnIdentity(const std::string& identity) {
    const std::string t = platform::Trim(identity);
    return t.empty() || platform::EqualsNoCase(t, "Interactive User");
}

// Writes a diagnostic from the child between fork and exec, where only
// async-signal-safe calls are allowed.
[[noreturn]] void ChildFail(int fd, const char* what) {
    const char* reason = strerror(errno);
    (void)!::write(fd, what, std::strlen(what));
    (void)!::write(fd, ": ", 2);
    (void)!::write(fd, reason, std::strlen(reason));
    ::_exit(127);
}

std::string SignalName(int sig) {
    const char* name = sigabbrev_np(sig);
    return name ? std::string("SIG") + name : "signal " + std::to_string(sig);
}

}  // namespace

std::string CurrentAccountName() {
    return localplatform::AccountName(geteuid()).value_or("uid " + std::to_string(geteuid()));
}

namespace {

// The account the host runs as: nothing for the service's own account
// (named, or by the identities that mean it), which is refused when that is
// root. Never root: not by the service's own account, not by an account of
// uid 0, whatever its name. Fills why when the call is refused.
std::optional<ServiceAccount> ChooseAccount(const SurrogateCall& call, std::string& why) {
    if (IsOwnIdentity(call.identity)) {
        if (geteuid() == 0) {
            why = "cannot run as '" + call.identity +
                  "': that is the service's own account, root, and a component never "
                  "runs as root; give its application an account of its own";
        }
        return std::nullopt;
    }
    std::string unusable;
    auto account = localplatform::UsableServiceAccount(platform::Trim(call.identity), &unusable);
    if (!account) {
        why = "cannot run as " + call.identity + ": " + unusable;
    } else if (geteuid() != 0) {
        // Without root the host runs only as the service's own account, as
        // it is: it cannot set its groups or ids, not even to those it has.
        if (account->uid != geteuid()) {
            why = "cannot run as " + account->name + ": the service runs as " +
                  CurrentAccountName() + " and may not switch accounts";
        }
        account.reset();
    }
    return account;
}

// The component host's command line for the call.
std::vector<std::string> HostArguments(const SurrogateCall& call) {
    std::vector<std::string> args = {call.hostPath};
    if (!call.configPath.empty()) args.insert(args.end(), {"--config", call.configPath});
    args.insert(args.end(), {"ontimer", "--progid", call.progId});
    if (call.constructorString) args.insert(args.end(), {"--construct", *call.constructorString});
    args.push_back(call.itemUrl);
    return args;
}

// The service's environment, with the account's own names and home when
// the host switches to it (and no TMPDIR of the service's).
std::vector<std::string> HostEnvironment(const std::optional<ServiceAccount>& account) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view v(*e);
        const bool replaced = account && (v.starts_with("HOME=") || v.starts_with("USER=") ||
                                          v.starts_with("LOGNAME=") || v.starts_with("TMPDIR="));
        if (!replaced) env.emplace_back(v);
    }
    if (account) {
        env.push_back("HOME=" + account->home);
        env.push_back("USER=" + account->name);
        env.push_back("LOGNAME=" + account->name);
    }
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (auto& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// In the child, between fork and exec: its own process group (ending it ends
// what it started), the account's identity, complete and final, then the
// host. Only returns through ChildFail, which writes to report.
[[noreturn]] void BecomeHost(const std::optional<ServiceAccount>& account, char** argv, char** envp,
                             int report) {
    ::setpgid(0, 0);
    if (account) {
        // initgroups reads the group database and is not async-signal-safe:
        // it is safe here only because the service is single-threaded, so
        // no other thread can hold a lock it needs at the fork.
        if (::initgroups(account->name.c_str(), account->gid) != 0) ChildFail(report, "initgroups");
        if (::setgid(account->gid) != 0) ChildFail(report, "setgid");
        if (::setuid(account->uid) != 0) ChildFail(report, "setuid");
        if (::getuid() != account->uid || ::geteuid() != account->uid ||
            ::getgid() != account->gid || ::getegid() != account->gid) {
            errno = EPERM;
            ChildFail(report, "identity check");
        }
        if (::setuid(0) == 0) {
            errno = EPERM;
            ChildFail(report, "identity check (root regained)");
        }
    }
    ::execve(argv[0], argv, envp);
    ChildFail(report, "exec");
}

// What the child wrote before exec closed the pipe: empty when the host
// started.
std::string ReadChildFailure(int fd) {
    char buffer[512];
    std::string childError;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            childError.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    return childError;
}

}  // namespace

std::optional<Surrogate> Surrogate::Start(const SurrogateCall& call, SurrogateOutcome* notStarted) {
    const std::string what = call.progId + "(" + call.itemUrl + ")";
    auto refuse = [&](const std::string& why) {
        *notStarted = {SurrogateOutcome::Kind::kNotStarted, 0, why};
        return std::nullopt;
    };
    // Everything the child needs is prepared here: after fork it only
    // switches identity and executes.
    std::string refused;
    const std::optional<ServiceAccount> account = ChooseAccount(call, refused);
    if (!refused.empty()) return refuse(refused);
    std::vector<std::string> args = HostArguments(call);
    std::vector<std::string> env = HostEnvironment(account);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(env);

    // The child reports a failure before exec through this pipe; exec
    // closes it (O_CLOEXEC), which tells the parent the host started.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return refuse(std::string("pipe: ") + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int e = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return refuse(std::string("fork: ") + std::strerror(e));
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        BecomeHost(account, argv.data(), envp.data(), pipeFds[1]);
    }
    ::close(pipeFds[1]);
    const std::string childError = ReadChildFailure(pipeFds[0]);
    ::close(pipeFds[0]);
    if (!childError.empty()) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return refuse("starting " + call.hostPath + (account ? " as " + account->name : "") +
                      " failed: " + childError);
    }
    return Surrogate(pid, std::chrono::steady_clock::now() + call.limit, what);
}

Surrogate::Surrogate(pid_t pid, std::chrono::steady_clock::time_point deadline, std::string what)
    : pid_(pid), deadline_(deadline), what_(std::move(what)) {}

Surrogate::Surrogate(Surrogate&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      deadline_(other.deadline_),
      termSent_(other.termSent_),
      timedOut_(other.timedOut_),
      what_(std::move(other.what_)) {}

Surrogate::~Surrogate() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

std::optional<SurrogateOutcome> Surrogate::Poll() {
    if (pid_ <= 0) return SurrogateOutcome{SurrogateOutcome::Kind::kFailed, 0, "not running"};
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        if (timedOut_) {
            return SurrogateOutcome{SurrogateOutcome::Kind::kTimedOut, 0,
                                    what_ + " ran past its limit and was ended"};
        }
        if (WIFEXITED(status)) {
            const int code = WEXITSTATUS(status);
            if (code == 0)
                return SurrogateOutcome{SurrogateOutcome::Kind::kSucceeded, 0,
                                        what_ + " completed"};
            return SurrogateOutcome{
                SurrogateOutcome::Kind::kFailed, code,
                what_ +
                    (code == platform::kExitPartly ? " completed with failures (exit status "
                                                   : " failed (exit status ") +
                    std::to_string(code) + ")"};
        }
        const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return SurrogateOutcome{SurrogateOutcome::Kind::kCrashed, sig,
                                what_ + " crashed (" + SignalName(sig) + ")"};
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline_) {
        timedOut_ = true;
        if (!termSent_) {
            ::kill(-pid_, SIGTERM);
            termSent_ = now;
        } else if (now >= *termSent_ + kKillGrace) {
            ::kill(-pid_, SIGKILL);
        }
    }
    return std::nullopt;
}

SurrogateOutcome Surrogate::Wait() {
    for (;;) {
        if (auto outcome = Poll()) return *outcome;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace eventd
