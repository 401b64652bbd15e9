// quellix-admin directory, run as a program on a private embedded directory:
// verbs, their output and their exit codes (0 ok, 1 failed, 2 usage).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "base/testing/temp_platform.h"

namespace {

using Outcome = platform::testing::ProgramOutcome;
using platform::testing::RunProgram;

class AdminDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = temp_.Dir();
        config_ = temp_.Configure(
            "server.computer_name = mail01\nserver.domain_dns_name = example.test\n");
    }
    void TearDown() override { unsetenv("QUELLIX_CONFIG"); }

    // Runs "quellix-admin directory ARGS" through the shell (ARGS holds quoted words).
    Outcome Admin(const std::string& args) {
        return RunProgram(
            {"/bin/sh", "-c",
             std::string(QUELLIX_ADMIN) + " --config '" + config_ + "' directory " + args});
    }

    platform::testing::TempPlatform temp_{"quellix-admindir-"};
    std::string dir_;
    std::string config_;
};

TEST_F(AdminDirectoryTest, VerbsWorkAndReportByExitCode) {
    const std::string root = "GC://mail01.example.test";
    const std::string ldif = dir_ + "/generated.ldif";
    const std::string mark =
        "SELECT cn, extensionAttribute8 FROM '" + root + "' WHERE sAMAccountName='extra1'";
    struct Case {
        std::string args;
        int code;
        std::string out;       // expected in standard output
        std::string err = {};  // expected in standard error
    };
    const std::vector<Case> cases = {
        {"--help", 0, "generate"},
        {"search --help", 0, "ORDER BY"},
        {"frobnicate", 2, "", "unknown verb 'frobnicate'"},
        {"search", 2, "", "search needs one query text"},
        {"generate --users many", 2, "", "--users needs a number"},
        // Nothing loaded yet: the directory file is missing.
        {"search \"SELECT cn FROM '" + root + "' WHERE cn='*'\"", 1, "",
         "open directory(" + dir_ + "/directory.ldb) failed: the directory file does not exist"},
        {"generate --users 30 --servers MAIL01,MAIL02 --seed 5 --ldif '" + ldif + "'", 0,
         "entries (30 users; servers MAIL01,MAIL02)"},
        {"show GC://RootDSE", 0, "defaultNamingContext: DC=example,DC=test"},
        {"search \"SELECT cn, homeMDB FROM '" + root +
             "' WHERE cn='Microsoft System Attendant' ORDER BY cn\"",
         0, "Microsoft System Attendant\tCN=Mailbox Store (MAIL01)"},
        {"search \"SELECT cn FROM '" + root + "' WHERE cn=\"", 1, "",
         "expected a quoted value or a number at offset 51"},
        {"load '" + dir_ + "/missing.ldif'", 1, "",
         "open(" + dir_ + "/missing.ldif) failed: No such file or directory"},
        {"load '" + dir_ + "/extra.ldif'", 0, "1 entries loaded"},
        {"load '" + dir_ + "/extra.ldif'", 1, "",
         "CN=Extra One,CN=Users,DC=example,DC=test"},  // already there
        {"search \"" + mark + "\"", 0, "Extra One\t\n"},
        {"set 'LDAP://mail01.example.test/CN=Extra One,CN=Users,DC=example,DC=test' "
         "extensionAttribute8 Quellix",
         0, ""},
        {"search \"" + mark + "\"", 0, "Extra One\tQuellix\n"},
        {"clear 'LDAP://mail01.example.test/CN=Extra One,CN=Users,DC=example,DC=test' "
         "extensionAttribute8",
         0, ""},
        {"search \"" + mark + "\"", 0, "Extra One\t\n"},
        {"show 'LDAP://mail01.example.test/CN=Nobody,DC=example,DC=test'", 1, "",
         "search(CN=Nobody,DC=example,DC=test) failed: there is no such object"},
        {"generate --users 10 --replace --no-load", 0, "entries"},
        {"generate --users 10 --replace --domain example.test", 0, "entries"},
    };
    std::ofstream(dir_ + "/extra.ldif")
        << "dn: CN=Extra One,CN=Users,DC=example,DC=test\n"
           "objectClass: user\ncn: Extra One\nsn: One\nsAMAccountName: extra1\n\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = Admin(c.args);
        EXPECT_EQ(r.code, c.code) << r.out;
        // A failure says what failed, on what, and why.
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.code == 0) {
            EXPECT_EQ(r.err.find("failed"), std::string::npos) << r.err;
        }
        if (!c.out.empty()) {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        }
    }
    // The LDIF written by generate is LDIF the loader reads back.
    const std::string text = platform::testing::FileText(ldif);
    EXPECT_NE(text.find("dn: DC=example,DC=test\n"), std::string::npos);
    EXPECT_NE(text.find("objectGUID:: "), std::string::npos);
}

}  // namespace
