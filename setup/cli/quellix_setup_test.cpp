// quellix-setup end to end: from a server with nothing installed to the
// application installed, the registration written with its parameters and
// mailboxes marked; the component host then fires the item it wrote and the
// run reads exactly those parameters; and back to nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "platform/ado.h"
#include "platform/move_manifest.h"
#include "platform/run_history.h"
#include "platform/run_lock.h"
#include "setup/testing/setup_fixture.h"

namespace setup {
namespace {

using testing::Backend;
using Strings = std::vector<std::string>;

struct Outcome {
    int code = -1;
    std::string output;  // standard output, then standard error
};

// Runs a program (no shell) with input on its standard input.
Outcome RunProgram(const std::string& program, const Strings& args, const std::string& input = "") {
    Strings argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const platform::testing::ProgramOutcome o = platform::testing::RunProgram(argv, input);
    return {o.code, o.out + o.err};
}

Outcome QuellixSetup(const Strings& args, const std::string& input = "") {
    return RunProgram(QUELLIX_SETUP_PATH, args, input);
}

// Installs as nobody, the password on standard input, with these options.
Outcome Install(const Strings& options = {}) {
    Strings args = {"install", "--identity", "nobody", "--password-file", "-"};
    args.insert(args.end(), options.begin(), options.end());
    return QuellixSetup(args, "secret\n");
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every part is in the output (or, for ExpectNotSays, none is); a failure
// names the part and shows the output.
void ExpectSays(const Outcome& o, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts)
        EXPECT_TRUE(Has(o.output, part)) << part << "\n" << o.output;
}
void ExpectNotSays(const Outcome& o, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts)
        EXPECT_FALSE(Has(o.output, part)) << part << "\n" << o.output;
}

class CliFixture : public testing::SetupFixture {
protected:
    // The registration's item by the store's web scheme, or by its file
    // scheme as the event service names it.
    static std::string ItemUrl(bool web) {
        const std::string path = "StoreEvents/GlobalEvents/" + std::string(registration::kItemName);
        return web ? HttpUrl(quellix::testing::kSystemMailbox, path)
                   : FileUrl(quellix::testing::kSystemMailbox, path);
    }
};

class QuellixSetupTest : public CliFixture, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        SetupFixture::SetUp();
        if (!LoadDirectory(
                testing::AnnBobCid(
                    {{.cn = "Star", .account = "star", .alias = "star", .mail = "*@example.org"}}),
                GetParam())) {
            GTEST_SKIP() << "slapd is not installed";
        }
    }
};

