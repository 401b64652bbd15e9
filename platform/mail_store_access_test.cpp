// The ADO-shaped access layer over a namespace mapped to a real Dovecot's
// Maildirs: the sweep's query and deletes, the folder URL properties, and
// what Dovecot reads back afterwards, in both layouts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/message_spool.h"
#include "localplatform/store/store_test_support.h"
#include "localplatform/store/testing/dovecot_server.h"
#include "platform/ado.h"
#include "platform/move_manifest.h"

namespace platform {
namespace {

using localplatform::ItemStore;
using localplatform::testing::DovecotServer;
using localplatform::testing::TempStore;

constexpr const char* kMailbox = "file://./backofficestorage/example/MBX/jdoe";
constexpr const char* kJunk = "file://./backofficestorage/example/MBX/jdoe/Junk E-mail";
constexpr const char* kAnn = "file://./backofficestorage/example/MBX/ann";

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: test\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

// The sink's query for one folder, as the sweep builds it.
std::string SweepQuery(const std::string& traversal, const std::string& folderUrl,
                       const std::string& iso) {
    return "select \"DAV:href\", \"DAV:displayname\", \"DAV:getcontentlength\" from scope ('" +
           traversal + " traversal of \"" + folderUrl +
           "\"') WHERE \"DAV:ishidden\" = false AND \"DAV:iscollection\" = false AND "
           "(\"urn:schemas:httpmail:datereceived\" <= CAST(\"" +
           iso + "\" as 'dateTime'))";
}

// The instant days ago, as the sweep writes its cutoff.
std::string IsoDaysAgo(int days) {
    std::array<char, 32> iso{};
    const time_t at = std::time(nullptr) - time_t{days} * 86400;
    std::strftime(iso.data(), iso.size(), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&at));
    return iso.data();
}

Connection OpenStore(const std::string& url) {
    Connection cnn;
    cnn.SetProvider("ExOLEDB.DataSource");
    cnn.Open(url, "", "", -1);
    return cnn;
}

void Sql(const std::string& db, const std::string& statements) {
    const auto done = testing::RunProgram({"/usr/bin/sqlite3", db, statements});
    ASSERT_EQ(done.code, 0) << done.err;
}

class MailStoreAccessTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        Start();
    }
    // A fresh Dovecot and store, the namespace "example" mapped to its
    // Maildirs (and, with imap, "byimap" to the same Dovecot over IMAP).
    void Start(bool imap = false) {
        temp_.reset();
        server_.reset();
        DovecotServer::Options options;
        options.fsLayout = GetParam();
        server_ = std::make_unique<DovecotServer>(options);
        std::string config = server_->MaildirConfigLines("example");
        if (imap) {
            const std::string password = server_->Folder() + "/imap-password";
            std::ofstream(password) << options.masterPassword << "\n";
            ::chmod(password.c_str(), 0600);
            config += "mailstore.byimap = " + server_->ImapUrl() +
                      "\nmailstore.byimap.login = %n@example\nmailstore.byimap.auth = master\n"
                      "mailstore.byimap.admin = " +
                      options.masterUser + "\nmailstore.byimap.password_file = " + password +
                      "\nmailstore.byimap.starttls = no\n";
        }
        temp_ = std::make_unique<TempStore>(300, config);
        auto store = ItemStore::ForThisThread();
        if (imap) store->CreateNamespace("byimap");
        store->CreateNamespace("example");
        store->CreateMailbox("example", "SystemMailbox{1234}", true);
    }
    // The href of the one message the sweep selects in folderUrl.
    static std::string OnlyExpired(const std::string& folderUrl) {
        Connection cnn = OpenStore(folderUrl);
        Recordset rs;
        rs.Open(SweepQuery("shallow", folderUrl, IsoDaysAgo(10)), cnn);
        EXPECT_EQ(rs.RecordCount(), 1);
        return rs.Eof() ? "" : rs.Fields("DAV:href").Value().ToString();
    }
    // jdoe's Junk E-mail folder of files, in this layout.
    std::string JunkDir() const {
        return server_->MaildirOf("jdoe@example") +
               (GetParam() ? "/Junk E-mail/cur/" : "/.Junk E-mail/cur/");
    }
    // The state a kill leaves before the batch with the destination's key.
    void ForgetDestinationKey() const {
        Sql(temp_->DbPath(), "UPDATE moves SET destination_key = NULL, destination_name = ''");
    }
    // The run's one entry: moved from sourceUrl to moved with its received
    // time. Undo puts it back once; returns where.
    std::string PutBackOnce(int64_t run, const std::string& sourceUrl, const std::string& moved) {
        const auto entries = MovedMessagesOfRun(run);
        EXPECT_EQ(entries.size(), 1U);
        if (entries.size() != 1) return "";
        EXPECT_EQ(entries[0].state, MovedMessage::State::kInDestination);
        EXPECT_EQ(entries[0].sourceUrl, sourceUrl);
        EXPECT_EQ(entries[0].destinationUrl, moved);
        EXPECT_EQ(entries[0].received ? entries[0].received->UnixSeconds() : 0, old_);
        const auto back = PutBackMovedMessage(entries[0]);
        EXPECT_EQ(back.outcome, PutBackResult::Outcome::kPutBack);
        EXPECT_EQ(PutBackMovedMessage(MovedMessagesOfRun(run)[0]).outcome,
                  PutBackResult::Outcome::kAlreadyPutBack);
        return back.url;
    }
    // The Message-IDs Dovecot lists in folder of jdoe, sorted.
    std::vector<std::string> Left(const std::string& folder) {
        std::vector<std::string> ids;
        for (const auto& m : server_->Messages("jdoe@example", folder)) ids.push_back(m.messageId);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::unique_ptr<DovecotServer> server_;
    std::unique_ptr<TempStore> temp_;
    const int64_t old_ = std::time(nullptr) - int64_t{40} * 86400;
    const int64_t recent_ = std::time(nullptr) - int64_t{2} * 86400;
};

