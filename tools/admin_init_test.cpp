// quellix-admin init and check, run as programs on a private folder: init
// takes an empty server to one that quellix-setup installs on, with the
// folders' owners and modes; it refuses to replace a configuration without
// --force; check says what went missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/testing/contains.h"
#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "base/testing/temp_platform.h"

namespace {

using platform::testing::Contains;

using Outcome = platform::testing::ProgramOutcome;
using platform::testing::RunProgram;

Outcome Admin(const std::string& config, std::vector<std::string> args) {
    args.insert(args.begin(), {QUELLIX_ADMIN, "--config", config});
    return RunProgram(args);
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

TEST(AdminInitTest, TakesAnEmptyServerToOneTheSetupProgramInstallsOn) {
    platform::testing::TempPlatform temp("quellix-init-test-");
    const std::string config = temp.Dir() + "/etc/platform.conf";
    const std::string state = temp.Dir() + "/state";
    const std::string data = state + "/data";
    const std::vector<std::string> init = {"init",      "--yes",       "--computer-name", "Exch01",
                                           "--domain",  "example.org", "--state-dir",     state,
                                           "--account", "root",        "--transport",     "pickup"};
    Outcome o = Admin(config, init);
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_TRUE(Contains(o.out, "Every check passed"));

    const std::string text = platform::testing::FileText(config);
    for (const char* key :
         {"server.computer_name = exch01\n", "server.domain_dns_name = example.org\n",
          "# store.busy_timeout_ms = 10000\n"}) {
        EXPECT_TRUE(Contains(text, key)) << key << "\n" << text;
    }
    for (const std::string& key :
         {"store = " + data + "/store.db\n", "directory = ldb://" + data + "/directory.ldb\n",
          "mail.pickup_dir = " + data + "/pickup\n", "temp_dir = " + data + "/tmp\n"}) {
        EXPECT_TRUE(Contains(text, key)) << key << "\n" << text;
    }
    const struct {
        std::string path;
        unsigned mode;
    } modes[] = {{config, 0640},
                 {state, 0755},
                 {data, 0750},
                 {data + "/tmp", 0700},
                 {data + "/pickup", 0700},
                 {data + "/store.db", 0600},
                 {data + "/directory.ldb", 0600}};
    for (const auto& m : modes) EXPECT_EQ(Mode(m.path), m.mode) << m.path;

    // The setup program finds the server and writes its registration.
    o = RunProgram({QUELLIX_SETUP, "--config", config, "--module", QUELLIX_MODULE, "install",
                    "--identity", "nobody", "--password-file", "-"},
                   "secret\n");
    EXPECT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_TRUE(Contains(o.out, "State: Installed")) << o.out << o.err;

    // A configuration is never replaced without --force.
    o = Admin(config, init);
    EXPECT_EQ(o.code, 1);
    EXPECT_TRUE(Contains(o.err, "already holds a configuration"));
    EXPECT_EQ(platform::testing::FileText(config), text);

    // check finds what went missing, and says so.
    EXPECT_EQ(Admin(config, {"check"}).code, 0);
    o = RunProgram({"/bin/sh", "-c",
                    std::string(QUELLIX_ADMIN) + " --config " + config +
                        " store list file://./backofficestorage/example.org/MBX | "
                        "grep -o 'file://[^[:space:]]*SystemMailbox{[^}/]*}' | head -1"});
    const std::string mailbox = o.out.substr(0, o.out.find('\n'));
    ASSERT_FALSE(mailbox.empty()) << o.err;
    ASSERT_EQ(Admin(config, {"store", "delete", mailbox}).code, 0);
    o = Admin(config, {"check"});
    EXPECT_EQ(o.code, 1);
    EXPECT_TRUE(Contains(o.out, "MISSING  the system mailbox SystemMailbox{"));

    // A value of two lines would be a key of its own: refused, nothing written.
    const std::string other = temp.Dir() + "/other/platform.conf";
    o = Admin(other, {"init", "--yes", "--account", "root", "--state-dir", state, "--directory",
                      "ldap://127.0.0.1:1", "--bind-dn", "CN=x\nstate_dir = /tmp"});
    EXPECT_EQ(o.code, 1);
    EXPECT_TRUE(Contains(o.err, "control character"));
    EXPECT_NE(access(other.c_str(), F_OK), 0);

    // The bind password from a file: one others may read is refused before
    // anything is written; a private one is named, never copied.
    const std::string secret = temp.Dir() + "/bind-password";
    std::ofstream(secret) << "s3cret\n";
    for (const unsigned mode : {0644U, 0600U}) {
        SCOPED_TRACE(mode);
        ::chmod(secret.c_str(), mode);
        const std::string named = temp.Dir() + "/named-" + std::to_string(mode) + "/platform.conf";
        o = Admin(named, {"init", "--yes", "--account", "root", "--state-dir", state, "--directory",
                          "ldap://127.0.0.1:1", "--bind-dn", "CN=reader", "--password-file", secret,
                          "--transport", "pickup"});
        if (mode == 0644U) {
            EXPECT_EQ(o.code, 1);
            EXPECT_TRUE(Contains(o.err, secret)) << o.err;
            EXPECT_NE(access(named.c_str(), F_OK), 0);
        } else {
            const std::string written = platform::testing::FileText(named);
            EXPECT_TRUE(Contains(written, "directory.password_file = " + secret + "\n")) << written;
            EXPECT_FALSE(Contains(written, "s3cret")) << written;
        }
    }

    EXPECT_EQ(Admin(config, {"init", "--frobnicate", "x"}).code, 2);
    EXPECT_EQ(Admin(temp.Dir() + "/none.conf", {"check"}).code, 1);

    // check reads the mail transport's settings as a report's sending reads
    // them: each that sending would refuse fails check, naming it. (The
    // system mailbox is still missing: check fails for that too.)
    const struct {
        const char* lines;
        const char* says;
    } transports[] = {
        {"mail.starttls = requried\n", "FAILED   mail transport pickup: "},
        {"mail.timeout = abc\n", "mail.timeout"},
        {"mail.transport = carrier-pigeon\n", "FAILED   mail transport carrier-pigeon: none of"},
        {"mail.transport = sendmail\nmail.sendmail = /nonexistent/sendmail\n",
         "FAILED   mail transport sendmail: /nonexistent/sendmail is not a program"},
        {"mail.transport = sendmail\nmail.sendmail = /bin/true\n",
         "ok       mail transport sendmail (/bin/true)"},
    };
    for (const auto& t : transports) {
        SCOPED_TRACE(t.lines);
        const std::string changed = temp.Dir() + "/changed.conf";
        {
            std::ofstream out(changed);
            out << text << t.lines;
        }
        ::chmod(changed.c_str(), 0640);
        o = Admin(changed, {"check"});
        EXPECT_EQ(o.code, 1) << o.out << o.err;
        EXPECT_TRUE(Contains(o.out, t.says)) << o.out;
    }
}

}  // namespace
