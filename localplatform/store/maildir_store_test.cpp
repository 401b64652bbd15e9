// The Maildir backend against a real Dovecot: what Dovecot puts in is what
// the backend lists, and what the backend leaves, moves or appends is what
// Dovecot reads back, in both layouts. Folder names in modified UTF-7.
#include "localplatform/store/maildir_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "base/error.h"
#include "base/testing/run_program.h"
#include "base/testing/temp_platform.h"
#include "base/unique_fd.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/mail_folder_name.h"
#include "localplatform/store/maildir_keywords.h"
#include "localplatform/store/maildir_store_faults.h"
#include "localplatform/store/store_test_support.h"
#include "localplatform/store/testing/dovecot_server.h"

namespace localplatform {
namespace {

using testing::DovecotServer;
using testing::ErrorOf;
using testing::TempStore;
namespace err = platform::err;
namespace fs = std::filesystem;

MailStoreSettings Settings(const std::string& location) {
    MailStoreSettings s;
    s.ns = "example";
    s.location = location;
    s.source = "platform.conf:1";
    return s;
}

std::string Mail(const std::string& id, const std::string& eol = "\r\n") {
    return "From: a@example.com" + eol + "Subject: test" + eol + "Message-ID: <" + id + ">" + eol +
           eol + "body" + eol;
}

// Names in modified UTF-7 go both ways through Dovecot here and in the IMAP
// session's tests; what no name can be is refused both ways.
TEST(MailFolderNameTest, WhatNoNameCanBeIsRefused) {
    for (const char* bad : {"&", "&Jjo", "&AGE-", "&2D3-", "caf\xC3\xA9", "a&ZeV!-"})
        EXPECT_FALSE(DecodeMailFolderName(bad)) << bad;
    using namespace std::string_view_literals;
    for (const auto bad : {"\xC3"sv, "\xED\xA0\x80"sv, "a\0b"sv})
        EXPECT_FALSE(EncodeMailFolderName(bad)) << bad;
}

class MaildirStoreTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        DovecotServer::Options options;
        options.fsLayout = GetParam();
        server_ = std::make_unique<DovecotServer>(options);
        store_ = OpenMaildirStore(Settings(server_->MailLocation()));
    }
    // The Message-IDs Dovecot lists in folder of jdoe.
    std::vector<std::string> SeenByDovecot(const std::string& folder) {
        std::vector<std::string> ids;
        for (const auto& m : server_->Messages("jdoe@example", folder)) ids.push_back(m.messageId);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::unique_ptr<DovecotServer> server_;
    std::unique_ptr<MailStore> store_;
    const int64_t past_ = std::time(nullptr) - int64_t{40} * 86400;
};

TEST_P(MaildirStoreTest, ListsFoldersAndMessagesAsDovecotKeepsThem) {
    const std::vector<std::string> folders = {"Junk E-mail", "Archive/2024", "Größe & Co", "Q&A"};
    for (const auto& f : folders) server_->Append("jdoe@example", f, Mail(f), past_, "\\Seen");
    server_->Append("jdoe@example", "", Mail("inbox"), past_, "\\Deleted \\Flagged");
    server_->Append("ann@example", "", Mail("ann"), past_);

    EXPECT_EQ(store_->Mailboxes(), (std::vector<std::string>{"ann", "jdoe"}));
    EXPECT_EQ(store_->FindMailbox("JDOE"), "jdoe");
    EXPECT_FALSE(store_->FindMailbox("nobody"));
    EXPECT_FALSE(store_->FindMailbox(".."));
    EXPECT_EQ(store_->Subfolders({"jdoe", {}}),
              (std::vector<std::string>{"Archive", "Größe & Co", "Junk E-mail", "Q&A"}));
    EXPECT_EQ(store_->Subfolders({"jdoe", {"Archive"}}), (std::vector<std::string>{"2024"}));
    EXPECT_TRUE(store_->HasFolder({"jdoe", {"Archive", "2024"}}));
    EXPECT_FALSE(store_->HasFolder({"jdoe", {"Archive", "2025"}}));

    const auto inbox = store_->Messages({"jdoe", {}});
    const auto seen = server_->Messages("jdoe@example", "");
    ASSERT_EQ(inbox.size(), 1U);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(inbox[0].received, past_);
    EXPECT_EQ(inbox[0].size, seen[0].size);
    EXPECT_EQ(inbox[0].flags, "FT");
    // Dovecot keeps line ends as LF on disk.
    EXPECT_EQ(store_->Content({"jdoe", {}}, inbox[0].key), Mail("inbox", "\n"));
    for (const auto& path : std::vector<std::vector<std::string>>{
             {"Junk E-mail"}, {"Archive", "2024"}, {"Größe & Co"}, {"Q&A"}}) {
        const auto messages = store_->Messages({"jdoe", path});
        ASSERT_EQ(messages.size(), 1U) << path.back();
        EXPECT_EQ(messages[0].flags, "S") << path.back();
    }
}

TEST_P(MaildirStoreTest, DeletesAndMovesExactlyTheKeysGivenAndAppends) {
    server_->Append("jdoe@example", "Junk", Mail("old"), past_);
    server_->Append("jdoe@example", "Junk", Mail("trashed"), past_, "\\Deleted");
    server_->Append("jdoe@example", "Junk", Mail("moved"), past_, "\\Seen \\Deleted");
    server_->Append("ann@example", "", Mail("ann"), past_);
    const MailFolder junk{"jdoe", {"Junk"}};
    const auto listed = store_->Messages(junk);
    ASSERT_EQ(listed.size(), 3U);
    const auto keyOf = [&](const std::string& flags) {
        return std::find_if(listed.begin(), listed.end(), [&](auto& m) { return m.flags == flags; })
            ->key;
    };
    // Delivered after the listing: never among the keys deleted.
    server_->Deliver("jdoe@example", "Junk", Mail("new"));
    // Dovecot renames the files when a flag changes: found by their keys.
    const auto flagged = platform::testing::RunProgram(
        {"/usr/bin/doveadm", "-c", server_->Folder() + "/dovecot.conf", "flags", "add", "-u",
         "jdoe@example", "\\Flagged", "mailbox", "Junk", "all"});
    ASSERT_EQ(flagged.code, 0) << flagged.err;

    EXPECT_TRUE(store_->Delete(junk, keyOf("")));
    EXPECT_FALSE(store_->Delete(junk, keyOf("")));  // gone already
    store_->Flush();
    const std::string key = store_->Move(junk, keyOf("ST"), {"ann", {}}).value();
    EXPECT_EQ(ErrorOf([&] { (void)store_->Move(junk, keyOf("ST"), {"ann", {}}); }), err::kNotFound);
    EXPECT_EQ(SeenByDovecot("Junk"), (std::vector<std::string>{"<new>", "<trashed>"}));
    const auto there = server_->Messages("ann@example", "");
    ASSERT_EQ(there.size(), 2U);
    const auto moved = std::find_if(there.begin(), there.end(),
                                    [](const auto& m) { return m.messageId == "<moved>"; });
    ASSERT_NE(moved, there.end());
    EXPECT_EQ(moved->received, past_);
    EXPECT_EQ(moved->flags, "\\Flagged \\Deleted \\Seen");

    // And back, as an undo does; then a message written in.
    EXPECT_EQ(store_->Move({"ann", {}}, key, junk), key);
    (void)store_->Append(junk, Mail("appended"), past_ - 60, "S");
    EXPECT_EQ(SeenByDovecot("Junk"),
              (std::vector<std::string>{"<appended>", "<moved>", "<new>", "<trashed>"}));
    for (const auto& m : server_->Messages("jdoe@example", "Junk")) {
        const int64_t dated = m.messageId == "<appended>" ? past_ - 60 : past_;
        EXPECT_EQ(m.received, m.messageId == "<new>" ? m.received : dated) << m.messageId;
    }
}

// A message is moved or read as the regular file that was listed: a FIFO
// or a link another program swaps in for it, before the file is opened or
// between the open and the rename, is never waited on, followed or moved;
// the move fails naming the file, and each mailbox keeps what it held.
TEST_P(MaildirStoreTest, WhatIsSwappedInForAMessageIsNeverMovedOrRead) {
    server_->Append("jdoe@example", "Junk", Mail("junk"), past_);
    server_->Append("ann@example", "", Mail("ann"), past_);
    const MailFolder junk{"jdoe", {"Junk"}};
    const auto listed = store_->Messages(junk);
    ASSERT_EQ(listed.size(), 1U);
    // The files of ann's Inbox, as they lie.
    const auto annsFiles = [&] {
        std::vector<fs::path> files;
        for (const char* sub : {"/cur", "/new"}) {
            for (const auto& e : fs::directory_iterator(server_->MaildirOf("ann@example") + sub))
                files.push_back(e.path());
        }
        return files;
    };
    ASSERT_EQ(annsFiles().size(), 1U);
    const fs::path annsFile = annsFiles()[0];
    using Seam = std::function<void(int, const std::string&)>;
    struct Case {
        const char* what;
        Seam* seam;
        fs::file_type swappedIn;
        bool read;
    };
    const Case cases[] = {
        {"a FIFO after the open", &maildir_faults::beforeRename, fs::file_type::fifo, false},
        {"a link after the open", &maildir_faults::beforeRename, fs::file_type::symlink, false},
        {"a FIFO before the open", &maildir_faults::beforeOpen, fs::file_type::fifo, false},
        {"a link before the open", &maildir_faults::beforeOpen, fs::file_type::symlink, false},
        {"a link before a read", &maildir_faults::beforeOpen, fs::file_type::symlink, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path message;  // the message's name, and where the message went
        fs::path aside;
        *c.seam = [&](int dir, const std::string& name) {
            if (!message.empty()) return;
            const fs::path folder = fs::read_symlink("/proc/self/fd/" + std::to_string(dir));
            message = folder / name;
            aside = folder / "swapped";
            const int made = c.swappedIn == fs::file_type::fifo
                                 ? ::mkfifoat(dir, "swapped", 0600)
                                 : ::symlinkat(annsFile.c_str(), dir, "swapped");
            ASSERT_EQ(made, 0);
            ASSERT_EQ(::renameat2(dir, "swapped", dir, name.c_str(), RENAME_EXCHANGE), 0);
        };
        std::string why;
        try {
            if (c.read)
                (void)store_->Content(junk, listed[0].key);
            else
                (void)store_->Move(junk, listed[0].key, {"ann", {}});
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), err::kPathFileAccess);
            why = e.Description();
        }
        *c.seam = nullptr;
        ASSERT_FALSE(message.empty());
        EXPECT_NE(why.find(message.filename().string()), std::string::npos) << why;
        ASSERT_EQ(annsFiles(), std::vector<fs::path>{annsFile});
        EXPECT_EQ(fs::symlink_status(message).type(), c.swappedIn);
        fs::remove(message);
        fs::rename(aside, message);
    }
    EXPECT_EQ(SeenByDovecot("Junk"), (std::vector<std::string>{"<junk>"}));
    EXPECT_EQ(server_->Messages("ann@example", "").size(), 1U);
    // A FIFO or a link that is there when the folder is listed is no message.
    const fs::path cur =
        fs::path(server_->MaildirOf("jdoe@example")) / (GetParam() ? "Junk/cur" : ".Junk/cur");
    ASSERT_EQ(::mkfifo((cur / "1.fifo:2,S").c_str(), 0600), 0);
    fs::create_symlink(annsFile, cur / "2.link:2,S");
    EXPECT_EQ(store_->Messages(junk).size(), 1U);
    for (const char* key : {"1.fifo", "2.link"}) {
        EXPECT_EQ(ErrorOf([&] { (void)store_->Move(junk, key, {"ann", {}}); }), err::kNotFound);
        EXPECT_EQ(ErrorOf([&] { (void)store_->Content(junk, key); }), err::kNotFound);
    }
    fs::remove(cur / "1.fifo:2,S");
    (void)store_->Move(junk, listed[0].key, {"ann", {}});
    EXPECT_TRUE(fs::is_symlink(cur / "2.link:2,S"));
    EXPECT_EQ(server_->Messages("ann@example", "").size(), 2U);
}

