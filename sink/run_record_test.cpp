// What a run leaves in the run history and the store's move manifest, and
// that they tell the truth however the run ends: completed, a folder failing
// half-way, the directory down, the process killed. The runs are the sink's
// own (OnTimer in this process, or in a child that dies), on a real store.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/testing/contains.h"
#include "base/testing/file_text.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "platform/move_manifest.h"
#include "platform/run_history.h"
#include "sink/quellix_cls.h"
#include "sink/sweep.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using platform::testing::Contains;

using platform::Date;
using testing::MailUser;
using Strings = std::vector<std::string>;

class RunRecordTest : public testing::SinkFixture {
protected:
    void SetUp() override {
        SinkFixture::SetUp();
        metrics_ = dir_ + "/quellix.prom";
        Configure({"metrics.textfile = " + metrics_});
        Directory({
            MailUser("Ann", "ann", "ann@example.org", "Quellix"),
            MailUser("Bob", "bob", "bob@example.org", "Quellix"),
            MailUser("Archive", "arch", "arch@example.org"),
        });
        Mailbox("arch");
        const Date now = Date::NowUtc();
        for (const char* alias : {"ann", "bob"}) {
            Mailbox(alias);
            const int64_t spam = Folder(alias, "Spam");
            for (int i = 1; i <= 4; ++i) {
                Message(spam, std::string(alias) + std::to_string(i), now.AddDays(-10 - i));
            }
            Message(spam, std::string(alias) + "-young", now.AddDays(-1));
        }
    }

    std::string Item(bool move) {
        registration::OnTimerRegistration item;
        item.searchRoot = "GC://dc1.example.org";
        item.folderName = "Spam";
        item.run = 1;
        item.expirationPeriod = 7;
        item.mailboxToMove = move ? "arch@example.org" : "";
        return Registration(item);
    }

    static platform::HRESULT FireTimer(const std::string& itemUrl) {
        // A component owns itself: its last Release deletes it.
        auto* sink = new QuellixCls();  // NOLINT(cppcoreguidelines-owning-memory)
        const platform::HRESULT hr = sink->OnTimer(itemUrl.c_str(), 0);
        sink->Release();
        return hr;
    }

    static platform::RunSummary LastRun() {
        const auto runs = platform::RunHistoryReader::OpenCurrent().Runs(1);
        EXPECT_EQ(runs.size(), 1U);
        return runs.empty() ? platform::RunSummary{} : runs.front();
    }

    std::string Metrics() const { return platform::testing::FileText(metrics_); }

    std::string metrics_;
};

TEST_F(RunRecordTest, AMoveRunIsRecordedAndPutBackWholeByItsId) {
    const std::string item = Item(true);
    ASSERT_EQ(FireTimer(item), platform::S_OK) << ReadLog();
    const platform::RunSummary run = LastRun();
    EXPECT_EQ(run.itemUrl, item);
    EXPECT_EQ(run.outcome, "completed");
    EXPECT_EQ(run.mailboxes, 2);
    EXPECT_EQ(run.moved, 8);
    EXPECT_EQ(run.deleted, 0);
    EXPECT_EQ(run.errors, 0);
    EXPECT_TRUE(Contains(run.parameters, "_MailboxToMove=arch@example.org\n"));
    const auto folders = platform::RunHistoryReader::OpenCurrent().Folders(run.id);
    ASSERT_EQ(folders.size(), 2U);
    int64_t bytes = 0;
    for (const auto& f : folders) {
        SCOPED_TRACE(f.mailbox);
        EXPECT_EQ(f.count, 4);
        EXPECT_TRUE(f.moved);
        EXPECT_TRUE(f.error.empty()) << f.error;
        EXPECT_EQ(f.url,
                  "file://./backofficestorage/example.org/mbx/" + f.mailbox.substr(0, 3) + "/Spam");
        bytes += f.bytes;
    }
    EXPECT_EQ(run.bytes, bytes);
    EXPECT_EQ(bytes, 8 * static_cast<int64_t>(testing::MessageText("ann1").size()));
    EXPECT_TRUE(Contains(Metrics(), "quellix_last_run_messages_moved{"));
    // The mailboxes it selected, as the directory names them.
    const auto selection = platform::RunHistoryReader::OpenCurrent().Selection(run.id);
    ASSERT_TRUE(selection);
    ASSERT_EQ(selection->size(), 2U);
    EXPECT_EQ((*selection)[0].mailbox, "ann@example.org");
    EXPECT_EQ((*selection)[0].name, "Ann");
    EXPECT_EQ((*selection)[1].mailbox, "bob@example.org");
    EXPECT_EQ(Subjects("arch", "Inbox").size(), 8U);

    // Put back by the run's id: every message where it was, under its own
    // name (its bytes and received time are the manifest's own test's).
    const auto moved = platform::MovedMessagesOfRun(run.id);
    ASSERT_EQ(moved.size(), 8U);
    for (const auto& m : moved) {
        EXPECT_EQ(platform::PutBackMovedMessage(m).outcome,
                  platform::PutBackResult::Outcome::kPutBack);
    }
    EXPECT_TRUE(Subjects("arch", "Inbox").empty());
    for (const std::string a : {"ann", "bob"}) {
        EXPECT_EQ(Messages(a, "Spam"), (Strings{a + "-young", a + "1", a + "2", a + "3", a + "4"}));
    }
}

