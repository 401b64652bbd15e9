// Test support: runs a program as a child process, without a shell, and
// collects what it wrote, so tests can assert exit codes and messages.
#pragma once

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

}  // namespace platform::testing
