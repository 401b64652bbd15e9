// The verb groups of quellix-admin and what they share: the verb table, the
// one dispatcher that runs a group's verb with its --help, usage and error
// handling, and the option splitter. A group's main gets the arguments after
// the group name and returns the process exit code (base/exit_codes.h).
#pragma once

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace admin {

struct Group {
    const char* name;
    int (*run)(int argc, char** argv);
};

// The verb groups, in the order --help lists them.
const std::vector<Group>& Groups();

int StoreMain(int argc, char** argv);      // admin_store.cpp
int DirectoryMain(int argc, char** argv);  // admin_directory.cpp
int CatalogMain(int argc, char** argv);    // admin_catalog.cpp
int InitMain(int argc, char** argv);       // admin_init.cpp
int CheckMain(int argc, char** argv);      // admin_checks.cpp

// Bad usage found by a verb: the dispatcher prints it with the verb's
// synopsis and exits with kExitUsage.
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// One verb: its name, the synopsis and help its --help prints, and the
// function that gets the words after the verb.
struct Verb {
    const char* name;
    const char* synopsis;
    const char* help;
    int (*run)(const std::vector<std::string>& args);
};

// Runs the verb argv[0] of the group: "--help" (or none) prints the group's
// help, "VERB --help" the verb's; a UsageError exits 2 with the synopsis, a
// platform::Error or any other failure exits 1 with one line
// "quellix-admin GROUP VERB: reason (number)"; an unknown verb exits 2.
int RunGroup(const char* group, const std::vector<Verb>& verbs, void (*groupHelp)(FILE* out),
             int argc, char** argv);

// Options "--name value" and flags "--name" (the names in flags); every
// other word is positional. Raises UsageError for an option without value.
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    [[nodiscard]] bool Has(const std::string& k) const { return options.count(k) != 0; }
    [[nodiscard]] std::string Get(const std::string& k, const std::string& fallback) const;
    // A whole number 0 or more; raises UsageError for any other text.
    [[nodiscard]] long Number(const std::string& k, long fallback) const;
};
Args Split(const std::vector<std::string>& words, const std::vector<std::string>& flags);

}  // namespace admin
