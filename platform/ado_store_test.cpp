// The ADO-shaped access layer against real store database files: what the
// sink's sweep, the setup's registration writer and read-back rely on. What
// the sweep's query selects (around the cutoff, hidden, below the folder, by
// either scheme) is tested where the run sweeps a folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "localplatform/store/item_store.h"
#include "localplatform/store/store_messages.h"
#include "localplatform/store/store_test_support.h"
#include "platform/ado.h"

namespace platform {
namespace {

using localplatform::ItemStore;
using localplatform::testing::TempStore;

constexpr const char* kNs = "example.test";

// The sink's query for one folder, built exactly as the sweep builds it.
std::string SweepQuery(const std::string& traversal, const std::string& folderUrl,
                       const std::string& iso) {
    return std::string("select ") + " \"urn:schemas:mailheader:content-class\"" + ", \"DAV:href\"" +
           ", \"DAV:displayname\"" + ", \"DAV:creationdate\"" + ", \"DAV:getlastmodified\"" +
           " from scope ('" + traversal + " traversal of " + "\"" + folderUrl + "\"') " +
           " WHERE \"DAV:ishidden\" = false " + " AND \"DAV:iscollection\" = false " +
           " AND (\"urn:schemas:httpmail:datereceived\" <= CAST(\"" + iso + "\" as 'dateTime'))";
}

Date Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return Date::FromParts(y, mo, d, h, mi, s);
}

void ExpectError(const std::function<void()>& f, int32_t number, const std::string& what) {
    try {
        f();
        ADD_FAILURE() << what << ": no error raised";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), number) << what << ": " << e.Description();
        EXPECT_FALSE(e.Description().empty()) << what;
    }
}

Connection OpenStore(const std::string& url) {
    Connection cnn;
    cnn.SetProvider("ExOLEDB.DataSource");
    cnn.SetConnectionString(url);
    cnn.Open(url, "", "", -1);
    return cnn;
}

// Mailbox alice with messages received on 2026-01-01 in folder
// (her Inbox or a folder Junk beside it), made on another thread so that
// this thread holds no store handle a forked child would inherit.
void MakeAlice(const std::string& folder, int messages) {
    std::thread([&] {
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace(kNs);
        store->CreateMailbox(kNs, "alice", false);
        if (folder.ends_with("/Junk"))
            store->CreateFolder(store->Lookup({kNs, "MBX", "alice"})->id, "Junk");
        for (int i = 0; i < messages; ++i)
            (void)localplatform::SaveNewMessage(folder, "old", Utc(2026, 1, 1));
    }).join();
}

class AdoStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace(kNs);
        store->CreateMailbox(kNs, "alice", false);
        store->CreateMailbox(kNs, "SystemMailbox{1234}", true);
        const auto inbox = store->Lookup({kNs, "MBX", "alice", "Inbox"});
        junk_ = store->CreateFolder(inbox->id, "Junk Mail");
        sub_ = store->CreateFolder(junk_, "Older");
    }

    std::string Junk(bool http = false) const {
        return (http ? TempStore::HttpBase() : TempStore::FileBase()) + "/alice/Inbox/Junk%20Mail";
    }

    // Saves a message; returns its URL (file scheme).
    std::string Put(const std::string& folderUrl, Date received,
                    const std::string& text = "Subject: x\r\n\r\nbody\r\n") {
        return localplatform::SaveNewMessage(folderUrl, text, received);
    }

    TempStore temp_;
    int64_t junk_ = 0;
    int64_t sub_ = 0;
};

