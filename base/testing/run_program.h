// Test support: runs a program as a child process, without a shell, and
// collects what it wrote, so tests can assert exit codes and messages.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace platform::testing {

struct ProgramOutcome {
    int code = -1;    // exit status; -1 when it ended by a signal or could not start
    int signal = 0;   // the signal that ended it, if one did
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv[0] with argv, input on its standard input, and waits for it.
ProgramOutcome RunProgram(const std::vector<std::string>& argv, const std::string& input = "");

// Starts argv[0] with argv, its standard error written to errPath, and
// leaves it running; returns its pid (negative when it could not fork).
// childSetup runs in the child before the program starts: when it returns
// false, what the test needs could not be made, and the child exits 77.
pid_t StartProgram(const std::vector<std::string>& argv, const std::string& errPath,
                   const std::function<bool()>& childSetup = {});

}  // namespace platform::testing