// Run as root, a message moved out of one account's mailbox into another's
// belongs to the other, renamed on one file system or (a second one, where
// no rename reaches) copied in as the item store then does: the
// destination's Dovecot, running as its owner, reads it.
TEST(MaildirOwnersTest, AMovedMessageIsItsNewMailboxOwners) {
    if (::geteuid() != 0) GTEST_SKIP() << "two owners need root";
    if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
    const passwd* pw = ::getpwnam("nobody");  // the harness's mail, ann's
    ASSERT_NE(pw, nullptr);
    const uid_t annUid = pw->pw_uid;
    const gid_t annGid = pw->pw_gid;
    pw = ::getpwnam("daemon");  // jdoe's, here
    ASSERT_NE(pw, nullptr);
    const uid_t jdoeUid = pw->pw_uid;
    const gid_t jdoeGid = pw->pw_gid;
    const int64_t past = std::time(nullptr) - int64_t{40} * 86400;
    for (const bool across : {false, true}) {
        SCOPED_TRACE(across ? "across file systems" : "on one file system");
        DovecotServer server;
        server.Append("jdoe@example", "Junk", Mail("moved"), past);
        std::string other = "/dev/shm/quellix-owner-XXXXXX";
        if (across) {
            ASSERT_NE(::mkdtemp(other.data()), nullptr) << "no second file system at /dev/shm";
            ASSERT_EQ(::chown(other.c_str(), annUid, annGid), 0);
            fs::create_directory_symlink(other, server.Folder() + "/mail/example/ann");
        }
        const std::unique_ptr<std::string, void (*)(std::string*)> removed(
            across ? &other : nullptr, [](std::string* dir) { fs::remove_all(*dir); });
        server.Append("ann@example", "", Mail("ann"), past);
        for (const auto& e :
             fs::recursive_directory_iterator(server.MaildirOf("jdoe@example") + "/..")) {
            ASSERT_EQ(::lchown(e.path().c_str(), jdoeUid, jdoeGid), 0) << e.path();
        }
        auto store = OpenMaildirStore(Settings(server.MailLocation()));
        const auto listed = store->Messages({"jdoe", {"Junk"}});
        ASSERT_EQ(listed.size(), 1U);

        const MailFolder junk{"jdoe", {"Junk"}};
        auto key = store->Move(junk, listed[0].key, {"ann", {}});
        EXPECT_EQ(key.has_value(), !across);
        if (!key) {
            key = store->AppendPlanned({"ann", {}}, listed[0].key,
                                       store->Content(junk, listed[0].key), past, "");
        }
        const std::string moved = server.MaildirOf("ann@example") + "/cur/" + *key + ":2,";
        struct stat st {};
        ASSERT_EQ(::stat(moved.c_str(), &st), 0) << moved;
        EXPECT_EQ(st.st_uid, annUid);
        EXPECT_EQ(st.st_gid, annGid);
        std::vector<std::string> ids;
        for (const auto& m : server.Messages("ann@example", "")) ids.push_back(m.messageId);
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<std::string>{"<ann>", "<moved>"}));
    }
}