TEST_F(RunRecordTest, AFolderFailingHalfWayIsRecordedWithWhatItRemoved) {
    const std::string item = Item(true);
    // From the third of Ann's moves on, the store refuses every one: each
    // URL form the run tries fails in turn.
    int moves = 0;
    SetMoveFaultHook([&](const std::string& href) {
        if (href.find("/ann/") != std::string::npos && ++moves >= 3) {
            throw platform::Error(platform::err::kFail, "the store refused the move");
        }
    });
    // A folder's failure is the run's log's, as ever; the run goes on, and
    // ends as no success: its caller, the history and the metrics say so.
    EXPECT_EQ(FireTimer(item), platform::S_FALSE) << ReadLog();
    const platform::RunSummary run = LastRun();
    EXPECT_EQ(run.outcome, "completed with failures");
    EXPECT_EQ(run.errors, 1) << ReadLog();
    EXPECT_TRUE(Contains(Metrics(), "quellix_last_run_success{item=\"" + item + "\"} 0\n"));
    EXPECT_EQ(run.moved, 2 + 4);
    std::map<std::string, platform::RunFolderRecord> byMailbox;
    for (const auto& f : platform::RunHistoryReader::OpenCurrent().Folders(run.id))
        byMailbox[f.mailbox] = f;
    ASSERT_EQ(byMailbox.size(), 2U);
    const auto& ann = byMailbox["ann@example.org"];
    EXPECT_EQ(ann.count, 2);
    EXPECT_TRUE(Contains(ann.error, "the store refused the move"));
    EXPECT_EQ(byMailbox["bob@example.org"].count, 4);
    EXPECT_TRUE(byMailbox["bob@example.org"].error.empty());
    // The manifest holds exactly the moves made, and every message is in one
    // place: no copy of a refused move stays in the Inbox.
    EXPECT_EQ(platform::MovedMessagesOfRun(run.id).size(), 6U);
    EXPECT_EQ(Subjects("arch", "Inbox").size(), 6U);
    EXPECT_EQ(Messages("ann", "Spam"), (Strings{"ann-young", "ann3", "ann4"}));
}

// Many users have no junk folder, and a mail server makes a mailbox at its
// first message: neither is a failure of the run.
TEST_F(RunRecordTest, AMailboxWithoutTheFolderOrWithoutAMailboxIsNoFailure) {
    registration::OnTimerRegistration item;
    item.searchRoot = "GC://dc1.example.org";
    item.folderName = "Spam";
    item.run = 1;
    item.expirationPeriod = 7;
    item.allMailboxes = "1";  // the archive too: a mailbox without Spam
    const std::string url = Registration(item);
    (void)Store()->DeleteItem(Store()->Lookup({testing::kNamespace, "MBX", "bob"})->id);
    EXPECT_EQ(FireTimer(url), platform::S_OK) << ReadLog();
    const platform::RunSummary run = LastRun();
    EXPECT_EQ(run.outcome, "completed");
    EXPECT_EQ(run.mailboxes, 3);
    EXPECT_EQ(run.deleted, 4);
    EXPECT_TRUE(Contains(Metrics(), "quellix_last_run_success{item=\"" + url + "\"} 1\n"));

    // A metrics file the run cannot write: the cleanup is done, and the
    // caller and the history both say it completed with failures, and why.
    const std::string nowhere = dir_ + "/no-such-folder/quellix.prom";
    Configure({"metrics.textfile = " + nowhere});
    EXPECT_EQ(FireTimer(url), platform::S_FALSE) << ReadLog();
    const platform::RunSummary lost = LastRun();
    EXPECT_EQ(lost.outcome, "completed with failures");
    EXPECT_TRUE(Contains(lost.detail, "the metrics file " + nowhere + " was not written: "))
        << lost.detail;
}