TEST_F(AdoStoreTest, BothSchemesReachTheSameItem) {
    const std::string file = Put(Junk(), Utc(2026, 1, 1));
    const std::string name = file.substr(file.rfind('/') + 1);
    const std::string http = TempStore::HttpBase() + "/ALICE/inbox/junk%20mail/" + name;
    Record a, b;
    a.Open(file, nullptr, adModeRead);
    b.Open(http, nullptr, adModeRead);
    EXPECT_EQ(a.Fields("DAV:displayname").Value().ToString(), name);
    EXPECT_EQ(b.Fields("dav:DisplayName").Value().ToString(), name);
    EXPECT_EQ(a.Fields("DAV:href").Value().ToString(),
              TempStore::FileBase() + "/alice/Inbox/Junk Mail/" + name);
    EXPECT_EQ(a.Fields("DAV:href").Value().ToString(), file);
    EXPECT_EQ(b.Fields("DAV:href").Value().ToString(),
              TempStore::HttpBase() + "/alice/Inbox/Junk%20Mail/" + name);
    EXPECT_EQ(a.Fields(adDefaultStream).GetStream().Bytes(),
              b.Fields(adDefaultStream).GetStream().Bytes());
    EXPECT_EQ(a.Fields("DAV:contentclass").Value().ToString(), "urn:content-class:message");
    EXPECT_EQ(a.Fields("urn:schemas:httpmail:datereceived").Value().ToDate(), Utc(2026, 1, 1));
    EXPECT_FALSE(a.Fields("DAV:isfolder").Value().ToBool());
    EXPECT_TRUE(a.Fields("urn:schemas:mailheader:content-class").Value().IsNull());
}

TEST_F(AdoStoreTest, MailboxRootNamesItsInboxInTheSchemeUsed) {
    for (const bool http : {false, true}) {
        const std::string root = (http ? TempStore::HttpBase() : TempStore::FileBase()) + "/alice";
        Connection cnn = OpenStore(root);
        Record rec;
        rec.Open(root, &cnn, adModeRead);
        EXPECT_GT(rec.Fields().Count(), 0);
        EXPECT_EQ(rec.Fields("urn:schemas:httpmail:inbox").Value().ToString(), root + "/Inbox")
            << root;
        EXPECT_TRUE(rec.Fields("DAV:iscollection").Value().ToBool());
        EXPECT_EQ(rec.Fields("DAV:contentclass").Value().ToString(), "urn:content-class:folder");
    }
}

TEST_F(AdoStoreTest, BadConnectionsAndUrlsFailWithTheirNumbers) {
    struct Case {
        const char* name;
        std::string provider;
        std::string url;
        int32_t want;
    };
    const std::string base = TempStore::FileBase();
    const std::vector<Case> cases = {
        {"unknown provider", "MSDASQL", base + "/alice", err::kAdoProviderNotFound},
        {"no URL", "exoledb.datasource", "", err::kAdoInvalidArgument},
        {"other host", "exoledb.datasource",
         "http://other.example.test/exadmin/example.test/mbx/alice", err::kBadUrl},
        // The URL parser's test has every URL it refuses; one reaches here.
        {"encoded dot-dot", "exoledb.datasource", base + "/alice/%2e%2e/Inbox", err::kBadUrl},
        {"unknown namespace", "exoledb.datasource", TempStore::FileBase("other.test") + "/alice",
         err::kNotFound},
        {"missing mailbox", "exoledb.datasource", base + "/nobody", err::kNotFound},
        {"missing folder", "exoledb.datasource", base + "/alice/Spam", err::kNotFound},
    };
    for (const auto& c : cases) {
        Connection cnn;
        cnn.SetProvider(c.provider);
        ExpectError([&] { cnn.Open(c.url, "", "", -1); }, c.want, c.name);
        EXPECT_EQ(cnn.State(), adStateClosed) << c.name;
        Record rec;
        if (c.provider == "exoledb.datasource" && !c.url.empty()) {
            ExpectError([&] { rec.Open(c.url, nullptr, adModeRead); }, c.want, c.name);
        }
    }
    // Nothing was created by any of the failed opens.
    EXPECT_FALSE(ItemStore::ForThisThread()->Lookup({"other.test"}));
    EXPECT_FALSE(ItemStore::ForThisThread()->Lookup({kNs, "MBX", "nobody"}));
}