TEST_P(MailStoreAccessTest, TheSweepDeletesWhatItSelectsAndNothingElse) {
    const struct {
        const char* traversal;
        const char* folder;  // below the mailbox
        std::vector<std::string> leftInJunk, leftInArchive, leftInInbox;
    } cases[] = {
        {"shallow",
         "/Junk E-mail",
         {"<new@junk>", "<trashed-new@junk>", "<while@junk>"},
         {"<old@archive>"},
         {"<old@inbox>"}},
        {"deep", "", {"<new@junk>", "<trashed-new@junk>", "<while@junk>"}, {}, {}},
    };
    // A "." in a folder name is kept by LAYOUT=fs only.
    const std::string junk = "Junk E-mail";
    const std::string archive = GetParam() ? "Größe & Co/2024.1" : "Größe & Co/2024";
    for (const auto& c : cases) {
        Start();
        server_->Append("jdoe@example", "", Mail("old@inbox"), old_);
        server_->Append("jdoe@example", junk, Mail("old@junk"), old_, "\\Seen");
        server_->Append("jdoe@example", junk, Mail("trashed-old@junk"), old_, "\\Deleted");
        server_->Append("jdoe@example", junk, Mail("new@junk"), recent_);
        server_->Append("jdoe@example", junk, Mail("trashed-new@junk"), recent_, "\\Deleted");
        server_->Append("jdoe@example", archive, Mail("old@archive"), old_);

        Connection cnn = OpenStore(kMailbox);
        Recordset rs;
        rs.Open(SweepQuery(c.traversal, std::string(kMailbox) + c.folder, IsoDaysAgo(10)), cnn);
        // Delivered while the sweep runs: not among the rows, never deleted.
        server_->Deliver("jdoe@example", junk, Mail("while@junk"));
        for (; !rs.Eof(); rs.MoveNext()) {
            const std::string href = rs.Fields("DAV:href").Value().ToString();
            EXPECT_EQ(href.rfind(std::string(kMailbox) + "/", 0), 0U) << href;
            EXPECT_GT(rs.Fields("DAV:getcontentlength").Value().ToInt32(), 0) << href;
            rs.Delete(adAffectCurrent);
        }
        rs.Close();
        EXPECT_EQ(Left(junk), c.leftInJunk) << c.traversal;
        EXPECT_EQ(Left(archive), c.leftInArchive) << c.traversal;
        EXPECT_EQ(Left(""), c.leftInInbox) << c.traversal;
    }
}

