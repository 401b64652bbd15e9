#include "base/testing/run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform::testing {

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

ProgramOutcome RunProgram(const std::vector<std::string>& argv, const std::string& input) {
    // Files, not pipes: a child that writes a lot never blocks on a full pipe.
    char dirTemplate[] = "/tmp/quellix-run-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    ProgramOutcome outcome;
    if (!dir) return outcome;
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out",
                      err = std::string(dir) + "/err";
    std::ofstream(in, std::ios::binary) << input;
    // Everything the child needs is made before the fork: a child of a
    // process with other threads may only make system calls until it execs
    // (an allocator lock another thread held at the fork stays held there).
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT, 0600),
                            open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
        for (int i = 0; i < 3; ++i) {
            if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    }
    outcome.out = Slurp(out);
    outcome.err = Slurp(err);
    std::remove(in.c_str());
    std::remove(out.c_str());
    std::remove(err.c_str());
    rmdir(dir);
    return outcome;
}

pid_t StartProgram(const std::vector<std::string>& argv, const std::string& errPath,
                   const std::function<bool()>& childSetup) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(127);
        if (childSetup && !childSetup()) _exit(77);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace platform::testing
