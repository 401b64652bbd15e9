// Every program of the system run as a program: --version prints its name
// and the packages' version; --help (or -h) after any verb, group or mode
// prints the help and does nothing else; an unknown option is bad usage.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/testing/contains.h"
#include "base/testing/run_program.h"
#include "base/testing/temp_platform.h"

namespace {

using platform::testing::Contains;
using platform::testing::RunProgram;

// The version the packages carry: "quellix (0.1.0) ..." or "quellix
// (0.1.0-2) ..." on the changelog's top line gives 0.1.0.
std::string PackagesVersion() {
    std::ifstream in(QUELLIX_CHANGELOG);
    std::string top;
    std::getline(in, top);
    const size_t open = top.find('('), close = top.find(')');
    if (open == std::string::npos || close == std::string::npos)
        return "(no version in " + top + ")";
    const std::string version = top.substr(open + 1, close - open - 1);
    return version.substr(0, version.find('-'));
}

// Every file and folder below dir.
std::set<std::string> Contents(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        names.insert(e.path().string());
    return names;
}

struct Program {
    const char* name;
    const char* path;
};

const std::vector<Program>& Programs() {
    static const std::vector<Program> programs = {
        {"quellix-admin", QUELLIX_ADMIN},       {"quellix-host", QUELLIX_HOST},
        {"quellix-eventd", QUELLIX_EVENTD},     {"quellix-setup", QUELLIX_SETUP},
        {"quellix-demo", QUELLIX_DEMO},
#ifdef QUELLIX_SETUP_WINDOW
        {"QuellixSetup", QUELLIX_SETUP_WINDOW},
#endif
    };
    return programs;
}

TEST(ProgramOptionsTest, EveryProgramPrintsItsVersion) {
    const std::string version = PackagesVersion();
    for (const auto& p : Programs()) {
        for (const char* option : {"--version", "-V"}) {
            const auto r = RunProgram({p.path, option});
            EXPECT_EQ(r.code, 0) << p.name << " " << option << "\n" << r.err;
            EXPECT_EQ(r.out, std::string(p.name) + " " + version + "\n") << option;
            EXPECT_EQ(r.err, "") << p.name << " " << option;
        }
    }
}

TEST(ProgramOptionsTest, HelpAfterEveryVerbPrintsItAndDoesNothingElse) {
    platform::testing::TempPlatform temp("quellix-options-");
    temp.Configure();
    // Verbs that make files when they run: the store, a configuration, a
    // directory, the class registry, the event service's record.
    const std::string newConfig = temp.Dir() + "/new.conf";
    const std::string kSetupUsage = "usage: quellix-setup [--config FILE] [--module PATH] ";
    struct Case {
        std::vector<std::string> args;  // after the program's path
        int code;
        std::string out;  // in standard output
        std::string err;  // in standard error
    };
    std::vector<Case> cases = {
        {{QUELLIX_ADMIN, "--help"}, 0, "usage: quellix-admin [--config FILE] GROUP", ""},
        {{QUELLIX_ADMIN, "-h"}, 0, "       quellix-admin --version", ""},
        {{QUELLIX_ADMIN, "--config", newConfig, "init", "--yes", "--help"},
         0,
         "usage: quellix-admin [--config FILE] init [OPTIONS]",
         ""},
        {{QUELLIX_ADMIN, "check", "-h"}, 0, "usage: quellix-admin [--config FILE] check", ""},
        {{QUELLIX_ADMIN, "--bogus"}, 2, "", "quellix-admin: unknown option '--bogus'"},

        {{QUELLIX_HOST, "--help"}, 0, "       quellix-host --version", ""},
        {{QUELLIX_HOST, "ontimer", "--help"}, 0, "quellix-host [--config FILE] ontimer", ""},
        {{QUELLIX_HOST, "ontimer", "file://./backofficestorage/x/MBX/SystemMailbox/y", "-h"},
         0,
         "quellix-host [--config FILE] ontimer",
         ""},
        {{QUELLIX_HOST, "register", "--help"}, 0, "quellix-host [--config FILE] register", ""},
        {{QUELLIX_HOST, "register", QUELLIX_MODULE, "--help"},
         0,
         "quellix-host [--config FILE] register",
         ""},
        {{QUELLIX_HOST, "unregister", "-h", QUELLIX_MODULE},
         0,
         "quellix-host [--config FILE] unregister",
         ""},
        {{QUELLIX_HOST, "ontimer", "--bogus"}, 2, "", "quellix-host: unknown option '--bogus'"},
        {{QUELLIX_HOST, "register", "--bogus"}, 2, "", "quellix-host: unknown option '--bogus'"},

        // --config after the group or its verb names the configuration too.
        {{QUELLIX_ADMIN, "catalog", "list", "--config", "/nonexistent/qx.conf"},
         1,
         "",
         "open(/nonexistent/qx.conf) failed"},
        {{QUELLIX_ADMIN, "init", "--config", "/nonexistent/qx.conf", "--help"},
         0,
         "quellix-admin [--config FILE] init",
         ""},
        {{QUELLIX_EVENTD, "--help"}, 0, "       quellix-eventd --version", ""},
        {{QUELLIX_EVENTD, "--once", "--help"}, 0, "quellix-eventd [--config FILE] --once AT", ""},
        {{QUELLIX_EVENTD, "--once", "2000-01-01T00:00:00Z", "-h"},
         0,
         "quellix-eventd [--config FILE] --once AT",
         ""},
        {{QUELLIX_EVENTD, "--list", "--help"}, 0, "quellix-eventd [--config FILE] --list", ""},
        {{QUELLIX_EVENTD, "--bogus"}, 2, "", "quellix-eventd: unknown option '--bogus'"},

        {{QUELLIX_SETUP, "--help"}, 0, "       quellix-setup --version", ""},
        // A command's help is its own: its usage line, not the whole list.
        {{QUELLIX_SETUP, "status", "--help"}, 0, kSetupUsage + "status [--json]\n\n", ""},
        {{QUELLIX_SETUP, "history", "-h"}, 0, kSetupUsage + "history [--last N]", ""},
        {{QUELLIX_SETUP, "install", "--identity", "nobody", "--help"},
         0,
         kSetupUsage + "install --identity NAME",
         ""},
        {{QUELLIX_SETUP, "configure", "--age", "3", "--help"},
         0,
         kSetupUsage + "configure PARAMETERS",
         ""},
        {{QUELLIX_SETUP, "mark", "a@example.org", "--help"},
         0,
         kSetupUsage + "mark ADDRESS...",
         ""},
        {{QUELLIX_SETUP, "unmark", "--help"}, 0, kSetupUsage + "unmark ADDRESS...", ""},
        {{QUELLIX_SETUP, "uninstall", "--yes", "--help"}, 0, kSetupUsage + "uninstall [--yes]", ""},
        {{QUELLIX_SETUP, "preview", "--help"}, 0, kSetupUsage + "preview [--at INSTANT]", ""},
        {{QUELLIX_SETUP, "undo", "1", "--help"}, 0, kSetupUsage + "undo RUN-ID", ""},
        {{QUELLIX_SETUP, "status", "--bogus"}, 2, "", "unknown option --bogus for status"},

        {{QUELLIX_DEMO, "--move", "--help"}, 0, "       quellix-demo --version", ""},
        {{QUELLIX_DEMO, "--bogus"}, 2, "", "quellix-demo: unknown option '--bogus'"},
#ifdef QUELLIX_SETUP_WINDOW
        {{QUELLIX_SETUP_WINDOW, "--help"}, 0, "       QuellixSetup --version", ""},
#endif
    };
    // Every verb of every group of quellix-admin, and the group's own help.
    const std::vector<std::pair<std::string, std::vector<std::string>>> adminVerbs = {
        {"store",
         {"create-namespace", "create-mailbox", "create-folder", "import", "list", "show", "delete",
          "generate-corpus"}},
        {"directory", {"load", "search", "show", "set", "clear", "generate"}},
        {"catalog", {"list"}},
    };
    for (const auto& [group, verbs] : adminVerbs) {
        cases.push_back({{QUELLIX_ADMIN, group, "--help"}, 0, "quellix-admin " + group, ""});
        for (const auto& verb : verbs) {
            // Arguments that would make the verb do its work, were it run.
            cases.push_back({{QUELLIX_ADMIN, group, verb, "example.org", "--help"},
                             0,
                             "usage: quellix-admin " + group + " " + verb,
                             ""});
        }
    }

    for (const auto& c : cases) {
        const auto before = Contents(temp.Dir());
        std::string line;
        for (const auto& a : c.args) line += (line.empty() ? "" : " ") + a;
        const auto r = RunProgram(c.args);
        EXPECT_EQ(r.code, c.code) << line << "\n" << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, c.out)) << line;
        if (c.err.empty())
            EXPECT_EQ(r.err, "") << line;
        else
            EXPECT_TRUE(Contains(r.err, c.err)) << line;
        EXPECT_EQ(Contents(temp.Dir()), before) << line << " made or removed a file";
    }
}

}  // namespace