// The directory down: the log's error entry names the directory's error and
// the search root, and the history records a failure that treated nothing.
TEST_F(RunRecordTest, ADirectoryOutageIsRecordedAsTheFailureItWas) {
    const std::string item = Item(false);
    Configure({"metrics.textfile = " + metrics_, "directory = ldap://127.0.0.1:1",
               "directory.gc_port = 1"});
    EXPECT_EQ(FireTimer(item), platform::E_FAIL);
    const auto lines = testing::LogLines(ReadLog());
    const auto entry = std::find_if(lines.begin(), lines.end(), testing::StartsWithNowStamp);
    ASSERT_NE(entry, lines.end()) << ReadLog();
    EXPECT_TRUE(Contains(*entry, std::to_string(platform::err::kDsServerDown))) << *entry;
    EXPECT_TRUE(entry->ends_with(" GC://dc1.example.org")) << *entry;
    const platform::RunSummary run = LastRun();
    EXPECT_EQ(run.outcome, "failed");
    EXPECT_TRUE(Contains(run.detail, "GC://dc1.example.org"));
    EXPECT_EQ(run.mailboxes, 0);
    EXPECT_EQ(run.deleted, 0);
    EXPECT_TRUE(platform::RunHistoryReader::OpenCurrent().Folders(run.id).empty());
    EXPECT_TRUE(Contains(Metrics(), "quellix_last_run_success{"));
    EXPECT_FALSE(Contains(Metrics(), "quellix_last_run_success{item=\"" + item + "\"} 1"));
    // Nothing was removed.
    EXPECT_EQ(Messages("ann", "Spam").size(), 5U);
}

// Without its history (one it cannot write, or one removed as one does with
// an unreadable one) a run takes its identity from the store, which never
// numbers runs afresh: every move has its manifest entry under it, the log
// says which run it is, and the next run, in a history begun anew, is not
// run 1 again, so putting run 1 back takes only run 1's messages.
TEST_F(RunRecordTest, WithoutItsHistoryARunStillRecordsEveryMoveUnderAnIdentityOfItsOwn) {
    const std::string item = Item(true);
    std::filesystem::create_directories(dir_ + "/history-folder/history.db");
    Configure({"history = " + dir_ + "/history-folder/history.db"});
    EXPECT_EQ(FireTimer(item), platform::E_FAIL);
    EXPECT_EQ(Subjects("arch", "Inbox").size(), 8U);
    EXPECT_EQ(platform::MovedMessagesOfRun(1).size(), 8U);
    EXPECT_TRUE(Contains(ReadLog(), "this is run 1 of the store"));

    Configure({"metrics.textfile = " + metrics_});  // the default history, begun anew
    Message(Folder("ann", "Spam"), "ann5", Date::NowUtc().AddDays(-20));
    ASSERT_EQ(FireTimer(item), platform::S_OK) << ReadLog();
    const int64_t second = LastRun().id;
    EXPECT_NE(second, 1);
    EXPECT_EQ(platform::MovedMessagesOfRun(second).size(), 1U);
    EXPECT_EQ(platform::MovedMessagesOfRun(1).size(), 8U);
}