// A Maildir on a file system that refuses rename flags (bindfs, a FUSE
// one, here; Linux's NFS client too) is moved into, moved back from and
// written to all the same, by a hard link and the old name removed; a
// name already taken is not replaced.
TEST(MaildirRenameFlagsTest, AFileSystemWithoutRenameFlagsTakesLinks) {
    if (::geteuid() != 0 || ::access("/usr/bin/bindfs", X_OK) != 0)
        GTEST_SKIP() << "needs root and bindfs (a FUSE file system without rename flags)";
    if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
    const int64_t past = std::time(nullptr) - int64_t{40} * 86400;
    DovecotServer server;
    server.Append("jdoe@example", "Junk", Mail("moved"), past);
    server.Append("ann@example", "", Mail("ann"), past);
    // The mail, Dovecot's and Quellix's alike, seen through bindfs mounted
    // over its own folder.
    const std::string mail = server.Folder() + "/mail";
    const auto mounted = platform::testing::RunProgram({"/usr/bin/bindfs", mail, mail});
    ASSERT_EQ(mounted.code, 0) << mounted.err;
    const std::unique_ptr<const std::string, void (*)(const std::string*)> unmount(
        &mail, [](const std::string* dir) { (void)::umount2(dir->c_str(), MNT_DETACH); });
    const std::string probe = mail + "/probe";
    std::ofstream(probe) << "x";
    ASSERT_EQ(
        ::renameat2(AT_FDCWD, probe.c_str(), AT_FDCWD, (probe + "2").c_str(), RENAME_NOREPLACE),
        -1);
    ASSERT_EQ(errno, EINVAL);
    fs::remove(probe);

    auto store = OpenMaildirStore(Settings(server.MailLocation()));
    const MailFolder junk{"jdoe", {"Junk"}};
    const auto listed = store->Messages(junk);
    ASSERT_EQ(listed.size(), 1U);
    const std::string key = store->Move(junk, listed[0].key, {"ann", {}}).value();
    std::vector<std::string> ids;
    for (const auto& m : server.Messages("ann@example", "")) ids.push_back(m.messageId);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"<ann>", "<moved>"}));
    EXPECT_EQ(store->Move({"ann", {}}, key, junk), key);
    const std::string appended = store->Append(junk, Mail("appended"), past, "S");
    EXPECT_EQ(
        ErrorOf([&] { (void)store->AppendPlanned(junk, appended, Mail("other"), past, "S"); }),
        err::kPathFileAccess);
    EXPECT_EQ(store->Content(junk, appended), Mail("appended"));
    ids.clear();
    for (const auto& m : server.Messages("jdoe@example", "Junk")) ids.push_back(m.messageId);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"<appended>", "<moved>"}));
    EXPECT_EQ(server.Messages("ann@example", "").size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MaildirStoreTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fs" : "MaildirPlusPlus"; });

// Names each layout cannot keep, links, and a move between file systems:
// on plain folders, as the mail server's files would be.
class MaildirFilesTest : public ::testing::Test {
protected:
    platform::testing::TempPlatform temp_{"quellix-maildir-"};
    std::unique_ptr<MailStore> Open(const std::string& options = "") {
        return OpenMaildirStore(Settings("maildir:" + temp_.Dir() + "/%d/%n/Maildir" + options));
    }
    void MakeMaildir(const std::string& dir) {
        for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir + "/" + sub);
    }
};

