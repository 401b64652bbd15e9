#include "localplatform/mail/sendmail_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "base/error.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace localplatform {

namespace err = platform::err;
using platform::Error;
using platform::UniqueFd;

namespace {

constexpr size_t kMostOutput = 2048;

[[noreturn]] void Fail(int32_t number, const std::string& op, const std::string& object,
                       const std::string& why) {
    throw Error(number, platform::Describe(op, platform::VisibleText(object), why, number));
}

void CheckAddress(const std::string& address, const std::string& role) {
    const bool control = std::any_of(address.begin(), address.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (control || address.empty() || address[0] == '-')
        Fail(err::kInvalidArg, "send mail", address, "not an address that can be the " + role);
}

}  // namespace

void SendWithSendmail(const SendmailSettings& settings, const std::string& sender,
                      const std::vector<std::string>& recipients, int fd, const std::string& path) {
    if (recipients.empty())
        Fail(err::kCdoNoRecipients, "send mail", path, "At least one recipient is required");
    if (settings.program.empty() || settings.program[0] != '/')
        Fail(err::kCdoSendFailed, "send mail", settings.program,
             "mail.sendmail is not an absolute path");
    if (!sender.empty()) CheckAddress(sender, "sender");
    for (const auto& r : recipients) CheckAddress(r, "recipient");

    std::vector<std::string> args = {settings.program, "-oi"};
    if (!sender.empty()) {
        args.emplace_back("-f");
        args.push_back(sender);
    }
    args.emplace_back("--");
    args.insert(args.end(), recipients.begin(), recipients.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0)
        Fail(err::kCdoSendFailed, "send mail", settings.program, std::strerror(errno));
    UniqueFd readEnd(out[0]);
    UniqueFd writeEnd(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, settings.program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        Fail(err::kCdoSendFailed, "send mail", settings.program, std::strerror(spawned));
    writeEnd = UniqueFd();

    // What it says, until it closes its output or the bound is hit.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(settings.timeoutSeconds);
    const auto left = [&] {
        return std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
    };
    std::string said;
    bool timedOut = false;
    for (;;) {
        pollfd p{readEnd.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left(), 1000)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (left() == 0) {
                timedOut = true;
                break;
            }
            continue;
        }
        char buffer[512];
        const ssize_t n = ::read(readEnd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (said.size() < kMostOutput)
            said.append(buffer, std::min(static_cast<size_t>(n), kMostOutput - said.size()));
    }
    // Then its end: an output closed early does not end the wait, the
    // bound does (the program is killed, and reaped).
    if (timedOut) (void)::kill(pid, SIGKILL);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (done == 0 && !timedOut && left() == 0) {
            timedOut = true;
            (void)::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (timedOut) {
        Fail(err::kCdoSendFailed, "send mail", settings.program,
             "did not end within " + std::to_string(settings.timeoutSeconds) +
                 " s (mail.timeout), and was killed");
    }
    const std::string words =
        said.empty() ? std::string() : ": " + platform::VisibleText(platform::TrimSpace(said));
    if (WIFSIGNALED(status))
        Fail(err::kCdoSendFailed, "send mail", settings.program,
             "ended by signal " + std::to_string(WTERMSIG(status)) + words);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(err::kCdoSendFailed, "send mail", settings.program,
             "exit status " + std::to_string(WEXITSTATUS(status)) + words);
}

}  // namespace localplatform
