#include "sink/sweep.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <thread>

#include "base/error.h"
#include "base/testing/contains.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "platform/ado.h"
#include "sink/quellix_module.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using platform::testing::Contains;

using platform::Date;
using testing::LogLines;
using testing::SinkFixture;
using testing::StartsWithNowStamp;
using Strings = std::vector<std::string>;

class SweepTest : public SinkFixture {
protected:
    // Spam holds messages around the cutoff, a hidden one and a subfolder.
    void MakeSpam(const std::string& alias) {
        const int64_t spam = Folder(alias, "Spam");
        Message(spam, "old", cutoff_.AddDays(-1));
        Message(spam, "edge", cutoff_);  // received exactly at the cutoff second
        Message(spam, "new", cutoff_.AddMinutes(1.0 / 60));  // one second after: kept
        Message(spam, "hidden", cutoff_.AddDays(-1), true);
        const int64_t sub = Folder(alias, "Spam/Sub");
        Message(sub, "sub-old", cutoff_.AddDays(-3));
        Message(sub, "sub-new", cutoff_.AddDays(3));
    }

    const Date cutoff_ = Date::FromParts(2026, 11, 22, 8, 30, 15);
};

TEST_F(SweepTest, SelectsVisibleMessagesReceivedAtOrBeforeTheCutoffShallowAndDeep) {
    struct Case {
        const char* traversal;
        int32_t want;
        Strings spamLeft, subLeft;
    } cases[] = {
        {"shallow", 2, {"hidden", "new"}, {"sub-new", "sub-old"}},
        {"deep", 3, {"hidden", "new"}, {"sub-new"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.traversal);
        const std::string alias = std::string("user-") + c.traversal;
        MakeSpam(alias);
        EXPECT_EQ(
            SweepFolder(TheRun(), FileUrl(alias, "Spam"), cutoff_, true, c.traversal).selected,
            c.want);
        EXPECT_EQ(Messages(alias, "Spam"), c.spamLeft);
        EXPECT_EQ(Messages(alias, "Spam/Sub"), c.subLeft);
    }
    // The subfolder itself is never selected.
    EXPECT_TRUE(Store()->Lookup({testing::kNamespace, "MBX", "user-deep", "Spam", "Sub"}));
    EXPECT_EQ(ReadLog(), "2 messages has been deleted in " + FileUrl("user-shallow", "Spam") +
                             "\r\n3 messages has been deleted in " + FileUrl("user-deep", "Spam") +
                             "\r\n");
}

// One message whose received time no date has (a damaged store) is passed
// over and said; the rest of the folder is swept, run after run.
TEST_F(SweepTest, AMessageWithAnImpossibleDateIsSkippedAndTheRestSwept) {
    const int64_t spam = Folder("ann", "Spam");
    for (const char* s : {"a", "b", "c"}) Message(spam, s, cutoff_.AddDays(-3));
    const int64_t bad = Message(spam, "bad", cutoff_.AddDays(-3));
    Message(spam, "young", cutoff_.AddDays(3));
    {
        auto db = localplatform::SqliteDb::Open(Store()->Path(), {});
        db.Prepare("UPDATE items SET received = ?1 WHERE id = ?2")
            .Bind(1, std::numeric_limits<int64_t>::min())
            .Bind(2, bad)
            .Run();
    }
    const FolderSwept swept =
        SweepFolder(TheRun(), FileUrl("ann", "Spam"), cutoff_, true, "shallow");
    EXPECT_EQ(swept.selected, 4);
    EXPECT_EQ(swept.removed, 3);
    EXPECT_EQ(swept.error, "");
    EXPECT_EQ(Messages("ann", "Spam"), (Strings{"bad", "young"}));
    const auto lines = LogLines(ReadLog());
    ASSERT_EQ(lines.size(), 2u) << ReadLog();
    EXPECT_TRUE(StartsWithNowStamp(lines[0])) << lines[0];
    EXPECT_TRUE(
        Contains(lines[0], "message skipped: read item(" + FileUrl("ann", "Spam") + "/bad.EML)"));
    EXPECT_TRUE(Contains(lines[0], "outside the dates a store holds"));
    EXPECT_EQ(lines[1], "3 messages has been deleted in " + FileUrl("ann", "Spam"));
    // The next run passes it over again, and removes nothing else.
    NewRun();
    EXPECT_EQ(SweepFolder(TheRun(), FileUrl("ann", "Spam"), cutoff_, true, "shallow").removed, 0);
    EXPECT_EQ(Messages("ann", "Spam"), (Strings{"bad", "young"}));
}

// A selected message another program deletes before the sweep reaches it
// is not counted as deleted by this run, and a line says how many there were.
TEST_F(SweepTest, AMessageGoneBeforeItsDeleteIsNotCountedAndIsSaid) {
    const int64_t spam = Folder("ann", "Spam");
    const int64_t x = Message(spam, "x", cutoff_.AddDays(-3));
    const int64_t y = Message(spam, "y", cutoff_.AddDays(-3));
    Message(spam, "z", cutoff_.AddDays(-3));
    {
        // Whichever of x and y the sweep deletes first, "another program"
        // takes the other at that moment: after the query, before its turn.
        auto db = localplatform::SqliteDb::Open(Store()->Path(), {});
        for (const auto& [first, other] : {std::pair{x, y}, std::pair{y, x}}) {
            db.Prepare("CREATE TRIGGER took_" + std::to_string(other) +
                       " AFTER DELETE ON items WHEN old.id = " + std::to_string(first) +
                       " BEGIN DELETE FROM items WHERE id = " + std::to_string(other) + "; END")
                .Run();
        }
    }
    const FolderSwept swept =
        SweepFolder(TheRun(), FileUrl("ann", "Spam"), cutoff_, true, "shallow");
    EXPECT_EQ(swept.selected, 3);
    EXPECT_EQ(swept.removed, 2);
    EXPECT_TRUE(Messages("ann", "Spam").empty());
    EXPECT_EQ(
        LogLines(ReadLog()),
        (Strings{"1 selected messages were no longer found to delete in " + FileUrl("ann", "Spam"),
                 "2 messages has been deleted in " + FileUrl("ann", "Spam")}));
}

class MoveTest : public SweepTest {
protected:
    void SetUp() override {
        SweepTest::SetUp();
        Mailbox("archive");
        TheRun().move = {"archive/Inbox", FileUrl("archive", "Inbox"), HttpUrl("archive", "Inbox")};
        // The run's identity, from the store: its moves are recorded under it.
        Record().Begin(FileUrl("system", "Quellix.reg"), "", true);
        const int64_t spam = Folder("ann", "Spam");
        for (const char* s : {"m1", "m2", "m3", "m4", "m5"}) Message(spam, s, cutoff_.AddDays(-2));
        Message(spam, "keep", cutoff_.AddDays(2));
    }
};

// A message another run took meanwhile is not copied: the sweep tells it
// as no longer found, and moves the rest. (What a move keeps of a message
// is the store's test.)
TEST_F(MoveTest, AMessageAnotherRunTookMeanwhileIsToldAndTheRestMove) {
    int moves = 0;
    SetMoveFaultHook([&](const std::string& href) {
        if (++moves != 1) return;
        // Another run, on a store handle of its own, deletes it first.
        std::thread([&] {
            platform::Record rec;
            rec.Open(href, nullptr, platform::adModeReadWrite);
            rec.DeleteRecord();
        }).join();
    });
    const std::string spam = FileUrl("ann", "Spam");
    EXPECT_EQ(SweepFolder(TheRun(), spam, cutoff_, true, "shallow").selected, 5);
    SetMoveFaultHook(nullptr);
    EXPECT_EQ(Subjects("archive", "Inbox"), (Strings{"m2", "m3", "m4", "m5"}));
    EXPECT_EQ(Messages("ann", "Spam"), Strings{"keep"});
    EXPECT_EQ(LogLines(ReadLog()),
              (Strings{"1 selected messages were no longer found to move from " + spam,
                       "4 messages has been moved from " + spam + " to archive/Inbox"}));
}

// Nothing moves, and nothing is deleted instead, when the folder's URL form
// has no destination (each form moves into the destination's URL of that
// form, and only the other form's Inbox was found), or when the store gave
// the run no identity to record the move under (no move without its
// manifest entry; said even so).
TEST_F(MoveTest, NothingMovesWithoutADestinationOfTheFormOrAnIdentity) {
    const struct {
        const char* name;
        bool http, identity;
        const char* says;  // empty: nothing is logged
    } cases[] = {
        {"file form, only an http Inbox", false, true, ""},
        {"http form, only a file Inbox", true, true, ""},
        {"no identity", false, false, "the run has no identity to record the move under"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.identity) NewRun();
        TheRun().move = {"archive/Inbox", c.http || !c.identity ? FileUrl("archive", "Inbox") : "",
                         c.http ? "" : HttpUrl("archive", "Inbox")};
        const std::string url = c.http ? HttpUrl("ann", "Spam") : FileUrl("ann", "Spam");
        const FolderSwept swept = SweepFolder(TheRun(), url, cutoff_, *c.says != 0, "shallow");
        EXPECT_EQ(swept.selected, -1);
        EXPECT_EQ(swept.removed, 0);
        EXPECT_EQ(Messages("ann", "Spam"), (Strings{"keep", "m1", "m2", "m3", "m4", "m5"}));
        EXPECT_TRUE(Subjects("archive", "Inbox").empty());
        if (*c.says) {
            EXPECT_TRUE(Contains(ReadLog(), c.says)) << ReadLog();
        } else {
            EXPECT_EQ(ReadLog(), "");
        }
    }
}

TEST_F(SweepTest, CountsBeyondSixteenBitsAreReportedTrue) {
    const int64_t spam = Folder("bulk", "Spam");
    auto store = Store();
    constexpr int kMessages = 33000;
    store->BeginTransaction();
    const std::string text = testing::MessageText("bulk");
    for (int i = 0; i < kMessages; ++i) {
        (void)store->SaveMessage(spam, text, localplatform::ToStoreTime(cutoff_.AddDays(-1)));
    }
    store->CommitTransaction();
    EXPECT_EQ(SweepFolder(TheRun(), FileUrl("bulk", "Spam"), cutoff_, true, "shallow").selected,
              kMessages);
    EXPECT_EQ(ReadLog(), "33000 messages has been deleted in " + FileUrl("bulk", "Spam") + "\r\n");
    EXPECT_TRUE(Messages("bulk", "Spam").empty());
}

TEST_F(SweepTest, AnyNameIsSweptAndOnlyThatFolder) {
    // Each name beside a folder it must not be taken for; the URL is built
    // as the run builds it, the name encoded.
    struct Case {
        const char* alias;
        const char* name;
        const char* neighbour;
    } cases[] = {
        {"o'brien", "Junk 'n' spam", "Junk n spam"},
        {"quote", "Say \"hi\"", "Say hi"},
        {"percent", "Sp%61m", "Spam"},
        {"pct2", "50% off", "50"},
        {"ask", "What?", "What"},
        {"hash", "Tag#1", "Tag"},
        {"bare%41lias", "Spam", "Sp"},
    };
    std::string want;
    for (const auto& c : cases) {
        for (const bool http : {false, true}) {
            SCOPED_TRACE(std::string(c.alias) + " " + c.name + (http ? " http" : " file"));
            const int64_t folder = Folder(c.alias, c.name);
            const int64_t neighbour = Folder(c.alias, c.neighbour);
            Message(folder, "old", cutoff_.AddDays(-1));
            Message(neighbour, http ? "other-http" : "other-file", cutoff_.AddDays(-1));
            const std::string alias = platform::EncodeStoreUrlPath(c.alias);
            const std::string name = platform::EncodeStoreUrlPath(c.name);
            const std::string url = http ? HttpUrl(alias, name) : FileUrl(alias, name);
            EXPECT_EQ(SweepFolder(TheRun(), url, cutoff_, true, http ? "deep" : "shallow").selected,
                      1);
            EXPECT_TRUE(Messages(c.alias, c.name).empty());
            EXPECT_EQ(Messages(c.alias, c.neighbour).size(), http ? 2u : 1u);
            want += "1 messages has been deleted in " + url + "\r\n";
        }
    }
    EXPECT_EQ(ReadLog(), want);
}

}  // namespace
}  // namespace quellix
