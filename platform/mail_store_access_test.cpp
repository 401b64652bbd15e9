// The ADO-shaped access layer over a namespace mapped to a real Dovecot's
// Maildirs: the sweep's query and deletes, the folder URL properties, and
// what Dovecot reads back afterwards, in both layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ctime>

#include "base/error.h"
#include "localplatform/store/item_store.h"
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

class MailStoreAccessTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        Start();
    }
    // A fresh Dovecot and store, the namespace "example" mapped to it.
    void Start() {
        temp_.reset();
        server_.reset();
        DovecotServer::Options options;
        options.fsLayout = GetParam();
        server_ = std::make_unique<DovecotServer>(options);
        temp_ = std::make_unique<TempStore>(300, server_->MaildirConfigLines("example"));
        auto store = ItemStore::ForThisThread();
        store->CreateNamespace("example");
        store->CreateMailbox("example", "SystemMailbox{1234}", true);
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

TEST_P(MailStoreAccessTest, FolderPropertiesNameTheMailServersFolders) {
    server_->CreateFolder("jdoe@example", "Sent");
    server_->CreateFolder("jdoe@example", "Trash");
    Record rec;
    rec.Open(std::string(kMailbox), nullptr, adModeRead, adFailIfNotExists, -1);
    const auto value = [&](const char* name) { return rec.Fields(name).Value(); };
    EXPECT_EQ(value("urn:schemas:httpmail:inbox").ToString(), kMailbox);
    EXPECT_EQ(value("urn:schemas:httpmail:sentitems").ToString(), std::string(kMailbox) + "/Sent");
    EXPECT_EQ(value("urn:schemas:httpmail:deleteditems").ToString(),
              std::string(kMailbox) + "/Trash");
    EXPECT_TRUE(value("urn:schemas:httpmail:drafts").IsNull());
    EXPECT_EQ(value("DAV:ishidden").ToBool(), false);
    rec.Close();
    // The Inbox by its usual name is the mailbox root; a folder in any case.
    rec.Open(std::string(kMailbox) + "/INBOX", nullptr, adModeRead, adFailIfNotExists, -1);
    EXPECT_EQ(rec.Fields("DAV:href").Value().ToString(), kMailbox);
    rec.Close();
    rec.Open(std::string(kMailbox) + "/sent", nullptr, adModeRead, adFailIfNotExists, -1);
    EXPECT_EQ(rec.Fields("DAV:isfolder").Value().ToBool(), true);
    rec.Close();

    // The mail server's mailboxes are its own to make.
    EXPECT_EQ(localplatform::testing::ErrorOf(
                  [] { ItemStore::ForThisThread()->CreateMailbox("example", "new", false); }),
              err::kPermissionDeniedDb);
}

TEST_P(MailStoreAccessTest, TwoFoldersOneUrlWouldNameAreAnError) {
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

TEST_P(MailStoreAccessTest, AMovedMessageIsPutBackWithItsDateAndFlags) {
    server_->Append("jdoe@example", "Junk E-mail", Mail("moved@junk"), old_, "\\Seen \\Deleted");
    server_->Append("jdoe@example", "Junk E-mail", Mail("stays@junk"), recent_);
    server_->CreateFolder("ann@example", "Archive");                  // ann's Maildir is there
    const std::string junk = std::string(kMailbox) + "/junk e-mail";  // any case
    const std::string quarantine = "file://./backofficestorage/example/MBX/ann";
    Connection cnn = OpenStore(kMailbox);
    Recordset rs;
    rs.Open("select \"DAV:href\" from scope('shallow traversal of \"" + junk +
                "\"') where \"DAV:displayname\" <> 'x' and \"urn:schemas:httpmail:datereceived\" < "
                "CAST(\"" +
                IsoDaysAgo(10) + "\" as 'dateTime')",
            cnn);
    ASSERT_EQ(rs.RecordCount(), 1);
    const std::string source = rs.Fields("DAV:href").Value().ToString();
    rs.Close();

    const int64_t run = BeginStoreRun(std::string(kMailbox) + "/x.reg", true, 0);
    const std::string moved = MoveRecordForRun(source, quarantine, run);
    EXPECT_EQ(moved.rfind(quarantine + "/", 0), 0U) << moved;
    EXPECT_EQ(Left("Junk E-mail"), (std::vector<std::string>{"<stays@junk>"}));
    const auto there = server_->Messages("ann@example", "");
    ASSERT_EQ(there.size(), 1U);
    EXPECT_EQ(there[0].received, old_);

    auto entries = MovedMessagesOfRun(run);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].state, MovedMessage::State::kInDestination);
    EXPECT_EQ(entries[0].sourceUrl,
              std::string(kMailbox) + "/Junk E-mail/" + source.substr(source.rfind('/') + 1));
    EXPECT_EQ(entries[0].destinationUrl, moved);
    ASSERT_TRUE(entries[0].received);
    EXPECT_EQ(entries[0].received->UnixSeconds(), old_);
    const auto back = PutBackMovedMessage(entries[0]);
    EXPECT_EQ(back.outcome, PutBackResult::Outcome::kPutBack);
    EXPECT_EQ(back.url, source);
    EXPECT_EQ(PutBackMovedMessage(MovedMessagesOfRun(run)[0]).outcome,
              PutBackResult::Outcome::kAlreadyPutBack);
    EXPECT_TRUE(server_->Messages("ann@example", "").empty());
    for (const auto& m : server_->Messages("jdoe@example", "Junk E-mail")) {
        if (m.messageId != "<moved@junk>") continue;
        EXPECT_EQ(m.received, old_);
        EXPECT_EQ(m.flags, "\\Deleted \\Seen");
    }
    EXPECT_EQ(Left("Junk E-mail"), (std::vector<std::string>{"<moved@junk>", "<stays@junk>"}));
}

INSTANTIATE_TEST_SUITE_P(Layouts, MailStoreAccessTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fs" : "MaildirPlusPlus"; });

}  // namespace
}  // namespace platform