// Without a source the connection string is opened; the directory provider
// opens without the store and has no transactions.
TEST_F(AdoStoreTest, ConnectionsOpenOnceAndCloseHarmlessly) {
    Connection cnn;
    cnn.SetProvider("EXOLEDB.DATASOURCE");
    cnn.SetConnectionString(TempStore::HttpBase() + "/SystemMailbox{1234}");
    cnn.Open("", "", "", -1);
    EXPECT_EQ(cnn.State(), adStateOpen);
    ExpectError([&] { cnn.Open(""); }, err::kAdoObjectOpen, "open twice");
    cnn.Close();
    cnn.Close();  // closing a closed connection is harmless
    EXPECT_EQ(cnn.State(), adStateClosed);
    ExpectError([&] { cnn.CommitTrans(); }, err::kAdoObjectClosed, "commit on a closed connection");

    Connection directory;
    directory.SetProvider("ADsDSOObject");
    directory.Open("Active Directory Provider");
    EXPECT_EQ(directory.State(), adStateOpen);
    ExpectError([&] { directory.BeginTrans(); }, err::kAdoFeatureNotAvailable,
                "directory transaction");
}

// Writes a hidden item through the connection, as the registration writer does.
void WriteItem(Connection& cnn, const std::string& url) {
    Record rec;
    rec.Open(url, &cnn, adModeReadWrite, adCreateOverwrite, adDelayFetchFields, "", "");
    rec.Fields().Append("Quellix_ExpirationPeriod", adSmallInt, 0, -1, Variant(int16_t{14}));
    rec.Fields("DAV:ishidden").SetValue(true);
    rec.Fields().Update();
}

TEST_F(AdoStoreTest, RecordModesAndCreateOptionsGuardWrites) {
    const std::string url = Put(Junk(), Utc(2026, 1, 1));
    Record read;
    read.Open(url, nullptr, adModeRead);
    ExpectError([&] { read.Fields("x").SetValue("y"); }, err::kPermissionDeniedDb,
                "write in read mode");
    ExpectError([&] { read.Fields().Append("x", adBSTR, 0, -1, Variant("y")); },
                err::kPermissionDeniedDb, "append");
    ExpectError([&] { read.DeleteRecord(url, false); }, err::kPermissionDeniedDb,
                "delete in read mode");
    Record unknown;
    unknown.Open(url, nullptr, adModeUnknown);
    ExpectError([&] { unknown.Fields("x").SetValue("y"); }, err::kPermissionDeniedDb,
                "write in unknown mode");

    Record rec;
    ExpectError(
        [&] { rec.Open(Junk() + "/No/Such.reg", nullptr, adModeReadWrite, adCreateOverwrite); },
        err::kNotFound, "create without parent");
    ExpectError([&] { rec.Open(Junk() + "/Older", nullptr, adModeReadWrite, adCreateOverwrite); },
                err::kResourceExists, "overwrite a folder");
    ExpectError([&] { rec.Open(Junk() + "/New.reg", nullptr, adModeRead, adCreateOverwrite); },
                err::kPermissionDeniedDb, "create in read mode");
    ExpectError([&] { rec.Open(Junk() + "/Missing.eml", nullptr, adModeReadWrite); },
                err::kNotFound, "fail if not exists");
    EXPECT_EQ(rec.State(), adStateClosed);

    rec.Open(Junk() + "/New.reg", nullptr, adModeReadWrite, adCreateOverwrite);
    ExpectError([&] { rec.Fields("DAV:href").SetValue("x"), rec.Fields().Update(); },
                err::kPermissionDeniedDb, "read-only intrinsic");
}

TEST_F(AdoStoreTest, DeleteRecordTakesAFolderWithEverythingBelow) {
    Put(Junk() + "/Older", Utc(2026, 1, 1));
    const std::string keep = Put(Junk(), Utc(2026, 1, 1));
    Record rec;
    rec.Open(Junk() + "/Older", nullptr, adModeReadWrite);
    rec.DeleteRecord(Junk() + "/Older", false);
    EXPECT_EQ(rec.State(), adStateClosed);  // its item went
    ExpectError([&] { rec.Open(Junk() + "/Older", nullptr, adModeRead); }, err::kNotFound,
                "deleted folder");
    Record still;
    still.Open(keep, nullptr, adModeRead);
    EXPECT_EQ(still.State(), adStateOpen);
    Record again;
    again.Open(Junk(), nullptr, adModeReadWrite);
    ExpectError([&] { again.DeleteRecord(Junk() + "/Older", false); }, err::kNotFound,
                "delete twice");
}

