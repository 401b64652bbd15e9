// The checks of quellix-admin check, which init runs after it has written
// the configuration: one line each for the configuration, its folders, the
// directory, the store, the marked mailboxes, the service account's access
// and the mail transport, saying plainly what is missing.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

#include "localplatform/config/platform_config.h"

namespace admin {

// The outcome of the checks: one line each, counted.
struct Report {
    int failed = 0;
    bool quiet = false;  // counts only
    void Line(const char* tag, const std::string& what) const {
        if (!quiet) std::printf("%-8s %s\n", tag, what.c_str());
    }
    void Ok(const std::string& what) const { Line("ok", what); }
    void Made(const std::string& what) const { Line("made", what); }
    void Note(const std::string& what) const { Line("note", what); }
    void Missing(const std::string& what) {
        ++failed;
        Line("MISSING", what);
    }
    void Failed(const std::string& what) {
        ++failed;
        Line("FAILED", what);
    }
};

// A failure as a line says it: its description and number.
std::string Described(const std::exception& e);
// The folder of the service account's files (data_dir, else the store's).
std::string DataDir(const localplatform::PlatformConfig& config);
// The directory's checks; returns the system mailbox's alias, empty when
// there is none. markedUnder, when given, gets the search root when
// mailboxes homed here are marked.
std::string CheckDirectory(Report& r, const localplatform::PlatformConfig& config,
                           std::string* markedUnder = nullptr);
// Every check, printed; the exit status.
int RunChecks(const std::string& testMail);
// True when the words ask for help.
bool WantsHelp(int argc, char** argv);

}  // namespace admin