TEST_P(QuellixSetupTest, FromNothingToARunAndBack) {
    Outcome o = QuellixSetup({"status", "--json"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"\"state\": \"ReadyToInstall\"", "\"registration\": false"});

    o = Install({"--folder", "\\Junk\\", "--age", "3", "--run", "Every day", "--start", "7:05 PM",
                 "--report-to", "Admin (admin@example.org)", "--subfolders", "yes"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"State: Installed"});
    o = Install();
    EXPECT_EQ(o.code, 1);
    ExpectSays(o, {"already installed"});

    // Which values the change refuses is its own test; the command line
    // refuses what it cannot parse.
    EXPECT_EQ(QuellixSetup({"configure", "--start", "13:00 PM"}).code, 2);
    EXPECT_EQ(QuellixSetup({"configure", "--report-to", "Admin <admin@example.org>"}).code, 2);

    o = QuellixSetup({"mark", "ann@example.org"});
    EXPECT_EQ(o.code, 0) << o.output;
    // Nobody's address (wildcards included, in the directory's test): nothing
    // is marked.
    EXPECT_EQ(QuellixSetup({"mark", "nobody@example.org"}).code, 1);
    EXPECT_EQ(QuellixSetup({"unmark", "bob@example.org"}).code, 0);

    o = QuellixSetup({"status", "--json"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"\"state\": \"Installed\"", "\"identity\": \"nobody\"", "\"registration\": true",
                   "\"folder\": \"Junk\"", "\"ageLimit\": \"3\"", "\"startTime\": \"7:05 PM\"",
                   "\"subfolders\": true",
                   "\"registered\": [\"Ann Lee / EXCH01 / ann@example.org / ann\"]"});

    // The run of the item written: folder Junk with its subfolders, 3 days,
    // marked mailboxes only, the report to the recipient.
    const platform::Date now = platform::Date::NowUtc();
    const int64_t annJunk = Folder("ann", "Junk");
    Message(annJunk, "old", now.AddDays(-5));
    Message(annJunk, "young", now.AddDays(-1));
    Message(Folder("ann", "Junk/Deeper"), "deep", now.AddDays(-5));
    Message(Folder("cid", "Junk"), "cid-old", now.AddDays(-5));
    const std::string item = ItemUrl(true);
    // The preview names what the run is about to remove, and removes nothing.
    o = QuellixSetup({"preview", "--messages"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"Mailbox: Ann Lee <ann@example.org>\n  "
                   "file://./backofficestorage/example.org/mbx/ann/Junk: 2 messages",
                   "/ann/Junk/Deeper/deep.EML", "Total: 1 mailboxes, 2 messages"});
    o = QuellixSetup({"preview", "--json", "--at", "2026-12-24 03:00"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"\"due\": true", "\"at\": \"2026-12-24 03:00:00\""});
    // A time the date parser refuses is a usage error with its reason.
    o = QuellixSetup({"preview", "--at", "2026-02-30 03:00"});
    EXPECT_EQ(o.code, 2);
    ExpectSays(o, {"there is no day 30: February 2026 has 28 days"});
    EXPECT_EQ(Messages("ann", "Junk"), (Strings{"old", "young"}));
    // What the run logs is the run's own test; here, what it removed.
    o = RunProgram(QUELLIX_HOST_PATH, {"ontimer", item});
    ASSERT_EQ(o.code, 0) << o.output;
    EXPECT_EQ(Messages("ann", "Junk"), Strings{"young"}) << ReadLog();
    EXPECT_TRUE(Messages("ann", "Junk/Deeper").empty());
    EXPECT_EQ(Messages("cid", "Junk"), Strings{"cid-old"});
    std::string report;
    for (const auto& f : std::filesystem::directory_iterator(dir_ + "/pickup")) {
        report = platform::testing::FileText(f.path());
    }
    EXPECT_TRUE(Has(report, "admin@example.org")) << report;

    // And back: unmark, then uninstall (confirmed only with --yes here).
    EXPECT_EQ(QuellixSetup({"unmark", "ann@example.org"}).code, 0);
    o = QuellixSetup({"uninstall"});
    EXPECT_EQ(o.code, 1);
    ExpectSays(o, {"You are about to remove the COM+ object."});
    EXPECT_TRUE(Has(QuellixSetup({"status"}).output, "State: Installed"));
    o = QuellixSetup({"uninstall", "--yes"});
    EXPECT_EQ(o.code, 0) << o.output;
    o = QuellixSetup({"status", "--json"});
    ExpectSays(o,
               {"\"state\": \"ReadyToInstall\"", "\"registration\": false", "\"registered\": []"});
}