TEST_F(AdoStoreTest, DeletingRowsWhileIteratingDeletesTheItems) {
    for (int i = 0; i < 600; ++i)
        Put(Junk(), Utc(2026, 1, 1).AddDays(i / 100.0));  // more than one batch
    const std::string kept = Put(Junk(), Utc(2026, 12, 1));
    Connection cnn = OpenStore(Junk());
    Recordset rs;
    rs.Open(SweepQuery("deep", Junk(), "2026-06-01T00:00:00Z"), cnn, -1, -1, -1);
    ASSERT_EQ(rs.RecordCount(), 600);
    int deleted = 0;
    while (!rs.Eof()) {
        if (deleted == 0) {
            ExpectError([&] { (void)rs.Fields("DAV:comment"); }, err::kAdoItemNotFound,
                        "column not selected");
            ExpectError([&] { rs.Fields("DAV:href").SetValue(1); }, err::kAdoFeatureNotAvailable,
                        "write a row");
            // A column is found by its name in any case.
            const Variant href = rs.Fields("DAV:href").Value();
            EXPECT_EQ(href.ToString().rfind(TempStore::FileBase() + "/", 0), 0U) << href.ToString();
            EXPECT_EQ(rs.Fields("dav:HREF").Value().ToString(), href.ToString());
        }
        rs.Delete(adAffectCurrent);
        ExpectError([&] { rs.Delete(adAffectCurrent); }, err::kAdoNoCurrentRecord,
                    "delete a row twice");
        EXPECT_EQ(rs.RecordCount(), 600);
        ++deleted;
        rs.MoveNext();
    }
    ExpectError([&] { rs.MoveNext(); }, err::kAdoNoCurrentRecord, "past EOF");
    ExpectError([&] { (void)rs.Fields("DAV:href"); }, err::kAdoNoCurrentRecord, "field at EOF");
    rs.Close();
    EXPECT_EQ(deleted, 600);

    Recordset all;
    all.Open("SELECT \"DAV:href\" FROM scope('shallow traversal of \"" + Junk() +
                 "\"') WHERE \"DAV:isfolder\" = false",
             cnn);
    ASSERT_EQ(all.RecordCount(), 1);
    EXPECT_EQ(all.Fields("DAV:href").Value().ToString(), kept);
}

// An uncommitted transaction is rolled back when its connection closes or
// goes; a copy saved and its source's row deleted in one transaction go back
// together.
TEST_F(AdoStoreTest, TransactionsNotCommittedLeaveNothing) {
    const std::string url = Junk() + "/Quellix.reg";
    {
        Connection cnn = OpenStore(Junk());
        cnn.BeginTrans();
        WriteItem(cnn, url);
        ExpectError([&] { cnn.BeginTrans(); }, err::kAdoFeatureNotAvailable, "nested transaction");
    }  // destroyed without CommitTrans
    Record rec;
    ExpectError([&] { rec.Open(url, nullptr, adModeRead); }, err::kNotFound, "rolled back");

    // Another connection of this thread keeps the store handle the two
    // share: closing the first must end its transaction itself.
    Connection cnn = OpenStore(Junk());
    Connection other = OpenStore(Junk());
    cnn.BeginTrans();
    WriteItem(cnn, url);
    cnn.Close();
    ExpectError([&] { rec.Open(url, nullptr, adModeRead); }, err::kNotFound, "closed");
    other.Close();

    const std::string source = Put(Junk(), Utc(2026, 1, 1));
    cnn = OpenStore(Junk());
    Recordset rs;
    rs.Open(SweepQuery("shallow", Junk(), "2026-02-01T00:00:00Z"), cnn);
    ASSERT_EQ(rs.RecordCount(), 1);
    cnn.BeginTrans();
    const std::string copy =
        localplatform::SaveNewMessage(TempStore::FileBase() + "/alice/Inbox", "x", Utc(2026, 1, 1));
    rs.Delete(adAffectCurrent);
    cnn.RollbackTrans();
    rs.Close();
    ExpectError([&] { rec.Open(copy, nullptr, adModeRead); }, err::kNotFound,
                "copy after rollback");
    rec.Open(source, nullptr, adModeRead);
    EXPECT_EQ(rec.State(), adStateOpen);
}