// A listing of folders is kept while the directory has not changed; a
// folder made or removed after it is seen all the same, in both layouts.
TEST_F(MaildirFilesTest, FoldersMadeAfterAListingAreSeen) {
    for (const std::string options : {"", ":LAYOUT=fs"}) {
        SCOPED_TRACE(options);
        const std::string alias = "jdoe" + std::to_string(options.size());
        const std::string root = temp_.Dir() + "/example/" + alias + "/Maildir";
        const std::string a = root + (options.empty() ? "/.a" : "/a");
        MakeMaildir(root);
        MakeMaildir(a);
        auto store = Open(options);
        // Last changed long ago: the listing is kept.
        const struct timespec old[2] = {{std::time(nullptr) - 3600, 0},
                                        {std::time(nullptr) - 3600, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, root.c_str(), old, 0), 0);
        EXPECT_EQ(store->Subfolders({alias, {}}), (std::vector<std::string>{"a"}));
        MakeMaildir(root + (options.empty() ? "/.b" : "/b"));
        EXPECT_EQ(store->Subfolders({alias, {}}), (std::vector<std::string>{"a", "b"}));
        ASSERT_EQ(::utimensat(AT_FDCWD, root.c_str(), old, 0), 0);
        EXPECT_EQ(store->Subfolders({alias, {}}), (std::vector<std::string>{"a", "b"}));
        fs::remove_all(a);
        EXPECT_EQ(store->Subfolders({alias, {}}), (std::vector<std::string>{"b"}));
    }
}