// Each refusal with its exit code and what it says; none installs anything.
TEST_P(QuellixSetupTest, UsageAndStatesThatRefuse) {
    // A password file others may read is refused.
    const std::string open = dir_ + "/open-password";
    std::ofstream(open) << "secret\n";
    ASSERT_EQ(chmod(open.c_str(), 0644), 0);
    struct Case {
        Strings args;
        std::string input;
        int code;
        std::string says;
    };
    const auto install = [](Strings more) {
        Strings args = {"install", "--identity", "nobody"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const auto as = [](const std::string& identity) {
        return Strings{"install", "--identity", identity, "--password-file", "-"};
    };
    const Case cases[] = {
        {{}, "", 2, "no command given"},
        {{"--help"}, "", 0, "usage"},
        {{"frobnicate"}, "", 2, "frobnicate"},
        {{"mark"}, "", 2, ""},
        {{"install", "--identity", "svc"}, "", 2, ""},
        {{"configure", "--run", "Someday"}, "", 2, ""},
        {{"--config"}, "", 2, ""},
        {{"--module"}, "", 2, ""},
        // Nothing installed yet: commands that need the application say so.
        {{"configure"}, "", 1, "not installed"},
        {{"uninstall"}, "", 1, "not installed"},
        // Arguments that would not mean what they say.
        {{"configure", "--delete", "--move-to", "ann@example.org"}, "", 2, ""},
        {{"configure", "--move-to", "ann@example.org", "--delete"}, "", 2, ""},
        {{"mark", ""}, "", 2, ""},
        {install({"--password-file", "-", "--report-to", "a@example.org\nRCPT TO:<b@example.org>"}),
         "secret\n", 2, ""},
        // A password never comes from the command line, in either form.
        {install({"--password", "secret"}), "", 2, "a password is never taken on the command line"},
        {install({"--password=secret"}), "", 2, "a password is never taken on the command line"},
        // Passwords that cannot be read, or are empty, or readable by others.
        {install({"--password-file", dir_ + "/none"}), "", 1, dir_ + "/none"},
        {install({"--password-file", open}), "", 1, "refusing the password file " + open},
        {install({"--password-file", "-"}), "\n", 1, "the password line is empty"},
        // Accounts that cannot run the component: which ones, the catalog's
        // test; here, that its reason is said.
        {as("root"), "secret\n", 1, "Identity: 'root' has uid 0"},
        {as("Interactive User"), "secret\n", 1, "'Interactive User' names no account"},
        // --module names the module wherever it is; a missing one is the
        // missing module.
        {{"--module", dir_ + "/none.so", "status"}, "", 0, "File " + dir_ + "/none.so not found."},
    };
    for (const Case& c : cases) {
        const Outcome o = QuellixSetup(c.args, c.input);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(o.code, c.code) << o.output;
        ExpectSays(o, {c.says});
        ExpectNotSays(o, {"secret"});  // no message repeats a password
    }
    EXPECT_TRUE(Has(QuellixSetup({"status"}).output, "State: ReadyToInstall"));

    // The module missing from the current directory.
    std::filesystem::remove(moduleDir_ + "/Quellix.so");
    Outcome o = QuellixSetup({"status"});
    EXPECT_EQ(o.code, 0);
    ExpectSays(o, {"State: DllMissing", "COM+ object installation is impossible."});
    o = QuellixSetup(as("svc"), "secret\n");
    EXPECT_EQ(o.code, 1);
    ExpectSays(o, {"not found"});
    o = QuellixSetup({"--module", QUELLIX_MODULE_PATH, "status"});
    ExpectSays(o, {"State: ReadyToInstall"});
}

// What the runs recorded is what history shows, filtered by address; status
// flags a mailbox only when both of the last two due runs failed it.
TEST_P(QuellixSetupTest, HistoryAndStatusTellWhatTheRunsDid) {
    Outcome o = QuellixSetup({"history"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"No run recorded"});
    o = Install();
    ASSERT_EQ(o.code, 0) << o.output;
    const std::string item = ItemUrl(false);

    const std::string spam = "http://exch01.example.org/exadmin/example.org/mbx/";
    const auto due = [&](bool bobFails) {
        auto run = platform::RunRecorder::Begin(item, "Folder: Spam\nAge: 14");
        run.Folder({"ann@example.org", spam + "ann/Spam", 3, 3000, false, ""});
        run.Folder({"bob@example.org", spam + "bob/Spam", bobFails ? 0 : 1, bobFails ? 0 : 10,
                    false, bobFails ? "access denied" : ""});
        run.End("completed", "", 2);
        return run.Id();
    };
    const auto notARunDay = [&] {
        auto run = platform::RunRecorder::Begin(item, "");
        run.End("not a run day", "", 0);
    };
    // Two failing due runs, each followed by a day that was no run day (not
    // a due run): bob is flagged; which runs flag or clear is run_health's.
    const int64_t first = due(true);
    notARunDay();
    const int64_t second = due(true);
    notARunDay();
    // An Attention line makes status exit 3, which monitoring reads as a
    // warning; once bob is swept again, it exits 0.
    o = QuellixSetup({"status"});
    ASSERT_EQ(o.code, 3) << o.output;
    ExpectSays(o, {"Run history: " + dir_,
                   "Attention: bob@example.org failed or was not reached on the last "
                   "two due runs (run " +
                       std::to_string(second) + ": " + spam + "bob/Spam: access denied; run " +
                       std::to_string(first)});
    ExpectNotSays(o, {"Attention: ann"});
    o = QuellixSetup({"status", "--json"});
    EXPECT_EQ(o.code, 3) << o.output;
    ExpectSays(o, {"\"flaggedMailboxes\": [{\"mailbox\": \"bob@example.org\""});
    due(false);
    o = QuellixSetup({"status"});
    EXPECT_EQ(o.code, 0) << o.output;
    ExpectNotSays(o, {"Attention"});

    o = QuellixSetup({"history", "--last", "2"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {": completed\n  Registration: " + item + "\n", ": not a run day\n",
                   "    Folder: Spam\n    Age: 14\n",
                   "Mailboxes processed: 2; messages deleted: 4, moved: 0; bytes: "
                   "3010; folders failed: 0"});
    EXPECT_TRUE(
        Has(o.output, "  ann@example.org\n    " + spam + "ann/Spam: 3 deleted, 3000 bytes\n"))
        << o.output;
    ExpectNotSays(o, {"Run " + std::to_string(second) + ":"});

    // By address, without regard to case: only the runs that treated it,
    // and only its folders.
    o = QuellixSetup({"history", "--last", "0", "--mailbox", "BOB@example.org"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {spam + "bob/Spam: 0 deleted, 0 bytes; error: access denied"});
    ExpectNotSays(o, {"ann/Spam", "not a run day"});
    o = QuellixSetup({"history", "--mailbox", "nobody@example.org"});
    ExpectSays(o, {"No run recorded for nobody@example.org"});

    o = QuellixSetup({"history", "--json", "--last", "1", "--mailbox", "ann@example.org"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"\"outcome\": \"completed\"",
                   "{\"mailbox\": \"ann@example.org\", \"name\": \"\", \"url\": \"" + spam +
                       "ann/Spam\", \"count\": 3, \"bytes\": 3000, \"moved\": false, "
                       "\"error\": \"\"}"});
    ExpectNotSays(o, {"bob/Spam"});

    EXPECT_EQ(QuellixSetup({"history", "--last", "some"}).code, 2);
    EXPECT_EQ(QuellixSetup({"history", "--mailbox"}).code, 2);
    EXPECT_EQ(QuellixSetup({"history", "--yes"}).code, 2);
    EXPECT_EQ(QuellixSetup({"history", "--help"}).code, 0);

    // A last run that did not go well is said, and exits 3 too.
    for (const char* outcome : {"completed with failures", "failed"}) {
        auto run = platform::RunRecorder::Begin(item, "");
        run.End(outcome, "", 0);
        o = QuellixSetup({"status"});
        EXPECT_EQ(o.code, 3) << o.output;
        ExpectSays(o, {"  Attention: the last run " + std::string(outcome) + "\n"});
    }
}

// A part of status that cannot be read is reported in that part while the
// rest is shown; a stored time the lists cannot show is shown as it stands,
// and no CHANGE writes a time the administrator did not choose.
TEST_P(QuellixSetupTest, PartsThatCannotBeReadAndTimesNobodyChose) {
    Outcome o = Install({"--age", "3", "--run", "Every day", "--start", "7:05 PM"});
    ASSERT_EQ(o.code, 0) << o.output;
    const std::string item = ItemUrl(true);
    const auto stored = [&](const char* suffix) {
        platform::Record rec;
        rec.Open(item);
        return rec.Fields(registration::CustomProperty(suffix)).Value().ToStringOrEmpty();
    };
    {
        // Another writer, or an older version, left a time without AM or PM.
        platform::Record rec;
        rec.Open(item, nullptr, platform::adModeReadWrite);
        rec.Fields(registration::CustomProperty(registration::kTimeToRun))
            .SetValue(platform::Variant("7:05"));
        rec.Fields().Update();
    }
    o = QuellixSetup({"status"});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"  Start time: 7:05 (unreadable: ", "Registered mailboxes (1):"});
    o = QuellixSetup({"status", "--json"});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"\"startTime\": null,\n    \"storedStartTime\": \"7:05\""});

    o = QuellixSetup({"configure", "--age", "10"});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"The start time must be an hour from 1 to 12, a minute from 00 to 59 and AM "
                   "or PM"});
    EXPECT_EQ(stored(registration::kTimeToRun), "7:05");
    EXPECT_EQ(stored(registration::kExpirationPeriod), "3");
    o = QuellixSetup({"configure", "--age", "10", "--start", "7:05 AM"});
    EXPECT_EQ(o.code, 0) << o.output;
    EXPECT_EQ(stored(registration::kTimeToRun), "7:05 AM");

    ConfigureWith({"timezone.active_time_bias = missing"});
    o = QuellixSetup({"status", "--json"});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"\"state\": \"Installed\"", "\"ageLimit\": \"10\"",
                   "\"error\": \"run health: ActiveTimeBias: Can't recognize type of data: "
                   "missing\""});
    // A bias the cleanup run would refuse stops a change before the
    // registration goes (which values, the change's own test).
    o = QuellixSetup({"configure", "--age", "20"});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"ActiveTimeBias - ERROR: "});
    EXPECT_EQ(stored(registration::kExpirationPeriod), "10");
}