TEST_P(MailStoreAccessTest, FolderPropertiesNameTheMailServersFoldersOnce) {
    server_->CreateFolder("jdoe@example", "Sent");
    server_->CreateFolder("jdoe@example", "Trash");
    Record rec;
    rec.Open(std::string(kMailbox), nullptr, adModeRead);
    const auto value = [&](const char* name) { return rec.Fields(name).Value(); };
    EXPECT_EQ(value("urn:schemas:httpmail:inbox").ToString(), kMailbox);
    EXPECT_EQ(value("urn:schemas:httpmail:sentitems").ToString(), std::string(kMailbox) + "/Sent");
    EXPECT_EQ(value("urn:schemas:httpmail:deleteditems").ToString(),
              std::string(kMailbox) + "/Trash");
    EXPECT_TRUE(value("urn:schemas:httpmail:drafts").IsNull());
    EXPECT_EQ(value("DAV:ishidden").ToBool(), false);
    rec.Close();
    // The Inbox by its usual name is the mailbox root; a folder in any case.
    rec.Open(std::string(kMailbox) + "/INBOX", nullptr, adModeRead);
    EXPECT_EQ(rec.Fields("DAV:href").Value().ToString(), kMailbox);
    rec.Close();
    rec.Open(std::string(kMailbox) + "/sent", nullptr, adModeRead);
    EXPECT_EQ(rec.Fields("DAV:isfolder").Value().ToBool(), true);
    rec.Close();

    // A mailbox the mail server has is its own; one it has not (an archive)
    // may be the store's, beside the server's.
    EXPECT_EQ(localplatform::testing::ErrorOf(
                  [] { ItemStore::ForThisThread()->CreateMailbox("example", "JDOE", false); }),
              err::kResourceExists);
    (void)ItemStore::ForThisThread()->CreateMailbox("example", "vault", false);
    rec.Open("file://./backofficestorage/example/MBX/vault/Inbox", nullptr, adModeRead);
    EXPECT_EQ(rec.Fields("DAV:isfolder").Value().ToBool(), true);
    rec.Close();
    rec.Open(kMailbox, nullptr, adModeRead);  // the server's, beside it
    EXPECT_EQ(rec.Fields("DAV:isfolder").Value().ToBool(), true);
    rec.Close();

    // Two folders that one URL would name are an error.
    server_->CreateFolder("jdoe@example", "Junk");
    server_->CreateFolder("jdoe@example", "junk");
    Connection cnn = OpenStore(kMailbox);
    Recordset rs;
    try {
        rs.Open(SweepQuery("deep", kMailbox, "2026-01-01T00:00:00Z"), cnn);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("'Junk' and 'junk'"), std::string::npos) << e.Description();
    }
}

// The item store's own mailbox "keep" in namespace "local", beside the
// mapped namespace: its URL and its folder's ids.
struct LocalMailbox {
    std::string url = "file://./backofficestorage/local/MBX/keep";
    int64_t inbox = 0;
    int64_t junk = 0;
};
LocalMailbox MakeLocalMailbox() {
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("local");
    LocalMailbox m;
    const int64_t mailbox = store->CreateMailbox("local", "keep", false);
    m.inbox = store->Lookup({"local", "MBX", "keep", "Inbox"})->id;
    m.junk = store->CreateFolder(mailbox, "Junk");
    return m;
}