TEST_F(MaildirFilesTest, NamesALayoutCannotKeepAreRefused) {
    const std::string root = temp_.Dir() + "/example/jdoe/Maildir";
    MakeMaildir(root);
    MakeMaildir(root + "/.a");
    MakeMaildir(root + "/.a.b");
    MakeMaildir(root + "/.A");
    auto plus = Open();
    EXPECT_EQ(plus->Subfolders({"jdoe", {}}), (std::vector<std::string>{"A", "a"}));
    EXPECT_EQ(plus->Subfolders({"jdoe", {"a"}}), (std::vector<std::string>{"b"}));
    EXPECT_EQ(ErrorOf([&] { (void)plus->Messages({"jdoe", {"v1.2"}}); }), err::kInvalidArg);
    EXPECT_EQ(ErrorOf([&] {
                  (void)Open(":LAYOUT=fs")->Messages({"jdoe", {"cur"}});
              }),
              err::kInvalidArg);
    EXPECT_EQ(ErrorOf([&] { (void)Open(":INBOX=/x"); }), err::kInvalidArg);
    EXPECT_EQ(ErrorOf([&] { (void)OpenMaildirStore(Settings("maildir:/x/%u/Maildir")); }),
              err::kInvalidArg);

    // A folder that is a link to elsewhere is not followed.
    MakeMaildir(temp_.Dir() + "/elsewhere");
    std::ofstream(temp_.Dir() + "/elsewhere/cur/1.M1P1.host:2,S") << Mail("elsewhere");
    fs::create_directory_symlink(temp_.Dir() + "/elsewhere", root + "/.linked");
    EXPECT_FALSE(plus->HasFolder({"jdoe", {"linked"}}));
    EXPECT_TRUE(plus->Messages({"jdoe", {"linked"}}).empty());
}