TEST_P(QuellixSetupTest, UndoPutsBackWhatAMoveRunMovedAndSaysWhatItCannot) {
    const platform::Date old = platform::Date::NowUtc().AddDays(-9);
    const int64_t annJunk = Folder("ann", "Junk");
    const int64_t gone = Message(annJunk, "a2", old);
    const int64_t filed = Message(annJunk, "a3%", old);
    Message(annJunk, "a1", old);
    Message(Folder("cid", "Junk"), "c1", old);
    const int64_t destInbox = Folder("dest", "Inbox");
    for (const auto& [alias, name] : std::vector<std::pair<std::string, std::string>>{
             {"ann", "a1"}, {"ann", "a2"}, {"ann", "a3%25"}, {"cid", "c1"}}) {
        (void)platform::MoveRecordForRun(FileUrl(alias, "Junk/" + name + ".EML"),
                                         HttpUrl("dest", "Inbox"), 41);
    }
    // The user deletes one moved message and files another.
    Store()->DeleteItem(gone);
    Store()->MoveItem(filed, destInbox, Folder("dest", "Kept"));
    Store()->FlushBatch();
    // A message of the old name arrived meanwhile: a1 comes back under a new one.
    Message(annJunk, "a1", old);

    // Only cid's mailbox, named by its address.
    Outcome o = QuellixSetup({"undo", "41", "--mailbox", "CID@example.org"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"Put back: " + FileUrl("cid", "Junk/c1.EML"), "1 moved, 1 put back"});
    EXPECT_EQ(Subjects("cid", "Junk"), Strings{"c1"});
    EXPECT_EQ(Subjects("dest", "Inbox"), (Strings{"a1"}));

    o = QuellixSetup({"undo", "41", "--json"});
    ASSERT_EQ(o.code, 0) << o.output;
    const std::string notThere = "no longer in the destination Inbox: moved or deleted since";
    ExpectSays(
        o, {"\"result\": \"" + notThere + "\"", "\"source\": \"" + FileUrl("ann", "Junk/a2.EML"),
            "\"result\": \"already put back\"", "\"putBackAs\": ",
            std::string("\"totals\": {\"messages\": 4, \"putBack\": 1, ") +
                "\"alreadyPutBack\": 1, \"notPutBack\": 2, \"failed\": 0}"});
    EXPECT_EQ(Subjects("ann", "Junk"), (Strings{"a1", "a1"}));
    EXPECT_TRUE(Subjects("dest", "Inbox").empty());
    EXPECT_EQ(Subjects("dest", "Kept"), Strings{"a3%"});
    ExpectSays(o, {FileUrl("ann", "Junk/a3%25.EML")});

    // Twice is harmless: nothing changes, nothing failed.
    o = QuellixSetup({"undo", "41"});
    EXPECT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"4 moved, 0 put back, 2 already put back, 2 not put back, 0 failed"});
    EXPECT_EQ(Subjects("ann", "Junk"), (Strings{"a1", "a1"}));

    struct Case {
        Strings args;
        int code;
        const char* says;
    };
    for (const Case& c :
         {Case{{"undo", "42"}, 1, "run 42 is unknown: neither the store nor the run history"},
          Case{{"undo", "41", "--mailbox", "nobody@example.org"}, 1, "nobody@example.org"},
          Case{{"undo", "41", "--mailbox", "*@example.org"}, 0, "0 moved"},
          Case{{"undo"}, 2, "needs the id"}, Case{{"undo", "0"}, 2, "whole number"},
          Case{{"undo", "4x"}, 2, "whole number"}, Case{{"undo", "41", "42"}, 2, "unexpected"},
          Case{{"undo", "41", "--mailbox"}, 2, "e-mail address"},
          Case{{"undo", "41", "--yes"}, 2, "unknown option"}}) {
        o = QuellixSetup(c.args);
        EXPECT_EQ(o.code, c.code) << c.args.back() << ": " << o.output;
        ExpectSays(o, {c.says});
    }
}

