// Benchmark support: the command line of a benchmark program. Words come
// first (a mode, a verb, counts), then options "--name VALUE" and flags
// "--name" in any order. The program takes what it knows, then asks Done()
// whether to go on: anything it did not take, or a value that was not what
// it asked for, is reported on stderr with the usage, never ignored.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::testing {

class BenchArgs {
public:
    // usage: what follows "usage: " in messages, starting with the program's
    // name, e.g. "iso_date_bench [OPERATIONS]".
    BenchArgs(int argc, char** argv, std::string usage);

    // The next word before the options; nothing when an option or the end
    // comes first.
    std::optional<std::string> Word();
    // The next word as a whole number of at least least; fallback when no
    // word is left (what stands there must then be a number).
    long NumberWord(const char* what, long fallback, long least);
    // The value of --option; fallback when it is not given.
    std::string Text(std::string_view option, std::string fallback);
    // The value of --option as a whole number of at least least.
    long Number(std::string_view option, long fallback, long least);
    // Whether the flag --option is given.
    bool Flag(std::string_view option);
    // Everything not taken yet, as given and ending in a null pointer (the
    // command line of a program to run).
    std::vector<char*> Rest();

    // Nothing when the program should go on. Otherwise the exit status: 0
    // after --help printed the usage on stdout, 2 after an argument that
    // was not understood was reported on stderr with the usage.
    [[nodiscard]] std::optional<int> Done();
    // Reports a value the program itself found wrong (a date that does not
    // parse, a mode it does not know) with the usage; returns 2.
    int Fail(const std::string& why) const;

private:
    int Refuse(const std::vector<std::string>& whys) const;
    long ToNumber(const std::string& what, const std::string& text, long fallback, long least);

    std::string usage_;
    std::vector<char*> argv_;  // the arguments after the program's name
    std::vector<bool> taken_;
    std::vector<std::string> errors_;
};

}  // namespace platform::testing