// Maildir++ folders that another program named without modified UTF-7 (in
// UTF-8, or with a bare '&') are listed under their names as they are, and
// reached, swept and listed below by those names.
TEST_F(MaildirFilesTest, FoldersNamedUnencodedAreReachedByTheirNames) {
    const std::string root = temp_.Dir() + "/example/jdoe/Maildir";
    MakeMaildir(root);
    for (const char* dir : {"/.Entwürfe", "/.A&B", "/.A&B.Sub", "/.Junk"}) {
        MakeMaildir(root + dir);
        std::ofstream(root + dir + "/cur/1000000000.M1P1Q1.host:2,S") << Mail(dir);
    }
    auto store = Open();
    EXPECT_EQ(store->Subfolders({"jdoe", {}}),
              (std::vector<std::string>{"A&B", "Entwürfe", "Junk"}));
    EXPECT_EQ(store->Subfolders({"jdoe", {"A&B"}}), std::vector<std::string>{"Sub"});
    for (const std::vector<std::string>& path :
         {std::vector<std::string>{"Entwürfe"}, {"A&B"}, {"A&B", "Sub"}, {"Junk"}}) {
        SCOPED_TRACE(path.back());
        EXPECT_TRUE(store->HasFolder({"jdoe", path}));
        const auto listed = store->Messages({"jdoe", path});
        ASSERT_EQ(listed.size(), 1U);
        EXPECT_TRUE(store->Delete({"jdoe", path}, listed[0].key));
    }
    store->Flush();
    for (const char* dir : {"/.Entwürfe", "/.A&B", "/.A&B.Sub", "/.Junk"})
        EXPECT_TRUE(fs::is_empty(root + dir + "/cur")) << dir;
}

TEST_F(MaildirFilesTest, AFolderListedLongAgoIsSearchedAnew) {
    // A run over many mailboxes keeps the listings of the last folders it
    // looked at only; a delete in an older one finds the file again, with
    // the flags the server gave it meanwhile.
    auto store = Open();
    std::vector<std::string> keys;
    for (int i = 0; i < 100; ++i) {
        const std::string alias = "u" + std::to_string(i);
        MakeMaildir(temp_.Dir() + "/example/" + alias + "/Maildir");
        keys.push_back(store->Append({alias, {}}, Mail(alias), 1000000000, "S"));
        ASSERT_EQ(store->Messages({alias, {}}).size(), 1U);
    }
    const std::string cur = temp_.Dir() + "/example/u0/Maildir/cur/";
    fs::rename(cur + keys[0] + ":2,S", cur + keys[0] + ":2,FS");
    EXPECT_TRUE(store->Delete({"u0", {}}, keys[0]));
    EXPECT_TRUE(fs::is_empty(cur));
    EXPECT_TRUE(store->Delete({"u99", {}}, keys[99]));
    EXPECT_FALSE(store->Delete({"u99", {}}, keys[99]));
    store->Flush();
    EXPECT_TRUE(store->Messages({"u99", {}}).empty());
    EXPECT_EQ(store->Messages({"u50", {}}).size(), 1U);
}