// The destination of moves is checked when it is written, as mark checks
// its addresses: a run must be able to find it.
TEST_P(QuellixSetupTest, TheMoveDestinationIsCheckedWhenItIsWritten) {
    Outcome o = Install({"--folder", "Junk", "--age", "3", "--run", "Every day"});
    ASSERT_EQ(o.code, 0) << o.output;
    Mailbox("cid");
    // Which addresses name no destination is the destination's own test.
    o = QuellixSetup({"configure", "--move-to", "Ann Lee (ann@example.org)"});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"no mailbox of this server has that address with an Inbox",
                   "Destination folder 'Inbox' is not found in"});
    EXPECT_TRUE(Has(QuellixSetup({"status"}).output, "  Expired messages: delete\n"));
    o = QuellixSetup({"configure", "--move-to", "cid@example.org"});
    EXPECT_EQ(o.code, 0) << o.output;
    EXPECT_TRUE(Has(QuellixSetup({"status"}).output,
                    "  Expired messages: move to Cid Free (cid@example.org)\n"));
    o = QuellixSetup({"preview"});
    EXPECT_EQ(o.code, 3) << o.output;  // bob has no Junk: not reached
    ExpectSays(o, {"Action: move to cid/Inbox"});
}

// A preview changes no byte of the store: an older store stays as it is,
// version and all, where opening it to write would upgrade it.
TEST_P(QuellixSetupTest, APreviewChangesNoByteOfAnOlderStore) {
    Outcome o = Install({"--folder", "Junk", "--age", "3", "--run", "Every day"});
    ASSERT_EQ(o.code, 0) << o.output;
    const std::string db = Store()->Path();
    const auto sql = [&](const std::string& text) {
        sqlite3* raw = nullptr;
        std::string last;
        EXPECT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
        sqlite3_exec(
            raw, text.c_str(),
            [](void* out, int, char** values, char**) {
                *static_cast<std::string*>(out) = values[0] ? values[0] : "";
                return 0;
            },
            &last, nullptr);
        sqlite3_close(raw);
        return last;
    };
    sql("DROP TABLE moves; DROP TABLE runs; DROP TABLE extents; PRAGMA user_version = 1;");
    const auto bytes = [&](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    };
    const std::string file = bytes(db), wal = bytes(db + "-wal");
    o = QuellixSetup({"preview"});
    EXPECT_EQ(o.code, 3) << o.output;  // bob has no Junk: not reached
    ExpectSays(o, {"Total: "});
    EXPECT_TRUE(bytes(db) == file) << "the store file changed";
    EXPECT_TRUE(bytes(db + "-wal") == wal) << "the store's write-ahead log changed";
    EXPECT_EQ(sql("PRAGMA user_version"), "1");
}