// A move between the Maildirs' mailboxes, or between two stores (the item
// store's own mailbox, the Maildirs of namespace "example", the same
// Dovecot over IMAP as "byimap": two backends; a copy, then a removal): the
// message is read back where it went (by the store, by Dovecot) with its
// received time, and its flags between mail stores; undo puts it back with
// them into the folder as the mail server spells it, under its old name
// where the store names its messages. (Over IMAP it comes back under a new
// UID; into the Maildir from IMAP under a new name too, as the bytes came
// with CRLF line ends and Dovecot's name said the size of its file, ",S=".)
TEST_P(MailStoreAccessTest, AMoveIsReadBackWhereItWentAndPutBackByUndo) {
    enum End { kStore, kMaildir, kImap };
    const struct {
        End from, to;
        const char* name;
    } cases[] = {
        {kMaildir, kStore, "a Maildir's Junk into the store"},
        {kStore, kMaildir, "the store's Junk into a Maildir"},
        {kMaildir, kImap, "Maildir to IMAP"},
        {kImap, kMaildir, "IMAP to Maildir"},
        {kMaildir, kMaildir, "within the Maildirs, the folder named in any case"},
    };
    // Larger than a few of the pieces a copy goes in, each line its own.
    std::string big = Mail("moved@junk");
    for (int i = 0; i < 40000; ++i) big += "line " + std::to_string(i) + " of the body\r\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(true);
        const LocalMailbox local = MakeLocalMailbox();
        auto store = ItemStore::ForThisThread();
        server_->Append("jdoe@example", "Junk E-mail", Mail("stays@junk"), recent_);
        server_->CreateFolder("ann@example", "Archive");  // ann's Maildir is there
        const auto mapped = [](End e, const std::string& below) {
            return std::string("file://./backofficestorage/") +
                   (e == kImap ? "byimap" : "example") + "/MBX/" + below;
        };
        std::string source;
        if (c.from == kStore) {
            const auto row = store->Get(store->SaveMessage(local.junk, big, old_));
            source = local.url + "/Junk/" + row->name;
        } else {
            server_->Append("jdoe@example", "Junk E-mail", big, old_, "\\Seen \\Flagged");
            source = OnlyExpired(
                mapped(c.from, c.to == c.from ? "jdoe/junk e-mail" : "jdoe/Junk E-mail"));
        }
        const std::string destination = c.to == kStore ? local.url + "/Inbox" : mapped(c.to, "ann");
        // What an end holds, as "Message-ID received size" (and the flags
        // Dovecot lists), sorted. The size is the bytes as stored: over IMAP
        // they come with CRLF line ends where Dovecot's files keep LF, so
        // it is compared where no end is IMAP.
        const bool sized = c.from != kImap && c.to != kImap;
        const auto held = [&](End e, bool atSource) {
            std::vector<std::string> all;
            if (e == kStore) {
                for (const auto& i : store->ItemsIn(atSource ? local.junk : local.inbox)) {
                    const std::string bytes = store->Content(i.id);
                    EXPECT_EQ(i.size, static_cast<int64_t>(bytes.size()));
                    const size_t at = bytes.find("Message-ID: ") + 12;
                    all.push_back(bytes.substr(at, bytes.find_first_of("\r\n", at) - at) + " " +
                                  std::to_string(i.received.value_or(0)) +
                                  (sized ? " " + std::to_string(bytes.size()) : ""));
                }
            } else {
                for (const auto& m : server_->Messages(atSource ? "jdoe@example" : "ann@example",
                                                       atSource ? "Junk E-mail" : "")) {
                    all.push_back(m.messageId + " " + std::to_string(m.received) +
                                  (sized ? " " + std::to_string(m.size) : "") + " " + m.flags);
                }
            }
            std::sort(all.begin(), all.end());
            return all;
        };
        const std::vector<std::string> before = held(c.from, true);
        const int64_t run = BeginStoreRun(local.url + "/x.reg", true, 0);
        const std::string moved = MoveRecordForRun(source, destination, run);
        EXPECT_EQ(moved.rfind(destination + "/", 0), 0U) << moved;
        std::vector<std::string> left = before;
        const auto it = std::find_if(left.begin(), left.end(),
                                     [](const auto& m) { return m.starts_with("<moved@junk> "); });
        ASSERT_NE(it, left.end());
        // Between two mail stores the message arrives as it was; from the
        // store without flags, into it without them.
        std::string idDateSize = *it;  // its flags left out
        const size_t cut = [&] {
            size_t at = idDateSize.find(' ');
            for (int n = sized ? 2 : 1; n > 0 && at != std::string::npos; --n)
                at = idDateSize.find(' ', at + 1);
            return at;
        }();
        if (cut != std::string::npos) idDateSize.resize(cut);
        const std::string arrived = c.to == kStore     ? idDateSize
                                    : c.from == kStore ? *it + " "
                                                       : *it;
        left.erase(it);
        EXPECT_EQ(held(c.from, true), left);
        EXPECT_EQ(held(c.to, false), std::vector<std::string>{arrived});
        if (c.to == kStore) {
            const auto items = store->ItemsIn(local.inbox);
            EXPECT_EQ(moved, destination + "/" + items.at(0).name);
            EXPECT_EQ(items[0].contentClass, "urn:content-class:message");
            EXPECT_TRUE(localplatform::SameMessage(store->Content(items[0].id), big))
                << "the bytes arrived changed";
        } else if (c.from == kStore) {
            EXPECT_EQ(server_->Messages("ann@example", "").at(0).size,
                      static_cast<int64_t>(big.size()));
        } else if (c.from != c.to) {
            // Over IMAP every piece arrived: fetched, the message comes with
            // CRLF; appended, Dovecot keeps it with LF.
            const auto crlf = static_cast<int64_t>(big.size());
            const int64_t lf = crlf - std::count(big.begin(), big.end(), '\r');
            EXPECT_EQ(server_->Messages("ann@example", "").at(0).size, c.to == kImap ? lf : crlf);
        }

        const std::string spelled = c.from == kStore ? source
                                                     : mapped(c.from, "jdoe/Junk E-mail") +
                                                           source.substr(source.rfind('/'));
        const std::string back = PutBackOnce(run, spelled, moved);
        if (c.from == kImap || c.to == kImap) {
            EXPECT_EQ(back.rfind(source.substr(0, source.rfind('/') + 1), 0), 0U) << back;
        } else {
            EXPECT_EQ(back, source);  // under its old name
        }
        EXPECT_TRUE(held(c.to, false).empty());
        EXPECT_EQ(held(c.from, true), before);
    }
}