// No rename joins two file systems: the move is refused, changing
// nothing, for the item store to copy and remove step by step.
TEST_F(MaildirFilesTest, AMoveAcrossFileSystemsIsNoOneStep) {
    std::string other = "/dev/shm/quellix-maildir-XXXXXX";
    if (::mkdtemp(other.data()) == nullptr) GTEST_SKIP() << "no second file system at /dev/shm";
    const std::unique_ptr<std::string, void (*)(std::string*)> removed(
        &other, [](std::string* dir) { fs::remove_all(*dir); });
    fs::create_directories(temp_.Dir() + "/example");
    MakeMaildir(temp_.Dir() + "/example/jdoe/Maildir");
    MakeMaildir(other + "/Maildir");
    // The mailbox's folder is the administrator's link to the other file
    // system; below the mailbox root nothing is followed.
    fs::create_directory_symlink(other, temp_.Dir() + "/example/ann");
    auto store = Open();
    const std::string key = store->Append({"jdoe", {}}, Mail("far"), 1000000000, "ST");

    EXPECT_FALSE(store->Move({"jdoe", {}}, key, {"ann", {}}));
    const auto here = store->Messages({"jdoe", {}});
    ASSERT_EQ(here.size(), 1U);
    EXPECT_EQ(here[0].flags, "ST");
    EXPECT_TRUE(store->Messages({"ann", {}}).empty());
    for (const char* sub : {"/Maildir/tmp", "/Maildir/new", "/Maildir/cur"})
        EXPECT_TRUE(fs::is_empty(other + sub)) << sub;
}

// A failure after the rename (a failing fsync) comes after the message
// moved: the move fails, and its manifest entry, settled at once from what
// the two folders hold, names the moved message, which undo puts back with
// its flags.
TEST(MaildirMoveFaultTest, AFailureAfterTheRenameKeepsTheMovesEntry) {
    platform::testing::TempPlatform mail{"quellix-maildirs-"};
    TempStore temp(300, "mailstore.example = maildir:" + mail.Dir() + "/%n/Maildir\n");
    for (const char* box : {"u1", "u2"}) {
        for (const char* sub : {"cur", "new", "tmp"})
            fs::create_directories(mail.Dir() + "/" + box + "/Maildir/" + sub);
    }
    const std::string name = "1000000000.M1P1Q1.host";
    std::ofstream(mail.Dir() + "/u1/Maildir/cur/" + name + ":2,FS") << Mail("synced");
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example");
    const auto from = store->Lookup({"example", "MBX", "u1"});
    const auto to = store->Lookup({"example", "MBX", "u2"});
    ASSERT_TRUE(from && to);
    const auto rows = store->ItemsIn(from->id);
    ASSERT_EQ(rows.size(), 1U);

    maildir_faults::afterRename = [] {
        throw platform::Error(err::kPathFileAccess, "sync folder failed: Input/output error");
    };
    EXPECT_EQ(ErrorOf([&] { (void)store->MoveItem(rows[0].id, from->id, to->id, 1); }),
              err::kPathFileAccess);
    maildir_faults::afterRename = nullptr;
    EXPECT_EQ(store->ItemsIn(to->id).size(), 1U);
    const auto moves = store->MovesOfRun(1);
    ASSERT_EQ(moves.size(), 1U);
    EXPECT_EQ(store->RestoreMove(moves[0].entry).outcome, RestoreOutcome::kRestored);
    EXPECT_TRUE(store->ItemsIn(to->id).empty());
    EXPECT_TRUE(fs::exists(mail.Dir() + "/u1/Maildir/cur/" + name + ":2,FS"));
}