// A destination that is there but cannot be read stops the run: the
// administrator meant to move, and nothing is deleted instead.
TEST_F(RunRecordTest, AnUnreadableDestinationStopsTheRunInsteadOfDeleting) {
    const std::string item = Item(true);
    const std::string property = registration::CustomProperty(registration::kMailboxToMove);
    SetItemProperty(item, property, platform::Variant(Date::NowUtc()));
    EXPECT_EQ(FireTimer(item), platform::E_FAIL);
    EXPECT_EQ(Messages("ann", "Spam").size(), 5U);
    EXPECT_TRUE(Contains(ReadLog(), property + ") cannot be read, so nothing is moved or deleted"));
    EXPECT_TRUE(Contains(ReadLog(), "Mailboxes processed: 0"));
    EXPECT_EQ(LastRun().outcome, "failed");

    // A type the store does not know.
    SetItemProperty(item, property, platform::Variant(std::string("arch@example.org")));
    {
        auto store = Store();
        const auto reg = store->Require({testing::kNamespace, "MBX", testing::kSystemMailbox,
                                         "StoreEvents", "GlobalEvents", registration::kItemName},
                                        item);
        auto db = localplatform::SqliteDb::Open(store->Path(), {});
        db.Prepare("UPDATE props SET type = 99 WHERE item = ?1 AND name = ?2")
            .Bind(1, reg.id)
            .Bind(2, property)
            .Run();
    }
    NewRun();
    EXPECT_EQ(FireTimer(item), platform::E_FAIL);
    EXPECT_EQ(Messages("ann", "Spam").size(), 5U);
    EXPECT_TRUE(Contains(ReadLog(), "a property type the store does not know"));
}

// A firing of an item that does not exist is no run of a registration: it
// fails, and leaves nothing in the history or the metrics.
TEST_F(RunRecordTest, AFiringOfNoRegistrationLeavesNoRecord) {
    (void)Item(false);
    const std::string missing =
        FileUrl(testing::kSystemMailbox, "StoreEvents/GlobalEvents/Nope.reg");
    EXPECT_EQ(FireTimer(missing), platform::E_FAIL);
    EXPECT_EQ(FireTimer("file://./backofficestorage/example.org/nowhere"), platform::E_FAIL);
    EXPECT_TRUE(platform::RunHistoryReader::OpenCurrent().Runs().empty());
    EXPECT_EQ(Metrics(), "");
}

TEST_F(RunRecordTest, NotARunDayIsRecordedAsSuch) {
    registration::OnTimerRegistration item;
    item.searchRoot = "GC://dc1.example.org";
    item.folderName = "Spam";
    item.run = static_cast<int16_t>(2 + Date::NowLocal().Weekday() % 7);  // tomorrow
    ASSERT_EQ(FireTimer(Registration(item)), platform::S_OK) << ReadLog();
    EXPECT_EQ(LastRun().outcome, "not a run day");
    EXPECT_EQ(Messages("ann", "Spam").size(), 5U);
}

// The child half of the kill test: a run that dies at its sixth move.
TEST_F(RunRecordTest, KilledChild) {
    const char* config = std::getenv("QUELLIX_KILLED_CHILD_CONFIG");
    const char* item = std::getenv("QUELLIX_KILLED_CHILD_ITEM");
    if (!config || !item) GTEST_SKIP() << "started only by the kill test";
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);  // _exit skips TearDown
    setenv("QUELLIX_CONFIG", config, 1);
    int moves = 0;
    SetMoveFaultHook([&](const std::string&) {
        if (++moves == 6) _exit(42);
    });
    (void)FireTimer(item);
    _exit(1);
}

// The messages the log says were moved, summed over its lines.
int64_t ClaimedInLog(const std::string& log) {
    int64_t claimed = 0;
    const std::string said = " messages has been moved from ";
    for (size_t at = log.find(said); at != std::string::npos; at = log.find(said, at + 1)) {
        const size_t line = log.rfind('\n', at);
        claimed += std::stoll(log.substr(line == std::string::npos ? 0 : line + 1));
    }
    return claimed;
}