// A copy that fails leaves the source as it was and no manifest entry; the
// error names the source, the destination and the mail store (never a
// password).
TEST_P(MailStoreAccessTest, AMoveBetweenStoresWhoseCopyFailsLeavesTheSource) {
    const LocalMailbox local = MakeLocalMailbox();
    auto store = ItemStore::ForThisThread();
    const auto item = store->Get(store->SaveMessage(local.junk, Mail("kept@junk"), old_));
    server_->CreateFolder("ann@example", "Archive");
    // ann's tmp/ is a file: no message can be written there.
    const std::string tmp = server_->MaildirOf("ann@example") + "/tmp";
    std::filesystem::remove_all(tmp);
    std::ofstream(tmp) << "not a folder";
    const int64_t run = BeginStoreRun(local.url + "/x.reg", true, 0);
    try {
        (void)MoveRecordForRun(local.url + "/Junk/" + item->name, kAnn, run);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        const std::string& d = e.Description();
        EXPECT_NE(d.find("local/MBX/keep/Junk/" + item->name), std::string::npos) << d;
        EXPECT_NE(d.find("example/MBX/ann (maildir:"), std::string::npos) << d;
        EXPECT_NE(d.find("item store " + temp_->DbPath()), std::string::npos) << d;
    }
    EXPECT_TRUE(MovedMessagesOfRun(run).empty());
    const auto items = store->ItemsIn(local.junk);
    ASSERT_EQ(items.size(), 1U);
    EXPECT_EQ(items[0].name, item->name);
    EXPECT_EQ(store->Content(items[0].id), Mail("kept@junk"));
}