// A mail store's deletes hold no write transaction of the store while
// their batch is open (a run's workers deleting in mailboxes at once would
// wait on each other), and are synced after the batch is flushed: nobody
// waits for the store meanwhile (a sync on NFS, like an IMAP server's
// reply, can take long).
TEST(MaildirMoveFaultTest, DeletesAreSyncedOutsideTheWriteTransaction) {
    platform::testing::TempPlatform mail{"quellix-maildirs-"};
    TempStore temp(300, "mailstore.example = maildir:" + mail.Dir() +
                            "/%n/Maildir\nstore.synchronous = full\n");
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(mail.Dir() + "/u1/Maildir/" + sub);
    std::ofstream(mail.Dir() + "/u1/Maildir/cur/1000000000.M1P1Q1.host:2,S") << Mail("gone");
    auto store = ItemStore::ForThisThread();
    store->CreateNamespace("example");
    const auto inbox = store->Lookup({"example", "MBX", "u1"});
    ASSERT_TRUE(inbox);
    const auto rows = store->ItemsIn(inbox->id);
    ASSERT_EQ(rows.size(), 1U);
    const auto writable = [&] {
        SqliteDb::Options noWait;
        noWait.busyTimeoutMs = 0;
        noWait.create = false;
        auto other = SqliteDb::Open(temp.DbPath(), noWait);
        try {
            other.Exec("BEGIN IMMEDIATE");
            other.Exec("ROLLBACK");
            return 1;
        } catch (const platform::Error&) {
            return 0;
        }
    };
    int whileSynced = -1;
    maildir_faults::beforeSync = [&] { whileSynced = writable(); };
    store->BatchDeleteOf(rows[0].id);
    EXPECT_TRUE(store->DeleteItem(rows[0].id));
    EXPECT_EQ(writable(), 1) << "the store was locked while the delete's batch was open";
    store->FlushBatch();
    maildir_faults::beforeSync = nullptr;
    EXPECT_EQ(whileSynced, 1) << "the store was locked while the folder was synced";
    EXPECT_TRUE(fs::is_empty(mail.Dir() + "/u1/Maildir/cur"));
}

// A keyword's letter is its folder's own: names are read from the folder's
// list, a name new to it gets the first free letter (the list written under
// Dovecot's lock, which is waited for, within its bound), and a name past
// the 26 letters is not carried.
TEST(MaildirKeywordsTest, LettersAreTheFoldersOwnAndNewOnesWaitForTheLock) {
    platform::testing::TempPlatform temp;
    const std::string folder = temp.Dir();
    std::ofstream(folder + "/dovecot-keywords") << "0 NonJunk\n2 Other\nx bad\n99 far\n";
    const platform::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.IsOpen());
    const auto list = [&] {
        std::ifstream in(folder + "/dovecot-keywords");
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    const auto letters = [&](const std::string& flags, int waitMs = 0) {
        return InfoLetters(dir.Get(), flags, folder, std::chrono::milliseconds(waitMs),
                           "mailstore.x.lock_wait_ms");
    };
    EXPECT_EQ(MaildirKeywords::Read(dir.Get(), folder).FlagsOf("1.x:2,Sacz"), "S NonJunk Other");
    EXPECT_EQ(letters("FS NonJunk Other"), "FSac");  // known: no lock taken, nothing written
    // Held by the server: a known name still goes; a new one waits, then
    // fails naming the lock and the setting.
    std::ofstream(folder + "/dovecot-keywords.lock") << "";
    EXPECT_EQ(letters("S Other"), "Sc");
    try {
        (void)letters("S $Junk", 100);
        ADD_FAILURE() << "a new keyword went past the lock";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), err::kResourceLocked);
        EXPECT_NE(e.Description().find("dovecot-keywords.lock"), std::string::npos);
        EXPECT_NE(e.Description().find("mailstore.x.lock_wait_ms"), std::string::npos);
    }
    // Let go while it waits: the name is added.
    std::thread server([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fs::remove(folder + "/dovecot-keywords.lock");
    });
    EXPECT_EQ(letters("S $Junk", 5000), "Sb");
    server.join();
    EXPECT_EQ(list(), "0 NonJunk\n1 $Junk\n2 Other\n");
    EXPECT_FALSE(fs::exists(folder + "/dovecot-keywords.lock"));
    // Full: the 27th name is not carried.
    std::string flags = "T";
    for (int i = 0; i < 26; ++i) flags += " k" + std::to_string(i);
    EXPECT_EQ(letters(flags), "Tdefghijklmnopqrstuvwxyz");  // k23 to k25 find no letter
    EXPECT_EQ(letters("T extra"), "T");
}

}  // namespace
}  // namespace localplatform
