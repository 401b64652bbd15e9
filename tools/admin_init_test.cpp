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
         {"data_dir = " + data + "\n", "store = " + data + "/store.db\n",
          "directory = ldb://" + data + "/directory.ldb\n",
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

    // Done again for another account with a data folder of its own, init
    // names that folder in the configuration: its owner is the account whose
    // password file root reads (here the check's), not the old folder's.
    if (geteuid() == 0) {
        const std::string again = temp.Dir() + "/again/platform.conf";
        const std::string againState = temp.Dir() + "/again-state";
        ASSERT_EQ(Admin(again, {"init", "--yes", "--account", "root", "--state-dir", againState,
                                "--transport", "pickup"})
                      .code,
                  0);
        const std::string nobodys = temp.Dir() + "/nobodys-password";
        std::ofstream(nobodys) << "s3cret\n";
        ASSERT_EQ(::chown(nobodys.c_str(), 65534, 65534), 0);
        ::chmod(nobodys.c_str(), 0600);
        o = Admin(again,
                  {"init", "--yes", "--force", "--account", "nobody", "--state-dir", againState,
                   "--data-dir", temp.Dir() + "/nobodys-data", "--directory", "ldap://127.0.0.1:1",
                   "--bind-dn", "CN=reader", "--password-file", nobodys, "--transport", "pickup"});
        EXPECT_FALSE(Contains(o.out, "owned by neither root nor the service account")) << o.out;
        EXPECT_TRUE(Contains(o.out, "FAILED   directory ldap://127.0.0.1:1")) << o.out;
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

// check looks for the marked mailboxes as a run reaches them, and for what
// the runs' account (the data folder's owner) cannot read or write: a
// server that passes check cleans what is marked.
TEST(AdminInitTest, CheckFailsForMarkedMailboxesNotReachedAndAnAccountThatCannotRun) {
    platform::testing::TempPlatform temp("quellix-check-test-");
    const std::string config = temp.Dir() + "/etc/platform.conf";
    const std::string data = temp.Dir() + "/state/data";
    Outcome o = Admin(config, {"init", "--yes", "--computer-name", "Exch01", "--domain",
                               "example.org", "--state-dir", temp.Dir() + "/state", "--account",
                               "root", "--transport", "pickup"});
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    const size_t at = o.out.find("home store ");
    ASSERT_NE(at, std::string::npos) << o.out;
    const std::string homeMdb = o.out.substr(at + 11, o.out.find('\n', at) - at - 11);
    // Two users homed here, one marked.
    const std::string ldif = temp.Dir() + "/users.ldif";
    {
        std::ofstream out(ldif);
        for (const char* who : {"amarked", "bplain"}) {
            out << "dn: CN=" << who << ",DC=example,DC=org\nobjectClass: top\nobjectClass: "
                << "person\nobjectClass: organizationalPerson\nobjectClass: user\ncn: " << who
                << "\nobjectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=org"
                << "\nsAMAccountName: " << who << "\nmailNickname: " << who << "\nmail: " << who
                << "@example.org\nmsExchMailboxGuid:: Y4EQWb8fgjyy/4eGOA3/pw==\nhomeMDB: "
                << homeMdb
                << "\nmsExchHomeServerName: /o=Org/ou=First Administrative Group/cn="
                   "Configuration/cn=Servers/cn=EXCH01\n"
                << (who[0] == 'a' ? "extensionAttribute8: Quellix\n" : "") << "\n";
        }
    }
    o = Admin(config, {"directory", "load", ldif});
    ASSERT_EQ(o.code, 0) << o.out << o.err;

    o = Admin(config, {"check"});
    EXPECT_EQ(o.code, 1) << o.out;
    EXPECT_TRUE(Contains(o.out,
                         "FAILED   1 of 1 marked mailboxes cannot be reached in the store: "
                         "amarked (open(file://./backofficestorage/example.org/mbx/"
                         "amarked) failed"))
        << o.out;
    EXPECT_TRUE(Contains(o.out, "mailstore.example.org = maildir:")) << o.out;

    // init maps the namespace to the mail server that holds the mailboxes;
    // a location no mail store takes is refused before anything is written.
    // As root it lets the service write the Maildirs and a data folder
    // outside the state folder, by a drop-in of its own.
    const std::string units = temp.Dir() + "/units";
    ASSERT_EQ(::mkdir(units.c_str(), 0755), 0);
    const std::string dropIn = units + "/quellix-eventd.service.d/quellix-admin-init.conf";
    for (const char* location : {"ftp://mail.example.org", "maildir:/var/vmail/%d/%n/Maildir"}) {
        SCOPED_TRACE(location);
        const std::string mapped = temp.Dir() + "/mapped/" + location[0] + ".conf";
        o = Admin(mapped,
                  {"init", "--yes", "--domain", "example.org", "--account", "root", "--state-dir",
                   temp.Dir() + "/state", "--data-dir", temp.Dir() + "/outside", "--transport",
                   "pickup", "--unit-dir", units, "--mailstore", location});
        if (location[0] == 'f') {
            EXPECT_EQ(o.code, 1);
            EXPECT_TRUE(Contains(o.err, "--mailstore ftp://mail.example.org: none of")) << o.err;
            EXPECT_NE(access(mapped.c_str(), F_OK), 0);
            EXPECT_NE(access(dropIn.c_str(), F_OK), 0);
        } else {
            EXPECT_TRUE(Contains(platform::testing::FileText(mapped),
                                 "mailstore.example.org = maildir:/var/vmail/%d/%n/Maildir\n"));
            if (geteuid() == 0) {
                const std::string text = platform::testing::FileText(dropIn);
                EXPECT_TRUE(Contains(text, "[Service]\nReadWritePaths=\"-" + temp.Dir() +
                                               "/outside\"\nReadWritePaths=\"-/var/vmail\"\n"))
                    << text;
                EXPECT_EQ(Mode(dropIn), 0644U);
            }
        }
    }

    ASSERT_EQ(Admin(config, {"store", "create-mailbox", "example.org", "amarked"}).code, 0);
    o = Admin(config, {"check"});
    EXPECT_EQ(o.code, 0) << o.out;
    EXPECT_TRUE(Contains(o.out, "ok       1 marked mailboxes reached in the store")) << o.out;

    // init --force with another domain: a store holding only what init made
    // takes the new domain's namespace; one holding a mailbox is left alone,
    // and the way out is said.
    {
        const std::string moved = temp.Dir() + "/moved/platform.conf";
        const std::vector<std::string> again = {
            "init",      "--yes",   "--state-dir", temp.Dir() + "/moved",
            "--account", "root",    "--transport", "pickup",
            "--force",   "--domain"};
        const auto initAs = [&](const char* domain) {
            std::vector<std::string> words = again;
            words.emplace_back(domain);
            return Admin(moved, words);
        };
        ASSERT_EQ(initAs("example.org").code, 0);
        o = initAs("other.org");
        EXPECT_EQ(o.code, 0) << o.out << o.err;
        EXPECT_TRUE(Contains(o.out, "ok       namespace other.org")) << o.out;
        ASSERT_EQ(Admin(moved, {"store", "create-mailbox", "other.org", "kept"}).code, 0);
        o = initAs("third.org");
        EXPECT_EQ(o.code, 1);
        EXPECT_TRUE(Contains(o.err,
                             "serves other.org (1 mailboxes, 0 items), not third.org: it "
                             "is left as it is. Give --store a new file"))
            << o.err;
    }

    // The data folder given to an account the configuration's group lacks,
    // its store left root's: a run as that account fails on both.
    if (geteuid() != 0) GTEST_SKIP() << "giving files to another account needs root";
    ASSERT_EQ(::chown(data.c_str(), 65534, 65534), 0);
    o = Admin(config, {"check"});
    EXPECT_EQ(o.code, 1) << o.out;
    for (const std::string& says :
         {"FAILED   account nobody (the data folder's owner, whom runs go as) cannot read " +
              config + " (root:root 0640): usermod -a -G root nobody",
          "cannot write " + data + "/store.db (root:root 0600): chown nobody:"}) {
        EXPECT_TRUE(Contains(o.out, says)) << says << "\n" << o.out;
    }
}

}  // namespace