TEST_F(AdoStoreTest, MoveRecordMovesAMessageWholeOrNotAtAll) {
    const std::string text = "Subject: move me\r\n\r\n\x01\xff binary\r\n";
    const std::string source = Put(Junk(), Utc(2026, 1, 2, 3, 4, 5), text);
    const std::string inboxHttp = TempStore::HttpBase() + "/alice/Inbox";
    Record rec;
    const std::string moved = rec.MoveRecord(source, inboxHttp);
    EXPECT_TRUE(moved.starts_with(inboxHttp + "/")) << moved;
    Record check;
    check.Open(moved, nullptr, adModeRead);
    EXPECT_EQ(check.Fields(adDefaultStream).GetStream().Bytes(), text);
    EXPECT_EQ(check.Fields("urn:schemas:httpmail:datereceived").Value().ToDate(),
              Utc(2026, 1, 2, 3, 4, 5));
    check.Close();
    struct Case {
        std::string source, destination;
        int32_t number;
        const char* what;
    } cases[] = {
        {source, inboxHttp, err::kNotFound, "the source is gone"},
        {Junk() + "/Older", inboxHttp, err::kPermissionDeniedDb, "a folder"},
        {moved, moved, err::kNotFound, "a destination that is no folder"},
        {moved, TempStore::FileBase() + "/alice/Nope", err::kNotFound, "no such folder"},
        {moved, "", err::kBadUrl, "no destination"},
    };
    for (const auto& c : cases) {
        ExpectError([&] { (void)rec.MoveRecord(c.source, c.destination); }, c.number, c.what);
    }
    // Nothing moved by a failed move: the message is where the first move put it.
    check.Open(moved, nullptr, adModeRead);
    EXPECT_EQ(check.State(), adStateOpen);
}

TEST_F(AdoStoreTest, MalformedQueriesFailWithErrorsInCommand) {
    Connection cnn = OpenStore(Junk());
    const std::string scope = "scope('shallow traversal of \"" + Junk() + "\"')";
    // The parser's own test has the shapes it refuses; here, how a refusal,
    // a scope that is no folder and one of another server reach a caller.
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"", err::kErrorsInCommand},
        {"select \"DAV:href\" from " + scope + " where (\"DAV:ishidden\" = false",
         err::kErrorsInCommand},
        {"select \"DAV:href\" from scope('shallow traversal of \"" + Junk() + "/Nope\"')",
         err::kTableNotFound},
        {"select \"DAV:href\" from scope('shallow traversal of "
         "\"http://elsewhere/exadmin/x/mbx/y\"')",
         err::kBadUrl},
    };
    for (const auto& c : cases) {
        Recordset rs;
        ExpectError([&] { rs.Open(c.first, cnn); }, c.second, c.first);
        EXPECT_EQ(rs.State(), adStateClosed);
    }
}

TEST_F(AdoStoreTest, LockedStoreWaitsThenFails) {
    // Another thread has its own handle on the store: a second writer.
    std::promise<void> locked, release;
    std::thread holder([&] {
        auto other = ItemStore::ForThisThread();
        other->BeginTransaction();
        locked.set_value();
        release.get_future().wait();
        other->RollbackTransaction();
    });
    locked.get_future().wait();
    Record rec;
    ExpectError([&] { rec.Open(Junk() + "/New.reg", nullptr, adModeReadWrite, adCreateOverwrite); },
                err::kResourceLocked, "create while locked");
    ExpectError([&] { (void)localplatform::SaveNewMessage(Junk(), "x", Utc(2026, 1, 1)); },
                err::kResourceLocked, "save while locked");
    // Readers are not blocked by a writer.
    Connection cnn = OpenStore(Junk());
    Recordset rs;
    rs.Open(SweepQuery("deep", Junk(), "2026-01-01T00:00:00Z"), cnn);
    EXPECT_EQ(rs.RecordCount(), 0);
    release.set_value();
    holder.join();
    rec.Open(Junk() + "/New.reg", nullptr, adModeReadWrite, adCreateOverwrite);
    EXPECT_EQ(rec.State(), adStateOpen);
}

