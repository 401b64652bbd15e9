// quellix-admin store, run as a program on a private store: verbs, their
// output and their exit codes (0 ok, 1 failed, 2 usage).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "base/testing/contains.h"
#include "base/testing/run_program.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/store_test_support.h"
#include "localplatform/store/testing/dovecot_server.h"

namespace {

using platform::testing::Contains;

using Outcome = platform::testing::ProgramOutcome;
using platform::testing::RunProgram;

using localplatform::testing::TempStore;

// Runs "quellix-admin store ARGS" through the shell (ARGS holds quoted words).
Outcome Admin(const std::string& args, const std::string& input = "") {
    return RunProgram({"/bin/sh", "-c", std::string(QUELLIX_ADMIN) + " store " + args}, input);
}

TEST(AdminStoreTest, VerbsWorkAndReportByExitCode) {
    TempStore temp;
    const std::string box = TempStore::FileBase() + "/alice";
    struct Case {
        std::string args;
        std::string input;
        int code;
        std::string out;       // expected in standard output
        std::string err = {};  // expected in standard error
    };
    const std::vector<Case> cases = {
        {"--help", "", 0, "generate-corpus"},
        {"import --help", "", 0, "--received"},
        {"frobnicate", "", 2, "", "unknown verb 'frobnicate'"},
        {"create-namespace", "", 2, "", "usage: quellix-admin store create-namespace NS"},
        {"create-namespace example.test", "", 0, "file://./backofficestorage/example.test"},
        {"create-namespace example.test", "", 1, "",
         "create(example.test) failed: an item of that name exists"},
        {"create-mailbox example.test alice", "", 0, box},
        {"create-mailbox example.test SystemMailbox{9} --system", "", 0, "SystemMailbox{9}"},
        {"create-folder '" + box + "/Inbox/Spam'", "", 0, box + "/Inbox/Spam"},
        {"create-folder '" + box + "/Nope/Spam'", "", 1, "",
         "open(" + box + "/Nope/Spam) failed: no such item"},
        {"import '" + box + "/Inbox/Spam' - --received 2026-01-02T03:04:05Z",
         "Subject: hi\r\n\r\nx\r\n", 0, ".EML"},
        {"import '" + box + "/Inbox/Spam' -", "x", 2, "", "usage: quellix-admin store import"},
        // Only the documented form, and only dates the calendar has.
        {"import '" + box + "/Inbox/Spam' - --received '2026-12-01 10:00:00'", "x", 2, "",
         "--received \"2026-12-01 10:00:00\": not a time of the form yyyy-mm-ddThh:mm:ssZ (UTC"},
        {"import '" + box + "/Inbox/Spam' - --received 2026-02-30T10:00:00Z", "x", 2, "",
         "--received \"2026-02-30T10:00:00Z\": there is no day 30: February 2026 has 28 days"},
        {"list '" + box + "/Inbox' --deep", "", 0,
         "2026-01-02T03:04:05Z\tvisible\turn:content-class:message"},
        {"list '" + box + "/../x'", "", 1, "", "relative segment '..'"},
        {"show '" + box + "'", "", 0, "urn:schemas:httpmail:inbox\tString\t" + box + "/Inbox"},
        {"delete '" + box + "/Inbox/Spam'", "", 0, ""},
        {"list '" + box + "/Inbox/Spam'", "", 1, "",
         "query(" + box + "/Inbox/Spam) failed: the scope names no folder"},
        {"generate-corpus --namespace example.test --mailboxes 3 --messages 5 --size 300 --seed 4 "
         "--until 2026-01-01T00:00:00Z --folder Inbox/Junk",
         "", 0, ""},
        {"list '" + TempStore::FileBase() + "/user000003/Inbox/Junk'", "", 0,
         "urn:content-class:message"},
        {"generate-corpus --namespace example.test --mailboxes x", "", 2, "",
         "--mailboxes must be a number from 1 to 10000000"},
        // A localised mailbox: its Inbox has another name, found through the
        // mailbox's Inbox property.
        {"create-mailbox example.test hans --inbox Posteingang", "", 0, "/hans"},
        {"show '" + TempStore::FileBase() + "/hans'", "", 0,
         "urn:schemas:httpmail:inbox\tString\t" + TempStore::FileBase() + "/hans/Posteingang\n"},
        {"list '" + TempStore::FileBase() + "/hans/Posteingang'", "", 0, ""},
        {"list '" + TempStore::FileBase() + "/hans/Inbox'", "", 1, ""},
        {"create-mailbox example.test fritz --inbox outbox", "", 1, ""},
        {"create-mailbox example.test fritz --inbox 'a/b'", "", 1, ""},
        {"create-mailbox example.test fritz --inbox", "", 2, ""},
        {"create-mailbox example.test fritz --inbox Posteingang --frob x", "", 2, ""},
    };
    for (const auto& c : cases) {
        const Outcome r = Admin(c.args, c.input);
        EXPECT_EQ(r.code, c.code) << c.args;
        EXPECT_TRUE(Contains(r.out, c.out)) << c.args << "\n" << r.out;
        // A failure says what failed, on what, and why.
        EXPECT_TRUE(Contains(r.err, c.err)) << c.args << "\n" << r.err;
        if (c.code == 0) {
            EXPECT_FALSE(Contains(r.err, "failed")) << c.args << "\n" << r.err;
        }
    }
}

// An item whose received time no date has is listed with the rest, said to
// be unreadable, and standard error says why.
TEST(AdminStoreTest, ListShowsAnUnreadableItemAmongTheOthersAndWarnsOfAnOpenStore) {
    TempStore temp;
    const std::string spam = TempStore::FileBase() + "/alice/Inbox/Spam";
    ASSERT_EQ(Admin("create-namespace example.test").code, 0);
    ASSERT_EQ(Admin("create-mailbox example.test alice").code, 0);
    ASSERT_EQ(Admin("create-folder '" + spam + "'").code, 0);
    const Outcome bad = Admin("import '" + spam + "' - --received 2026-01-02T03:04:05Z", "x");
    ASSERT_EQ(bad.code, 0);
    ASSERT_EQ(Admin("import '" + spam + "' - --received 2026-01-03T03:04:05Z", "y").code, 0);
    auto store = localplatform::ItemStore::ForThisThread();
    const auto row = store->Require({"example.test", "MBX", "alice", "Inbox", "Spam",
                                     bad.out.substr(bad.out.rfind('/') + 1, 36)},
                                    bad.out);
    auto db = localplatform::SqliteDb::Open(temp.DbPath(), {});
    db.Prepare("UPDATE items SET received = -9223372036854775807 - 1 WHERE id = ?1")
        .Bind(1, row.id)
        .Run();
    const Outcome listed = Admin("list '" + spam + "'");
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_TRUE(Contains(listed.out, "\tunreadable\tvisible\t"));
    EXPECT_TRUE(Contains(listed.out, "2026-01-03T03:04:05Z"));
    EXPECT_TRUE(Contains(listed.err, "outside the dates a store holds"));
    // A store that others may read is said, naming the file, each time it is
    // opened; one closed to them (as a new store is) is not.
    EXPECT_FALSE(Contains(listed.err, "others may read"));
    ASSERT_EQ(chmod(temp.DbPath().c_str(), 0644), 0);
    EXPECT_TRUE(
        Contains(Admin("list '" + spam + "'").err, temp.DbPath() + ": others may read this file"));
}

// A namespace mapped to a mail store is listed from the mail server's
// Maildirs; its mailboxes are the mail server's, and only a mailbox it has
// not (an archive) may be made in the store. (What its folders' properties
// are is the platform's test.)
TEST(AdminStoreTest, AMappedNamespaceIsReadFromItsMailStore) {
    using localplatform::testing::DovecotServer;
    if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
    DovecotServer server;
    TempStore temp(300, server.MaildirConfigLines("example"));
    server.Append("jdoe@example", "Junk", "Subject: hi\r\n\r\nx\r\n", 1767225600, "\\Seen");
    const std::string box = "file://./backofficestorage/example/MBX/jdoe";
    ASSERT_EQ(Admin("create-namespace example").code, 0);

    const Outcome listed = Admin("list --deep '" + box + "'");
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_TRUE(Contains(listed.out, box + "/Junk\t-\tvisible\turn:content-class:folder"));
    EXPECT_TRUE(Contains(listed.out, "\t2026-01-01T00:00:00Z\tvisible\turn:content-class:message"));
    const Outcome refused = Admin("create-mailbox example jdoe");
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(Contains(refused.err, "has a mailbox of that name")) << refused.err;
    const Outcome archive = Admin("create-mailbox example vault");
    EXPECT_EQ(archive.code, 0) << archive.err;
    EXPECT_TRUE(Contains(Admin("list 'file://./backofficestorage/example/MBX/vault'").out,
                         "/MBX/vault/Inbox\t"));
}

TEST(AdminStoreTest, CorpusIsTheSameForTheSameSeed) {
    std::string listings[2];
    for (auto& listing : listings) {
        TempStore temp;
        ASSERT_EQ(
            Admin("generate-corpus --namespace example.test --mailboxes 2 --messages 20 --seed 11 "
                  "--until 2026-01-01T00:00:00Z")
                .code,
            0);
        listing = Admin("list '" + TempStore::FileBase() + "/user000002/Junk Mail'").out;
    }
    EXPECT_EQ(listings[0], listings[1]);
    EXPECT_EQ(std::count(listings[0].begin(), listings[0].end(), '\n'), 20);
}

}  // namespace