// A move between two stores killed between its steps leaves states that are
// made here as the kill would leave them: the entry committed without a
// copy, a copy made whose key was not recorded yet (a Maildir's is the key
// planned), a copy recorded whose source was not removed yet. Undo keeps
// the source; the registration's next run keeps the copy where one was made
// (else the source, and forgets the entry). Exactly one of them is left.
// (That it keeps its date and flags is the run's kill tests' check.)
TEST_P(MailStoreAccessTest, AMoveBetweenStoresCutShortKeepsExactlyOneCopy) {
    // Where a kill stopped the move, or the undo that put it back.
    enum Point { kBeforeCopy, kCopyUnrecorded, kSourceNotRemoved, kPutBackPlanned, kPutBackCopied };
    const char* const pointNames[] = {"before the copy", "before the copy's key was recorded",
                                      "before the source was removed",
                                      "in a put back, before its copy",
                                      "in a put back, before the destination's copy was removed"};
    const std::string item = "file://./backofficestorage/local/MBX/keep/x.reg";
    for (const bool intoStore : {true, false}) {
        for (const Point point :
             {kBeforeCopy, kCopyUnrecorded, kSourceNotRemoved, kPutBackPlanned, kPutBackCopied}) {
            for (const bool undo : {true, false}) {
                SCOPED_TRACE(std::string(intoStore ? "into the store, " : "out of the store, ") +
                             pointNames[point] + (undo ? ", undo" : ", next run"));
                Start();
                const LocalMailbox local = MakeLocalMailbox();
                auto store = ItemStore::ForThisThread();
                const std::string junkDir = JunkDir();
                const std::string annCur = server_->MaildirOf("ann@example") + "/cur/";
                server_->CreateFolder("ann@example", "Archive");
                std::string source;
                std::string destination;
                const std::string saved = temp_->Dir() + "/saved";
                ASSERT_TRUE(std::filesystem::create_directory(saved));
                // The files of dir, as they are, into saved (and back).
                const auto keep = [&](const std::string& dir) {
                    for (const auto& f : std::filesystem::directory_iterator(dir))
                        ASSERT_EQ(testing::RunProgram({"/bin/cp", "-p", f.path(), saved}).code, 0);
                };
                const auto bring = [&](const std::string& dir) {
                    for (const auto& f : std::filesystem::directory_iterator(saved))
                        ASSERT_EQ(testing::RunProgram({"/bin/cp", "-p", f.path(), dir}).code, 0);
                };
                // The item store's rows of the items the query names, as they
                // are, into tables of their own (and back).
                const auto keepRows = [&](const std::string& ids) {
                    Sql(temp_->DbPath(), "CREATE TABLE saved AS SELECT * FROM items WHERE id IN (" +
                                             ids +
                                             "); CREATE TABLE saved_bytes AS SELECT * FROM "
                                             "contents WHERE item IN (" +
                                             ids + ")");
                };
                const std::string bringRows =
                    "INSERT INTO items SELECT * FROM saved;"
                    "INSERT INTO contents SELECT * FROM saved_bytes;";
                if (intoStore) {
                    server_->Append("jdoe@example", "Junk E-mail", Mail("moved@junk"), old_,
                                    "\\Seen");
                    source = OnlyExpired(kJunk);
                    destination = local.url + "/Inbox";
                    if (point < kPutBackPlanned) keep(junkDir);
                } else {
                    const auto row =
                        store->Get(store->SaveMessage(local.junk, Mail("moved@junk"), old_));
                    source = local.url + "/Junk/" + row->name;
                    destination = kAnn;
                    if (point < kPutBackPlanned) keepRows(std::to_string(row->id));
                }
                const int64_t run = BeginStoreRun(item, true, 0);
                (void)MoveRecordForRun(source, destination, run);
                store->FlushBatch();
                // The state the kill left.
                std::string sql;
                if (point < kPutBackPlanned) {
                    sql = "UPDATE moves SET under_way = 1;";
                    if (point != kSourceNotRemoved)
                        sql += "UPDATE moves SET destination_key = NULL, destination_name = '';";
                    if (intoStore) {
                        bring(junkDir);
                        if (point == kBeforeCopy)
                            sql += "DELETE FROM items WHERE id = (SELECT item FROM moves);";
                    } else {
                        sql += bringRows;
                        if (point == kBeforeCopy) {
                            for (const auto& f : std::filesystem::directory_iterator(annCur))
                                std::filesystem::remove(f.path());
                        }
                    }
                } else if (point == kPutBackPlanned) {
                    sql =
                        "UPDATE moves SET under_way = 2,"
                        " restore_key = coalesce(source_key, source_name);";
                } else {
                    // Put back whole, then the destination's copy made again.
                    if (intoStore) {
                        keepRows("SELECT item FROM moves");
                    } else {
                        keep(annCur);
                    }
                    ASSERT_EQ(PutBackMovedMessage(MovedMessagesOfRun(run)[0]).outcome,
                              PutBackResult::Outcome::kPutBack);
                    if (intoStore) {
                        sql = bringRows;
                    } else {
                        bring(annCur);
                    }
                    sql += "UPDATE moves SET under_way = 2, restored_at = NULL;";
                }
                Sql(temp_->DbPath(), sql);
                // Where the message is: (in the source, in the destination).
                const auto where = [&] {
                    const size_t inMaildir = intoStore
                                                 ? Left("Junk E-mail").size()
                                                 : server_->Messages("ann@example", "").size();
                    const size_t inStore =
                        store->ItemsIn(intoStore ? local.inbox : local.junk).size();
                    return intoStore ? std::pair{inMaildir, inStore}
                                     : std::pair{inStore, inMaildir};
                };
                using Where = std::pair<size_t, size_t>;
                const Where start[] = {{1, 0}, {1, 1}, {1, 1}, {0, 1}, {1, 1}};
                ASSERT_EQ(where(), start[point]);
                auto entries = MovedMessagesOfRun(run);
                ASSERT_EQ(entries.size(), 1U);
                EXPECT_EQ(entries[0].state, point == kBeforeCopy
                                                ? MovedMessage::State::kPutBack
                                                : MovedMessage::State::kInDestination);
                if (undo) {
                    EXPECT_EQ(PutBackMovedMessage(entries[0]).outcome,
                              point == kBeforeCopy ? PutBackResult::Outcome::kAlreadyPutBack
                                                   : PutBackResult::Outcome::kPutBack);
                    EXPECT_EQ(where(), (Where{1, 0}));
                    EXPECT_EQ(MovedMessagesOfRun(run)[0].state, MovedMessage::State::kPutBack);
                    continue;
                }
                EXPECT_EQ(SettleInterruptedMoves(item), 1);
                EXPECT_EQ(SettleInterruptedMoves(item), 0);
                entries = MovedMessagesOfRun(run);
                if (point == kBeforeCopy) {
                    EXPECT_EQ(where(), (Where{1, 0}));
                    EXPECT_TRUE(entries.empty());  // a move that did not happen
                    continue;
                }
                ASSERT_EQ(entries.size(), 1U);
                if (point == kPutBackCopied) {
                    // The put back is finished: the destination's copy went.
                    EXPECT_EQ(where(), (Where{1, 0}));
                    EXPECT_EQ(entries[0].state, MovedMessage::State::kPutBack);
                    continue;
                }
                EXPECT_EQ(where(), (Where{0, 1}));
                EXPECT_EQ(entries[0].state, MovedMessage::State::kInDestination);
                // And undo of the run puts it back.
                EXPECT_EQ(PutBackMovedMessage(entries[0]).outcome,
                          PutBackResult::Outcome::kPutBack);
                EXPECT_EQ(where(), (Where{1, 0}));
            }
        }
    }
}