// undo knows a delete run for one, whether the store gave it its identity or
// only the history knows it; and what undo puts back, history shows.
TEST_P(QuellixSetupTest, UndoTellsADeleteRunAndHistoryShowsWhatWasPutBack) {
    const std::string item = ItemUrl(false);
    // A delete run of the store.
    const int64_t deleted = platform::BeginStoreRun(item, false, 0);
    Outcome o = QuellixSetup({"undo", std::to_string(deleted)});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {"run " + std::to_string(deleted) +
                   " was a delete run: what it deleted is gone, and a delete run "
                   "cannot be undone"});
    // A delete run that only the history knows (from before the store gave
    // identities out).
    int64_t older = 0;
    {
        auto run = platform::RunRecorder::Begin(item, "_MailboxToMove=\n_FolderName=Junk\n");
        older = run.Id();
        run.End("completed", "", 1);
    }
    o = QuellixSetup({"undo", std::to_string(older)});
    EXPECT_EQ(o.code, 1) << o.output;
    ExpectSays(o, {" was a delete run"});

    // A move run: two moves, one put back, then the other.
    const platform::Date old = platform::Date::NowUtc().AddDays(-9);
    const int64_t junk = Folder("ann", "Junk");
    Message(junk, "a1", old);
    Message(junk, "a2", old);
    (void)Folder("dest", "Inbox");
    auto recorder = platform::RunRecorder::Open();
    const int64_t moved = platform::BeginStoreRun(item, true, recorder.HighestId());
    recorder.Start(item, "_MailboxToMove=dest@example.org\n", moved);
    for (const char* name : {"a1", "a2"}) {
        (void)platform::MoveRecordForRun(FileUrl("ann", std::string("Junk/") + name + ".EML"),
                                         HttpUrl("dest", "Inbox"), moved);
    }
    recorder.Folder({"ann@example.org", FileUrl("ann", "Junk"), 2, 20, true, ""});
    recorder.End("completed", "", 1);
    o = QuellixSetup({"history", "--last", "1"});
    ExpectNotSays(o, {"Put back"});
    // The user deleted one of them from the destination Inbox.
    {
        auto store = Store();
        const int64_t inbox = store->Lookup({"example.org", "MBX", "dest", "Inbox"})->id;
        store->DeleteItem(store->ItemsIn(inbox).front().id);
    }
    // While a run of the registration holds its lock, undo waits within the
    // bound, then says who holds it and puts nothing back.
    {
        ConfigureWith({"store.run_lock_wait_ms = 100"});
        const auto held = platform::RunLock::Acquire(item, std::chrono::milliseconds(0), nullptr);
        ASSERT_TRUE(held);
        o = QuellixSetup({"undo", std::to_string(moved)});
        EXPECT_EQ(o.code, 1) << o.output;
        ExpectSays(o, {"holds the run lock past 100 ms (store.run_lock_wait_ms): held by pid " +
                       std::to_string(getpid())});
        ExpectNotSays(o, {"Put back"});
        ConfigureWith({});
    }
    o = QuellixSetup({"undo", std::to_string(moved)});
    EXPECT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"2 moved, 1 put back"});
    o = QuellixSetup({"history", "--last", "1"});
    ExpectSays(o, {"Run " + std::to_string(moved) + ": completed",
                   "  Put back by undo: 1 of 2 moved (partly), last "});
    o = QuellixSetup({"history", "--last", "1", "--json"});
    ExpectSays(o, {"\"putBack\": 1, \"putBackAt\": \""});
    // Undo again: nothing more is put back, and the history adds nothing.
    o = QuellixSetup({"undo", std::to_string(moved), "--json"});
    EXPECT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"\"recordedInHistory\": false"});
    o = QuellixSetup({"history", "--last", "1"});
    ExpectSays(o, {"  Put back by undo: 1 of 2 moved (partly), last "});
}