// The store commits a run's moves together over its folders; the log and
// the history tell of a move only once it is committed. Killed at its sixth
// move (the second of bob's), a run that commits every move has told of
// ann's four; one that commits after a long while has told of none and
// moved none.
TEST_F(RunRecordTest, AKilledRunToldOnlyOfCommittedMovesAndTheyArePutBack) {
    if (std::getenv("QUELLIX_KILLED_CHILD_CONFIG")) GTEST_SKIP();
    const struct {
        const char* batchMs;
        size_t moved;
        int64_t told;
    } cases[] = {{"0", 5, 4}, {"600000", 0, 0}};
    const std::string item = Item(true);
    const auto held = [&] {
        Strings all = Subjects("arch", "Inbox");
        for (const char* alias : {"ann", "bob"}) {
            for (const auto& m : Messages(alias, "Spam")) all.push_back(m);
        }
        std::sort(all.begin(), all.end());
        return all;
    };
    const Strings before = {"ann-young", "ann1", "ann2", "ann3", "ann4",
                            "bob-young", "bob1", "bob2", "bob3", "bob4"};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("store.batch_ms = ") + c.batchMs);
        Configure({"metrics.textfile = " + metrics_, std::string("store.batch_ms = ") + c.batchMs});
        ASSERT_EQ(
            testing::RunChildTest("RunRecordTest.KilledChild",
                                  {{"QUELLIX_KILLED_CHILD_CONFIG", std::getenv("QUELLIX_CONFIG")},
                                   {"QUELLIX_KILLED_CHILD_ITEM", item}}),
            42)
            << "the child did not reach its sixth move";

        const platform::RunSummary run = LastRun();
        EXPECT_EQ(run.outcome, "interrupted");
        EXPECT_FALSE(run.ended);
        // Whatever the kill left committed, the manifest says exactly that:
        // each message is in its folder or in the Inbox with an entry, never
        // lost, never in both.
        EXPECT_EQ(held(), before);
        const auto moved = platform::MovedMessagesOfRun(run.id);
        EXPECT_EQ(moved.size(), c.moved);
        EXPECT_EQ(Subjects("arch", "Inbox").size(), c.moved);
        EXPECT_EQ(ClaimedInLog(ReadLog()), c.told) << ReadLog();
        int64_t recorded = 0;
        for (const auto& f : platform::RunHistoryReader::OpenCurrent().Folders(run.id))
            recorded += f.count;
        EXPECT_LE(recorded, c.told);
        for (const auto& m : moved) {
            EXPECT_EQ(platform::PutBackMovedMessage(m).outcome,
                      platform::PutBackResult::Outcome::kPutBack);
        }
        EXPECT_TRUE(Subjects("arch", "Inbox").empty());
        EXPECT_EQ(held(), before);
    }
}

// A commit the store cannot write (the log's file would pass the process's
// file size limit, as on a full disk) leaves the moves undone, and the log
// and the history say so, naming the store, instead of telling of them.
TEST_F(RunRecordTest, ACommitThatFailsIsToldWithTheStoreAndNothingIsClaimed) {
    Configure({"metrics.textfile = " + metrics_, "store.batch_ms = 600000"});
    const std::string item = Item(true);
    const std::string wal = Store()->Path() + "-wal";
    rlimit unlimited{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    const auto ignoreBefore = std::signal(SIGXFSZ, SIG_IGN);
    int moves = 0;
    SetMoveFaultHook([&](const std::string&) {
        if (++moves < 8) return;
        // The last move is made; the commit after it must grow the log.
        rlimit limit = unlimited;
        limit.rlim_cur = std::filesystem::file_size(wal);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    });
    (void)FireTimer(item);
    SetMoveFaultHook({});
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    std::signal(SIGXFSZ, ignoreBefore);

    ASSERT_EQ(moves, 8);
    const std::string log = ReadLog();
    EXPECT_EQ(ClaimedInLog(log), 0) << log;
    for (const char* alias : {"ann", "bob"}) {
        // The folder's line: the error entry in place of its claim.
        const size_t at = log.find(std::string("/") + alias + "/Spam");
        ASSERT_NE(at, std::string::npos) << log;
        const size_t start = log.rfind('\n', at) + 1;
        const std::string line = log.substr(start, log.find('\r', at) - start);
        EXPECT_NE(line.find("not committed, left for the next run ("), std::string::npos) << line;
        EXPECT_NE(line.find(Store()->Path()), std::string::npos) << line;
        EXPECT_EQ(Messages(alias, "Spam").size(), 5U) << alias;
    }
    EXPECT_TRUE(Subjects("arch", "Inbox").empty());
    const auto folders = platform::RunHistoryReader::OpenCurrent().Folders(LastRun().id);
    ASSERT_EQ(folders.size(), 2U);
    for (const auto& f : folders) {
        EXPECT_EQ(f.count, 0) << f.mailbox;
        EXPECT_NE(f.error.find("not committed"), std::string::npos) << f.error;
    }
}

}  // namespace
}  // namespace quellix