TEST(AdoStoreFileTest, CorruptFileIsAnErrorNotACrash) {
    TempStore temp;
    std::ofstream(temp.DbPath(), std::ios::binary) << std::string(8192, '\x5a');
    ExpectError([] { (void)OpenStore(TempStore::FileBase() + "/alice"); }, err::kCorrupt,
                "a corrupt store");
}

// A process that dies while its batched deletes are not yet committed leaves
// every message in place and the store sound.
TEST(AdoStoreCrashTest, CrashDuringBatchedDeletesLeavesTheMessages) {
    TempStore temp(300, "store.batch_ms = 600000\n");
    const std::string folder = TempStore::FileBase() + "/alice/Inbox";
    MakeAlice(folder, 50);
    const std::string query = SweepQuery("shallow", folder, "2026-02-01T00:00:00Z");
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            Connection cnn = OpenStore(folder);
            Recordset rs;
            rs.Open(query, cnn);
            for (; !rs.Eof(); rs.MoveNext()) rs.Delete(adAffectCurrent);
            _exit(rs.RecordCount() == 50 ? 0 : 2);  // dies with the deletes uncommitted
        } catch (...) {
            _exit(1);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    Connection cnn = OpenStore(folder);
    Recordset rs;
    rs.Open(query, cnn);
    EXPECT_EQ(rs.RecordCount(), 50);
    for (; !rs.Eof(); rs.MoveNext()) rs.Delete(adAffectCurrent);
    rs.Close();
    Recordset after;
    after.Open(query, cnn);
    EXPECT_EQ(after.RecordCount(), 0);
}

// Several processes saving, reading and deleting at once: each waits its
// turn, nothing is lost, nothing is corrupted.
TEST(AdoStoreConcurrencyTest, ProcessesShareTheStoreWithoutLosingItems) {
    TempStore temp(20000);
    const std::string inbox = TempStore::FileBase() + "/alice/Inbox";
    const std::string junk = TempStore::FileBase() + "/alice/Junk";
    MakeAlice(junk, 100);
    constexpr int kWriters = 3;
    constexpr int kPerWriter = 100;
    std::fflush(nullptr);
    std::vector<pid_t> children;
    for (int w = 0; w <= kWriters; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid != 0) {
            children.push_back(pid);
            continue;
        }
        try {
            if (w == kWriters) {
                // The sweeper: deletes the old messages row by row.
                Connection cnn = OpenStore(junk);
                Recordset rs;
                rs.Open(SweepQuery("shallow", junk, "2026-02-01T00:00:00Z"), cnn);
                for (; !rs.Eof(); rs.MoveNext()) rs.Delete(adAffectCurrent);
                rs.Close();
                _exit(0);
            }
            for (int i = 0; i < kPerWriter; ++i) {
                // Each message moved in its own transaction, as the sink may.
                Connection cnn = OpenStore(inbox);
                cnn.BeginTrans();
                (void)localplatform::SaveNewMessage(inbox, "new " + std::to_string(w),
                                                    Utc(2026, 6, 1));
                cnn.CommitTrans();
            }
            _exit(0);
        } catch (const Error& e) {
            std::fprintf(stderr, "child %d: %s\n", w, e.Description().c_str());
            _exit(1);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Connection cnn = OpenStore(inbox);
    Recordset saved;
    saved.Open("select \"DAV:href\" from scope('shallow traversal of \"" + inbox +
                   "\"') where \"DAV:isfolder\" = false",
               cnn);
    EXPECT_EQ(saved.RecordCount(), kWriters * kPerWriter);
    Recordset left;
    left.Open("select \"DAV:href\" from \"" + junk + "\"", cnn);
    EXPECT_EQ(left.RecordCount(), 0);
}

}  // namespace
}  // namespace platform