// status as an administrator reads it: the registration's own runs with the
// next beside the last, mailboxes judged by what each run selected, names
// from the directory that cannot forge a line, and a store that cannot be
// opened said in its part, with a failing exit.
class StatusTest : public CliFixture {
protected:
    void SetUp() override {
        SetupFixture::SetUp();
        ASSERT_TRUE(LoadDirectory({
            {.cn = "Ann Lee",
             .account = "alee",
             .alias = "ann",
             .mail = "ann@example.org",
             .mark = "Quellix"},
            {.cn = "Cid Free", .account = "cid", .alias = "cid", .mail = "cid@example.org"},
            {.cn = "Eve\x1b[2J\r\nMailboxes that can be registered (0):",
             .account = "eve",
             .alias = "eve",
             .mail = "eve@example.org"},
            {.cn = "Wendy Lee 2", .account = "wlee2", .alias = "wlee2", .mark = "Quellix"},
        }));
        const Outcome o = Install({"--folder", "Junk", "--age", "3", "--run", "Every day"});
        ASSERT_EQ(o.code, 0) << o.output;
        item_ = ItemUrl(false);
    }
    std::string item_;
};

TEST_F(StatusTest, TellsTheRegistrationsOwnRunsAndTheNextOne) {
    Outcome o = QuellixSetup({"status"});
    ASSERT_EQ(o.code, 0) << o.output;
    ExpectSays(o, {"  Last run: none recorded; next run: 20"});
    // A name holding ESC and CR LF is shown, not obeyed.
    ExpectSays(o, {"  Eve\\x1B[2J\\r\\nMailboxes that can be registered (0): / "});
    EXPECT_EQ(o.output.find("\nMailboxes that can be registered ("),
              o.output.rfind("\nMailboxes that can be registered ("))
        << o.output;
    EXPECT_EQ(o.output.find('\x1b'), std::string::npos) << o.output;

    // Two due runs: Wendy has no address, so no URL to try, on both.
    for (int i = 0; i < 2; ++i) {
        o = RunProgram(QUELLIX_HOST_PATH, {"ontimer", item_});
        ASSERT_EQ(o.code, 0) << o.output;
    }
    // Cid is marked after the runs: they did not select it, nor miss it.
    ASSERT_EQ(QuellixSetup({"mark", "cid@example.org"}).code, 0);

    o = QuellixSetup({"status"});
    ASSERT_EQ(o.code, 3) << o.output;
    const std::string lastRun = "  Last run: 2, completed, started ";
    ExpectSays(o, {lastRun});
    EXPECT_TRUE(Has(o.output.substr(o.output.find(lastRun)), " UTC; next run: 20")) << o.output;
    ExpectSays(o, {"  Attention: Wendy Lee 2 (no address) failed or was not reached on the last "
                   "two due runs (run 2: no URL to try: the mailbox has no address; run 1: no "
                   "URL to try: the mailbox has no address)"});
    ExpectNotSays(o, {"Attention: cid", "Attention:  "});
    // The preview shows the folder a run would not reach, and exits 3.
    o = QuellixSetup({"preview"});
    EXPECT_EQ(o.code, 3) << o.output;
    ExpectSays(o, {"Mailbox: Wendy Lee 2 (no address)\n  not reached: no URL to try",
                   "a run would not reach the folder of some mailboxes"});
    o = QuellixSetup({"status", "--json"});
    ASSERT_EQ(o.code, 3) << o.output;
    ExpectSays(
        o, {"\"nextRun\": \"20", "{\"mailbox\": \"\", \"name\": \"Wendy Lee 2\", \"reasons\": "});
    o = QuellixSetup({"history", "--last", "0"});
    ExpectSays(o, {"  Wendy Lee 2 (no address)\n"});
}