// A crash between the steps of a move leaves states a run cannot be asked
// to stop in; they are made here as the crash would leave them: the entry
// without the destination's key (the crash came after the rename, before the
// batch that records it), or the message in both folders (a move between
// file systems, after the copy). Undo puts the message back; but a move that
// had to give it a new name (ann held a file of its name) never takes ann's
// message of that name for it: both stay where they are.
TEST_P(MailStoreAccessTest, AMoveCutShortByACrashIsResolvedByUndo) {
    enum Crash { kNoKey, kBothCopies, kNoKeyUnderANewName };
    for (const Crash crash : {kNoKey, kBothCopies, kNoKeyUnderANewName}) {
        SCOPED_TRACE(crash);
        Start();
        server_->Append("jdoe@example", "Junk E-mail", Mail("moved@junk"), old_, "\\Seen");
        server_->CreateFolder("ann@example", "Archive");
        const std::string annDir = server_->MaildirOf("ann@example");
        const bool newName = crash == kNoKeyUnderANewName;
        if (newName) {
            server_->Append("ann@example", "", Mail("left@ann"), recent_);
            std::vector<std::filesystem::path> files;
            for (const char* sub : {"/new", "/cur"}) {
                for (const auto& f : std::filesystem::directory_iterator(annDir + sub))
                    files.push_back(f.path());
            }
            for (const auto& f : std::filesystem::directory_iterator(JunkDir()))
                files.push_back(annDir + "/cur/" + f.path().filename().string());
            ASSERT_EQ(files.size(), 2U);
            std::filesystem::rename(files[0], files[1]);  // ann's message under jdoe's name
        }
        const int64_t run = BeginStoreRun(std::string(kMailbox) + "/x.reg", true, 0);
        (void)MoveRecordForRun(OnlyExpired(kJunk), kAnn, run);
        if (crash == kBothCopies) {
            for (const auto& f : std::filesystem::directory_iterator(annDir + "/cur")) {
                // The copy is the mailbox owner's, as the backend's would be.
                const std::string copy = JunkDir() + f.path().filename().string();
                std::filesystem::copy_file(f.path(), copy);
                struct stat st {};
                ASSERT_EQ(::stat(f.path().c_str(), &st), 0);
                ASSERT_EQ(::chown(copy.c_str(), st.st_uid, st.st_gid), 0);
            }
        } else {
            ForgetDestinationKey();
        }
        const auto entries = MovedMessagesOfRun(run);
        ASSERT_EQ(entries.size(), 1U);
        EXPECT_EQ(entries[0].state,
                  newName ? MovedMessage::State::kGone : MovedMessage::State::kInDestination);
        EXPECT_EQ(PutBackMovedMessage(entries[0]).outcome,
                  newName ? PutBackResult::Outcome::kGone : PutBackResult::Outcome::kPutBack);
        EXPECT_EQ(Left("Junk E-mail"),
                  newName ? std::vector<std::string>{} : std::vector<std::string>{"<moved@junk>"});
        std::vector<std::string> ann;
        for (const auto& m : server_->Messages("ann@example", "")) ann.push_back(m.messageId);
        std::sort(ann.begin(), ann.end());
        const std::vector<std::string> both = {"<left@ann>", "<moved@junk>"};
        EXPECT_EQ(ann, newName ? both : std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, MailStoreAccessTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fs" : "MaildirPlusPlus"; });

}  // namespace
}  // namespace platform