TEST_F(StatusTest, AStoreThatCannotBeOpenedIsSaidInItsPartAndFailsTheCommand) {
    const std::string db = Store()->Path();
    for (const std::string damage : {"missing", "damaged"}) {
        SCOPED_TRACE(damage);
        std::filesystem::rename(db, db + ".away");
        if (damage == "damaged") std::ofstream(db) << "SQLite format 3";
        Outcome o = QuellixSetup({"status"});
        EXPECT_EQ(o.code, 1) << o.output;
        ExpectSays(o, {"Registration: cannot be read: "});
        ExpectNotSays(o, {"Registration: none"});
        ExpectSays(o, {"Mailboxes that can be registered ("});
        EXPECT_TRUE(
            Has(o.output, "Last run and next run: unknown (the registration cannot be read)"))
            << o.output;
        o = QuellixSetup({"status", "--json"});
        EXPECT_EQ(o.code, 1) << o.output;
        ExpectSays(o, {"\"registration\": null,\n  \"parameters\": {\"error\": \""});
        o = QuellixSetup({"preview"});
        EXPECT_EQ(o.code, 1) << o.output;
        ExpectSays(o, {"open store(" + db + ") failed: "});
        ExpectNotSays(o, {"no registration was found"});
        std::filesystem::remove(db);
        std::filesystem::rename(db + ".away", db);
    }
    EXPECT_EQ(QuellixSetup({"status"}).code, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, QuellixSetupTest,
                         ::testing::Values(Backend::Ldb, Backend::Slapd), [](const auto& info) {
                             return info.param == Backend::Ldb ? std::string("ldb")
                                                               : std::string("slapd");
                         });

}  // namespace
}  // namespace setup
