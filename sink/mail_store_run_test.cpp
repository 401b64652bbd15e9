// A whole cleanup run over a namespace held by a real Dovecot, reached over
// IMAP (a master user) or as its Maildirs: the run deletes exactly what it
// selects, a move killed anywhere loses nothing and is put back by undo
// with its date and flags, and Dovecot reads back what remains. What a
// finished move copies and how undo puts it back is tested where the
// platform moves a message between stores.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

#include "base/testing/contains.h"
#include "base/testing/run_program.h"
#include "base/unique_fd.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/testing/dovecot_server.h"
#include "localplatform/store/testing/imap_fault_proxy.h"
#include "platform/move_manifest.h"
#include "platform/run_history.h"
#include "registration/registration.h"
#include "sink/quellix_cls.h"
#include "sink/quellix_module.h"
#include "sink/sweep.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using platform::testing::Contains;

using localplatform::testing::DovecotServer;
using localplatform::testing::ImapFaultProxy;
using registration::OnTimerRegistration;
using testing::SinkFixture;
using Strings = std::vector<std::string>;

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

// The sink's fixture with a private Dovecot holding the namespace, reached as
// its Maildirs or over IMAP.
class MailStoreRun : public SinkFixture {
protected:
    void SetUpServer(bool imap) {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        SinkFixture::SetUp();
        DovecotServer::Options options;
        options.users = {
            {"ann@example.org", "a"}, {"bob@example.org", "b"}, {"arch@example.org", "c"}};
        server_ = std::make_unique<DovecotServer>(options);
        if (imap) {
            const std::string password = server_->Folder() + "/quellix-password";
            std::ofstream(password) << options.masterPassword << "\n";
            ::chmod(password.c_str(), 0600);
            ConfigureImap(server_->ImapUrl());
        } else {
            std::string line = server_->MaildirConfigLines(testing::kNamespace);
            line.pop_back();  // its line break
            Configure({line});
        }
        ResetRunState();
        thread_.server = ServerNames{};
        Directory(Users(true));
        const int64_t now = std::time(nullptr);
        const int64_t twentyDays = int64_t{20} * 86400;
        server_->Append("ann@example.org", "Spam", Mail("ann-old"), now - twentyDays, "\\Seen");
        server_->Append("ann@example.org", "Spam", Mail("ann-new"), now - 86400);
        server_->Append("ann@example.org", "Spam", Mail("ann-trashed-new"), now - 86400,
                        "\\Deleted");
        server_->Append("ann@example.org", "Spam/Sub", Mail("ann-sub-old"), now - twentyDays);
        server_->Append("bob@example.org", "Spam", Mail("bob-old"), now - twentyDays);
        server_->CreateFolder("arch@example.org", "Archive");  // arch's Maildir is there
    }

    // The namespace on the test Dovecot over IMAP at url, as its master
    // user, with the settings in more.
    void ConfigureImap(const std::string& url, const Strings& more = {}) {
        const std::string key = std::string("mailstore.") + testing::kNamespace;
        Strings lines = {key + " = " + url,
                         key + ".login = %n@%d",
                         key + ".auth = master",
                         key + ".admin = " + server_->Settings().masterUser,
                         key + ".password_file = " + server_->Folder() + "/quellix-password",
                         key + ".starttls = no"};
        for (const auto& line : more) lines.push_back(key + "." + line);
        Configure(lines);
    }

    // Ann (marked unless annMarked is false), Bob, and the archive Arch.
    static std::vector<testing::User> Users(bool annMarked) {
        return {testing::MailUser("Ann", "ann", "ann@example.org",
                                  annMarked ? std::optional<std::string>("Quellix") : std::nullopt),
                testing::MailUser("Bob", "bob", "bob@example.org"),
                testing::MailUser("Archive", "arch", "arch@example.org")};
    }
    static OnTimerRegistration Params() {
        OnTimerRegistration r = testing::RunParams();
        r.includeSubfolders = "1";
        return r;
    }
    std::string Run(const OnTimerRegistration& params) {
        const std::string item = Registration(params);
        NewRun();
        const auto failure = RunCleanup(thread_, Log(), Record(), item, 0);
        EXPECT_FALSE(failure) << failure->Description();
        return ReadLog();
    }
    Strings Left(const std::string& login, const std::string& folder) {
        Strings ids;
        for (const auto& m : server_->Messages(login, folder)) ids.push_back(m.messageId);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    // Two mailboxes the item store holds itself, each in a namespace of its
    // own beside the mail server's: the archive "vault@archive.test" and
    // "carl@corp.test" (marked for the runs, as ann is unless annMarked is
    // false), with a Spam folder. Returns carl's Spam.
    int64_t StoreMailboxes(bool annMarked) {
        std::filesystem::remove(dir_ + "/directory.ldb");  // made anew with them
        std::vector<testing::User> users = Users(annMarked);
        users.push_back(testing::MailUser("Vault", "vault", "vault@archive.test"));
        users.push_back(testing::MailUser("Carl", "carl", "carl@corp.test", "Quellix"));
        Directory(users);
        Mailbox("vault", "archive.test");
        return Folder("carl", "Spam", "corp.test");
    }
    // The messages of a folder of the item store as "Message-ID received"
    // (a store keeps no flags), sorted.
    Strings InStore(const std::string& alias, const std::string& path, const std::string& ns) {
        Strings all;
        auto store = Store();
        const auto folder = store->Lookup({ns, "MBX", alias, path});
        if (!folder) return all;
        for (const auto& row : store->ItemsIn(folder->id)) {
            const std::string text = store->Content(row.id);
            const size_t at = text.find("Message-ID: ");
            const std::string id =
                at == std::string::npos
                    ? "?"
                    : text.substr(at + 12, text.find_first_of("\r\n", at) - at - 12);
            all.push_back(id + " " + std::to_string(row.received.value_or(0)));
        }
        std::sort(all.begin(), all.end());
        return all;
    }
    // The same of a folder Dovecot holds, with the flags (sorted: Dovecot
    // lists keywords in each folder's own order).
    Strings InServer(const std::string& login, const std::string& folder) {
        Strings all;
        for (const auto& m : server_->Messages(login, folder)) {
            Strings flags;
            std::istringstream words(m.flags);
            for (std::string w; words >> w;) flags.push_back(w);
            std::sort(flags.begin(), flags.end());
            std::string line = m.messageId + " " + std::to_string(m.received) + " ";
            for (size_t i = 0; i < flags.size(); ++i) line += (i == 0 ? "" : " ") + flags[i];
            all.push_back(line);
        }
        std::sort(all.begin(), all.end());
        return all;
    }
    // How many moves the store holds under way.
    int64_t MovesUnderWay() {
        Store()->FlushBatch();
        auto db = localplatform::SqliteDb::Open(Store()->Path(), {});
        auto count = db.Prepare("SELECT count(*) FROM moves WHERE under_way IS NOT NULL");
        return count.Step() ? count.Int(0) : -1;
    }
    std::unique_ptr<DovecotServer> server_;
};

// Over IMAP: what the sweep's query selects and deletes in the Maildirs is
// the platform's test; what a run adds (the marked mailboxes, the
// subfolders, its log) does not depend on the backend.
class MailStoreRunTest : public MailStoreRun {
protected:
    void SetUp() override { SetUpServer(true); }
};

TEST_F(MailStoreRunTest, ARunDeletesTheExpiredMessagesDovecotKeeps) {
    const std::string log = Run(Params());
    EXPECT_TRUE(Contains(log,
                         "2 messages has been deleted in "
                         "file://./backofficestorage/example.org/mbx/ann/Spam\r\n"));
    EXPECT_EQ(Left("ann@example.org", "Spam"), (Strings{"<ann-new>", "<ann-trashed-new>"}));
    EXPECT_TRUE(Left("ann@example.org", "Spam/Sub").empty());
    EXPECT_EQ(Left("bob@example.org", "Spam"), Strings{"<bob-old>"});  // not marked
}

// A mail server that refuses the administrator's login fails the mailbox's
// folder in the run's log with the server's words, as a mailbox not
// reached, which is a failure of the run (no absent mailbox); the run ends,
// and nothing is removed. (The words of a server that is down, or of one that
// refuses a login, are the IMAP session's tests.)
// A message the user removes while the run deletes (the server's deletes go
// in batches, made when the folder is done) is told in the log and not
// counted as the run's: of Spam's two (with its subfolder's), one.
TEST_F(MailStoreRunTest, AMessageRemovedMeanwhileIsToldNotCounted) {
    bool removed = false;
    SetMoveFaultHook([&](const std::string& href) {
        if (removed || href.find("/ann/Spam/") == std::string::npos ||
            href.find("/Sub/") != std::string::npos)
            return;
        removed = true;
        const auto done = platform::testing::RunProgram(
            {"/usr/bin/doveadm", "-c", server_->Folder() + "/dovecot.conf", "expunge", "-u",
             "ann@example.org", "mailbox", "Spam", "all"});
        ASSERT_EQ(done.code, 0) << done.err;
    });
    const std::string log = Run(Params());
    SetMoveFaultHook(nullptr);
    ASSERT_TRUE(removed);
    const std::string spam = "file://./backofficestorage/example.org/mbx/ann/Spam\r\n";
    EXPECT_TRUE(Contains(log, "1 selected messages were no longer found to delete in " + spam))
        << log;
    EXPECT_TRUE(Contains(log, "1 messages has been deleted in " + spam)) << log;
    EXPECT_TRUE(Left("ann@example.org", "Spam/Sub").empty());
}

TEST_F(MailStoreRunTest, AServerThatRefusesTheLoginFailsTheFolderInTheLog) {
    (void)Registration(Params());  // the system mailbox, made while the login is taken
    std::ofstream(server_->Folder() + "/quellix-password") << "not-the-master-password\n";
    // A thread of its own: its store handle has no session open yet.
    std::string refused;
    std::thread([&] { refused = Run(Params()); }).join();
    EXPECT_TRUE(
        Contains(refused, "mailbox not reached: LOGIN(" + server_->ImapUrl() +
                              " ann@example.org as quellix-admin) failed: the server answered "
                              "\"Authentication failed.\""));
    EXPECT_EQ(Record().foldersFailed, 1);
    EXPECT_EQ(Left("ann@example.org", "Spam").size(), 3U);
}

// Folders a kill test watches, each with the inotify events that count.
using Watched = std::vector<std::pair<std::string, uint32_t>>;

// An inotify descriptor on every folder of watched (made when missing).
platform::UniqueFd Watch(const Watched& watched) {
    platform::UniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    for (const auto& [dir, mask] : watched) {
        std::filesystem::create_directories(dir);
        if (inotify_add_watch(watch.Get(), dir.c_str(), mask) < 0) {
            ADD_FAILURE() << "inotify_add_watch " << dir;
        }
    }
    return watch;
}

// Reads every event waiting on watch, adding to seen those of the file
// named only (all of them when only is empty).
void CountEvents(int watch, const std::string& only, size_t& seen) {
    for (;;) {
        alignas(inotify_event) std::array<char, 4096> events{};
        const ssize_t n = read(watch, events.data(), events.size());
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events.data() + at);
            if (only.empty() || (e->len > 0 && only == e->name)) ++seen;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

// Puts back every message the last runs of the history moved that is still
// in its destination, and finishes a put-back a kill cut short, as undo
// does.
void UndoLastRuns(size_t runs) {
    using State = platform::MovedMessage::State;
    for (const auto& r : platform::RunHistoryReader::OpenCurrent().Runs(runs)) {
        for (const auto& m : platform::MovedMessagesOfRun(r.id)) {
            if (m.state == State::kInDestination || m.state == State::kPutBack) {
                (void)platform::PutBackMovedMessage(m);
            }
        }
    }
}

// The child half of the undo kill: the undo of the last
// QUELLIX_KILLED_UNDO_RUNS runs, on the parent's configuration, until it is
// killed.
TEST(MailStoreRunKill, UndoChild) {
    const char* runs = std::getenv("QUELLIX_KILLED_UNDO_RUNS");
    if (runs == nullptr) GTEST_SKIP() << "started only by the kill test";
    UndoLastRuns(static_cast<size_t>(std::atoi(runs)));
    _exit(0);
}

// The child half of the kill test: the sink's own firing of the move
// registration, on the parent's configuration, until it is killed. Before
// each move it asks the parent (a byte on the descriptor
// QUELLIX_KILLED_MOVE_ASK names) and waits for its word (a byte on
// QUELLIX_KILLED_MOVE_GO's), so that it never moves past the point where
// the parent kills it, however late the parent runs.
TEST(MailStoreRunKill, MoveChild) {
    const char* item = std::getenv("QUELLIX_KILLED_MOVE_ITEM");
    if (item == nullptr) GTEST_SKIP() << "started only by the kill test";
    const char* ask = std::getenv("QUELLIX_KILLED_MOVE_ASK");
    const char* go = std::getenv("QUELLIX_KILLED_MOVE_GO");
    if (ask == nullptr || go == nullptr) _exit(2);
    SetMoveFaultHook([ask = std::atoi(ask), go = std::atoi(go)](const std::string&) {
        char word = 'm';
        // The parent gone (no word): nobody waits for this run.
        if (write(ask, &word, 1) != 1 || read(go, &word, 1) != 1) _exit(3);
    });
    // A reference-counted object: its last Release frees it.
    auto* sink = new QuellixCls();  // NOLINT(cppcoreguidelines-owning-memory)
    (void)sink->OnTimer(item, 0);
    sink->Release();
    _exit(0);
}

// The destination's Maildir on a file system of its own (a tmpfs mounted
// on it, owned as the Maildir was) for as long as it lives; Mounted() is
// false where mounting is not permitted.
class OwnFileSystem {
public:
    explicit OwnFileSystem(const std::string& path) : path_(path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return;
        const std::string options = "size=64m,mode=0700,uid=" + std::to_string(st.st_uid) +
                                    ",gid=" + std::to_string(st.st_gid);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~OwnFileSystem() {
        if (mounted_) (void)::umount2(path_.c_str(), MNT_DETACH);
    }
    OwnFileSystem(const OwnFileSystem&) = delete;
    OwnFileSystem& operator=(const OwnFileSystem&) = delete;
    [[nodiscard]] bool Mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

class MailStoreRunMaildirTest : public MailStoreRun {
protected:
    void SetUp() override { SetUpServer(false); }
};

// Where a kill test's run moves its messages: between two mailboxes of the
// mail server, or between the mail server and the item store.
enum class Way { kMailServer, kIntoStore, kOutOfStore };
struct KillCase {
    const char* name;
    Way way = Way::kMailServer;
    bool across = false;  // the destination Maildir on a file system of its own
    bool imap = false;    // the mail server reached over IMAP rather than its Maildirs
};

void PrintTo(const KillCase& c, std::ostream* os) {
    *os << c.name;
}

// Param: the destination on another file system (a move is a copy, then the
// source removed) rather than the source's (one rename); or a move between
// the mail server (its Maildirs, or IMAP) and the item store (a copy, then
// the source removed, each step committed in the manifest).
class MailStoreRunKillTest : public MailStoreRun, public ::testing::WithParamInterface<KillCase> {
protected:
    void SetUp() override { SetUpServer(GetParam().imap); }
};

// A move run killed at points chosen by counting the files that reached the
// destination, or left the source (then a short random wait): no message is
// lost, and undo of the run leaves each in its folder exactly once with its
// date and flags. Where a move copies, then removes (between two stores,
// two file systems or two IMAP logins), a kill may leave both copies; the
// registration's next run keeps exactly one and leaves no move under way,
// whether it moves (every other round) or, switched to deleting, deletes
// (every fourth round), and undo of both runs puts each moved message back.
// Every fourth round the undo is killed too, and the next undo finishes it.
// The seed is fixed; a failure names its round's point.
TEST_P(MailStoreRunKillTest, AMoveKilledAnywhereLosesAndDoublesNothingAfterUndo) {
    const KillCase& c = GetParam();
    const bool betweenStores = c.way != Way::kMailServer;
    // A move that copies, then removes: no one step joins its two folders.
    const bool copies = betweenStores || c.across || c.imap;
    std::unique_ptr<OwnFileSystem> across;
    if (c.across) {
        across = std::make_unique<OwnFileSystem>(server_->MaildirOf("arch@example.org"));
        if (!across->Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
        server_->CreateFolder("arch@example.org", "Archive");  // Dovecot makes the Maildir anew
    }
    const int64_t carlSpam = betweenStores ? StoreMailboxes(c.way == Way::kIntoStore) : 0;
    OnTimerRegistration p = Params();
    p.mailboxToMove =
        c.way == Way::kIntoStore ? "Vault (vault@archive.test)" : "Archive (arch@example.org)";
    p.includeSubfolders = "0";
    const int64_t now = std::time(nullptr);
    const Strings flags = {"\\Seen", "", "\\Flagged \\Seen", "\\Answered"};
    // Into the source, in one session: (id, received, flags) each.
    const auto put = [&](const std::vector<localplatform::testing::ImapAppended>& messages) {
        if (c.way == Way::kOutOfStore) {
            for (const auto& m : messages) Store()->SaveMessage(carlSpam, m.rfc822, m.received);
        } else {
            (void)server_->Append("ann@example.org", "Spam", messages);
        }
    };
    std::vector<localplatform::testing::ImapAppended> messages;
    for (size_t i = 0; i < 24; ++i) {
        messages.push_back({Mail("kill-" + std::to_string(i)),
                            now - static_cast<int64_t>(20 + i) * 86400, flags[i % flags.size()]});
    }
    put(messages);
    // Every message of both folders as "id received flags" (the store
    // keeps no flags: "id received"), sorted: a lost message is missing, a
    // doubled one there twice.
    auto inSource = [&] {
        return c.way == Way::kOutOfStore ? InStore("carl", "Spam", "corp.test")
                                         : InServer("ann@example.org", "Spam");
    };
    auto held = [&] {
        Strings all = inSource();
        for (auto& m : c.way == Way::kIntoStore ? InStore("vault", "Inbox", "archive.test")
                                                : InServer("arch@example.org", ""))
            all.push_back(m);
        std::sort(all.begin(), all.end());
        return all;
    };
    // The same without the flags, which a copy in the store does not keep.
    auto heldIds = [&] {
        Strings all = held();
        for (auto& m : all) m = m.substr(0, m.find(' ', m.find(' ') + 1));
        std::sort(all.begin(), all.end());
        return all;
    };
    const Strings before = held();
    const Strings beforeIds = heldIds();
    const std::string item = Registration(p);
    // The kill comes at the n-th file the run makes in the destination (a
    // copy begun in tmp/ across file systems or over IMAP, a message
    // arrived in new/ or cur/), or, into the store, at the n-th write of
    // the store's log (every commit writes it: the entry, the copy with its
    // key, the entry done), so that it comes between a copy's commit and its
    // source's removal too. The run asks before each move (see MoveChild):
    // the parent lets it go on while fewer files than that came, else
    // leaves it waiting there for the kill. So the kill comes after the
    // n-th file (and the wait), before the next move at the latest.
    Watched watched;
    std::string only;  // the one file of a watched folder whose events count
    size_t points = 24;
    if (c.way == Way::kIntoStore) {
        const std::filesystem::path db = Store()->Path();
        watched = {{db.parent_path().string(), IN_MODIFY}};
        only = db.filename().string() + "-wal";
        points = 48;  // at least two commits a message
    } else {
        const std::string destination = server_->MaildirOf("arch@example.org");
        watched = {{destination + "/cur", IN_CREATE | IN_MOVED_TO},
                   {destination + "/new", IN_CREATE | IN_MOVED_TO},
                   {destination + "/tmp", IN_CREATE}};
        if (copies) points = 48;  // two files a message
    }
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    for (int round = 0; round < 16; ++round) {
        const size_t files = 1 + random() % points;
        const auto wait =
            std::chrono::microseconds(random() % (c.way == Way::kOutOfStore ? 2000 : 400));
        // Where a move copies, every other round the next run settles what
        // the kill left; every fourth, that run deletes.
        const bool nextRun = copies && round % 2 == 1;
        const bool deleting = nextRun && round % 4 == 3;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) +
                     ": killed at file " + std::to_string(files) + " + " +
                     std::to_string(wait.count()) + " us" +
                     (nextRun ? deleting ? ", then a delete run" : ", then the next run" : ""));
        const platform::UniqueFd watch = Watch(watched);
        ASSERT_TRUE(watch.IsOpen());
        // The child asks on one pipe, the parent gives its word on the other.
        std::array<int, 2> asks{-1, -1};
        std::array<int, 2> words{-1, -1};
        ASSERT_EQ(pipe2(asks.data(), O_CLOEXEC), 0);
        const platform::UniqueFd asked(asks[0]);
        platform::UniqueFd asking(asks[1]);
        ASSERT_EQ(pipe2(words.data(), O_CLOEXEC), 0);
        platform::UniqueFd hearing(words[0]);
        const platform::UniqueFd word(words[1]);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Its ends kept across exec.
            (void)fcntl(asks[1], F_SETFD, 0);
            (void)fcntl(words[0], F_SETFD, 0);
            setenv("QUELLIX_KILLED_MOVE_ITEM", item.c_str(), 1);
            setenv("QUELLIX_KILLED_MOVE_ASK", std::to_string(asks[1]).c_str(), 1);
            setenv("QUELLIX_KILLED_MOVE_GO", std::to_string(words[0]).c_str(), 1);
            execl("/proc/self/exe", "mail_store_run_test",
                  "--gtest_filter=MailStoreRunKill.MoveChild", nullptr);
            _exit(127);
        }
        asking.Reset();
        hearing.Reset();
        int status = 0;
        bool ended = false;
        size_t seen = 0;
        // Counts the files come so far (every event is read).
        const auto count = [&] { CountEvents(watch.Get(), only, seen); };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (seen < files && std::chrono::steady_clock::now() < deadline) {
            std::array<pollfd, 2> ready{{{watch.Get(), POLLIN, 0}, {asked.Get(), POLLIN, 0}}};
            (void)poll(ready.data(), ready.size(), 10);
            count();
            if (seen >= files) break;
            if (ready[1].revents != 0) {
                char question = 0;
                if (read(asked.Get(), &question, 1) == 1) {
                    // The files of the moves before it are in by now.
                    count();
                    if (seen >= files) break;  // it waits at this move for the kill
                    ASSERT_EQ(write(word.Get(), "g", 1), 1);
                    continue;
                }
            }
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                break;
            }
        }
        if (!ended) {
            for (const auto until = std::chrono::steady_clock::now() + wait;
                 std::chrono::steady_clock::now() < until;) {
            }
            ASSERT_EQ(kill(pid, SIGKILL), 0);
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
        }
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before the kill: " << status;
        // A copy, then a removal (across file systems or logins, between
        // two stores):
        // a kill may leave both copies, never neither.
        Strings kept = heldIds();
        if (copies) kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
        EXPECT_EQ(kept, beforeIds) << "after the kill";
        size_t runs = 1;
        if (nextRun) {
            const std::string moveTo = registration::CustomProperty(registration::kMailboxToMove);
            if (deleting) SetItemProperty(item, moveTo, platform::Variant(std::string()));
            NewRun();
            const auto failure = RunCleanup(thread_, Log(), Record(), item, 0);
            EXPECT_FALSE(failure) << failure->Description();
            if (deleting) SetItemProperty(item, moveTo, platform::Variant(p.mailboxToMove));
            EXPECT_EQ(MovesUnderWay(), 0) << "after the next run";
            // Each message once, every expired one in the destination (or,
            // deleted, gone from the source).
            const Strings ids = heldIds();
            EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end())
                << "a message twice after the next run";
            if (!deleting) {
                EXPECT_EQ(ids, beforeIds) << "after the next run";
            }
            EXPECT_EQ(inSource().size(), c.way == Way::kOutOfStore ? 0U : 2U)
                << "after the next run";
            runs = 2;
        }
        // Every fourth round of a copying move the undo is killed too, at a
        // point counted in the source's files (or the store's log) as the
        // run's kill was: a put-back copies, then removes, and the kill may
        // leave one under way for the undo after it.
        if (copies && round % 4 == 0) {
            Watched back;
            std::string backOnly;
            if (c.way == Way::kOutOfStore) {
                back = watched;  // the store's log
                backOnly = only;
            } else {
                const std::string spam = server_->MaildirOf("ann@example.org") + "/.Spam";
                back = {{spam + "/cur", IN_CREATE | IN_MOVED_TO},
                        {spam + "/new", IN_CREATE | IN_MOVED_TO},
                        {spam + "/tmp", IN_CREATE}};
            }
            const platform::UniqueFd undoWatch = Watch(back);
            const size_t undoFiles = 1 + random() % 24;
            const pid_t undo = fork();
            ASSERT_GE(undo, 0);
            if (undo == 0) {
                setenv("QUELLIX_KILLED_UNDO_RUNS", std::to_string(runs).c_str(), 1);
                execl("/proc/self/exe", "mail_store_run_test",
                      "--gtest_filter=MailStoreRunKill.UndoChild", nullptr);
                _exit(127);
            }
            size_t undoSeen = 0;
            int undoStatus = 0;
            bool undoEnded = false;
            const auto undoDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (undoSeen < undoFiles && std::chrono::steady_clock::now() < undoDeadline) {
                pollfd ready{undoWatch.Get(), POLLIN, 0};
                (void)poll(&ready, 1, 10);
                CountEvents(undoWatch.Get(), backOnly, undoSeen);
                if (undoSeen < undoFiles && waitpid(undo, &undoStatus, WNOHANG) == undo) {
                    undoEnded = true;  // it put everything back before the kill
                    break;
                }
            }
            if (!undoEnded) {
                for (const auto until = std::chrono::steady_clock::now() + wait;
                     std::chrono::steady_clock::now() < until;) {
                }
                (void)kill(undo, SIGKILL);
                ASSERT_EQ(waitpid(undo, &undoStatus, 0), undo);
            }
            Strings kept = heldIds();
            kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
            EXPECT_EQ(kept, beforeIds) << "after the undo's kill at file " << undoFiles;
        }
        // A run killed before the history recorded it moved nothing yet
        // (the runs read then are done with, and put back already).
        UndoLastRuns(runs);
        EXPECT_TRUE(Left("arch@example.org", "").empty()) << "after undo";
        EXPECT_TRUE(InStore("vault", "Inbox", "archive.test").empty()) << "after undo";
        if (!deleting) {
            EXPECT_EQ(held(), before) << "after undo";
            continue;
        }
        // What the delete run deleted is gone; the rest is back once, as it
        // was. The deleted ones ("<id> received flags") come anew for the
        // next round.
        const Strings after = held();
        EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end()))
            << "after undo";
        EXPECT_EQ(std::adjacent_find(after.begin(), after.end()), after.end()) << "after undo";
        std::vector<localplatform::testing::ImapAppended> deleted;
        for (const std::string& m : before) {
            if (std::binary_search(after.begin(), after.end(), m)) continue;
            const size_t space = m.find(' ');
            const size_t flagsAt = m.find(' ', space + 1);
            deleted.push_back({Mail(m.substr(1, space - 2)),
                               std::stoll(m.substr(space + 1, flagsAt - space - 1)),
                               flagsAt == std::string::npos ? "" : m.substr(flagsAt + 1)});
        }
        put(deleted);
        ASSERT_EQ(held(), before) << "the deleted messages put anew";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Moves, MailStoreRunKillTest,
    ::testing::Values(KillCase{"Same"}, KillCase{"Across", Way::kMailServer, true},
                      KillCase{"BetweenLoginsOverImap", Way::kMailServer, false, true},
                      KillCase{"IntoStore", Way::kIntoStore},
                      KillCase{"OutOfStore", Way::kOutOfStore},
                      KillCase{"IntoStoreOverImap", Way::kIntoStore, false, true},
                      KillCase{"OutOfStoreOverImap", Way::kOutOfStore, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Param: over IMAP (UID MOVE) rather than the Maildirs (one rename).
class MailStoreRunEachBackend : public MailStoreRun, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { SetUpServer(GetParam()); }
};

// A move made in one step whose outcome was not heard (its reply lost, a
// failure after the store acted) leaves its entry under way: the next run
// settles it from what the two folders hold. A message that left its folder
// is found in the destination, each entry its own of two twins alike in
// date and size; an entry whose message never left goes. Undo then puts
// back exactly what moved, with its flags.
TEST_P(MailStoreRunEachBackend, AMoveWhoseOutcomeWasNotHeardIsSettledFromTheFolders) {
    const int64_t old = std::time(nullptr) - int64_t{30} * 86400;
    (void)server_->Append("ann@example.org", "Spam",
                          {{Mail("twin-1"), old, "\\Flagged"}, {Mail("twin-2"), old, "\\Flagged"}});
    OnTimerRegistration p = Params();
    p.mailboxToMove = "Ann (ann@example.org)";  // her Inbox: one login, one file system
    p.includeSubfolders = "0";
    const Strings spam = InServer("ann@example.org", "Spam");
    const std::string item = Registration(p);
    NewRun();
    ASSERT_FALSE(RunCleanup(thread_, Log(), Record(), item, 0));
    const Strings archived = InServer("ann@example.org", "");
    ASSERT_EQ(archived.size(), 3U);
    // Every entry as a lost reply leaves it; and one more whose message
    // never left (a message of the source that stays).
    auto store = Store();
    const auto folder = store->Lookup({testing::kNamespace, "MBX", "ann", "Spam"});
    ASSERT_TRUE(folder);
    std::string stays;
    for (const auto& row : store->ItemsIn(folder->id)) {
        if (store->Content(row.id).find("<ann-new>") != std::string::npos) stays = row.name;
    }
    ASSERT_FALSE(stays.empty());
    store->FlushBatch();
    {
        auto db = localplatform::SqliteDb::Open(Store()->Path(), {});
        db.Exec("UPDATE moves SET under_way = 1, destination_key = NULL, destination_name = ''");
        auto copy = db.Prepare(
            "INSERT INTO moves(run, item, source_folder, source_path, source_name,"
            " destination_folder, destination_name, size, moved_at, source_key, destination_path,"
            " received, flags, under_way) SELECT run, 0, 0, source_path, ?1, 0, '', size,"
            " moved_at, ?1, destination_path, received, flags, 1 FROM moves LIMIT 1");
        copy.Bind(1, stays).Run();
    }
    // Listed before they are settled: the three are in the Inbox, the one
    // that never left is back.
    using State = platform::MovedMessage::State;
    const auto runs = platform::RunHistoryReader::OpenCurrent().Runs(1);
    ASSERT_EQ(runs.size(), 1U);
    std::map<State, int> states;
    for (const auto& m : platform::MovedMessagesOfRun(runs[0].id)) ++states[m.state];
    EXPECT_EQ(states, (std::map<State, int>{{State::kInDestination, 3}, {State::kPutBack, 1}}));
    NewRun();
    const auto failure = RunCleanup(thread_, Log(), Record(), item, 0);
    EXPECT_FALSE(failure) << failure->Description();
    EXPECT_EQ(MovesUnderWay(), 0);
    {
        auto db = localplatform::SqliteDb::Open(Store()->Path(), {});
        auto keys = db.Prepare("SELECT count(*), count(DISTINCT destination_key) FROM moves");
        ASSERT_TRUE(keys.Step());
        EXPECT_EQ(keys.Int(0), 3) << "the entry whose message never left is gone";
        EXPECT_EQ(keys.Int(1), 3) << "each entry names a message of its own";
    }
    EXPECT_EQ(InServer("ann@example.org", ""), archived);
    UndoLastRuns(2);
    EXPECT_TRUE(Left("ann@example.org", "").empty());
    EXPECT_EQ(InServer("ann@example.org", "Spam"), spam);
}

// A mail server's mailbox is reached by the entry's alias only: a try by
// the account or the address's local part would log in as (or open the
// home of) somebody else. Dora's account is the login of Bob, whose entry
// the directory does not hold; the mail server has no mailbox of hers.
// Bob's Spam stays whole, and the log does not name him.
TEST_P(MailStoreRunEachBackend, AMailServersMailboxIsReachedByTheAliasOnly) {
    std::filesystem::remove(dir_ + "/directory.ldb");
    Directory({{.cn = "Dora",
                .account = "bob",
                .alias = "dora",
                .mail = "dora@example.org",
                .mark = "Quellix"}});
    const std::string log = Run(Params());
    EXPECT_EQ(Left("bob@example.org", "Spam"), Strings{"<bob-old>"}) << log;
    EXPECT_FALSE(Contains(log, "bob")) << log;
    // Over IMAP the server refuses the login of a user it does not have: a
    // failure, said of Dora's own login. A Maildir tree without her home
    // holds no mailbox of hers, as a mailbox without the folder.
    EXPECT_EQ(Record().foldersFailed, GetParam() ? 1 : 0) << log;
    EXPECT_EQ(Contains(log, "LOGIN(" + server_->ImapUrl() + " dora@example.org as "), GetParam())
        << log;
}

INSTANTIATE_TEST_SUITE_P(Backends, MailStoreRunEachBackend, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Imap" : "Maildir"; });

// Dovecot renames a Maildir message's file whenever its flags change. With
// the user's client changing the flags of every message in Spam throughout
// a run, each message the run selected is deleted (or moved) under its
// new name, or counted in the log as no longer found: Dovecot then still
// holds exactly the expired messages the log says were not removed.
TEST_F(MailStoreRunMaildirTest, MessagesRenamedThroughoutARunAreRemovedOrTold) {
    const int64_t old = std::time(nullptr) - int64_t{30} * 86400;
    std::vector<localplatform::testing::ImapAppended> many;
    for (int i = 0; i < 200; ++i) many.push_back({Mail("renamed-" + std::to_string(i)), old, ""});
    (void)server_->Append("ann@example.org", "Spam", many);
    for (const bool moving : {false, true}) {
        SCOPED_TRACE(moving ? "a move run" : "a delete run");
        if (moving) (void)server_->Append("ann@example.org", "Spam", many);
        const size_t expired = Left("ann@example.org", "Spam").size() - 2;  // but the two new
        OnTimerRegistration p = Params();
        p.includeSubfolders = "0";
        if (moving) p.mailboxToMove = "Archive (arch@example.org)";
        std::atomic<bool> done{false};
        std::thread client([&] {
            for (int i = 0; !done; ++i) {
                // Each change bounded: a doveadm that waits on a lock cannot
                // hold the test.
                (void)platform::testing::RunProgram(
                    {"/usr/bin/timeout", "-s", "KILL", "20", "/usr/bin/doveadm", "-c",
                     server_->Folder() + "/dovecot.conf", "flags", i % 2 == 0 ? "add" : "remove",
                     "\\Flagged", "-u", "ann@example.org", "mailbox", "Spam", "all"});
            }
        });
        const std::string log = Run(p);
        done = true;
        client.join();
        const std::string spam = "file://./backofficestorage/example.org/mbx/ann/Spam";
        // The number that begins the log's line holding said.
        const auto count = [&](const std::string& said) {
            const size_t at = log.find(said);
            if (at == std::string::npos) return size_t{0};
            const size_t start = log.rfind('\n', at) + 1;
            return static_cast<size_t>(std::stoul(log.substr(start, at - start)));
        };
        const size_t removed = count(moving ? " messages has been moved from " + spam + " to "
                                            : " messages has been deleted in " + spam + "\r\n");
        const size_t missed =
            count(" selected messages were no longer found to " +
                  std::string(moving ? "move from " : "delete in ") + spam + "\r\n");
        EXPECT_EQ(Record().foldersFailed, 0) << log;
        EXPECT_EQ(removed + missed, expired) << log;
        EXPECT_EQ(Left("ann@example.org", "Spam").size(), 2 + missed) << log;
        if (moving) {
            EXPECT_EQ(Left("arch@example.org", "").size(), removed) << log;
        }
    }
}

// A copy between two stores holds the message in memory: one larger than
// store.max_copy_bytes (64 MiB unless set) is passed over before a byte of
// it is read, with a line that says so, and the run goes on with the rest of
// the folder and the next mailboxes. Ann's expired message grown to 100 MB
// (a sparse file: no disk or quota spent) stays in her Spam.
TEST_F(MailStoreRunMaildirTest, AMessageTooLargeToCopyIsPassedOverAndTheRunGoesOn) {
    (void)StoreMailboxes(true);
    OnTimerRegistration p = Params();
    p.mailboxToMove = "Vault (vault@archive.test)";
    const std::filesystem::path spam = server_->MaildirOf("ann@example.org") + "/.Spam/cur";
    std::string grown;
    for (const auto& f : std::filesystem::directory_iterator(spam)) {
        std::ifstream in(f.path());
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        if (Contains(text, "<ann-old>")) grown = f.path().string();
    }
    ASSERT_FALSE(grown.empty());
    const auto received = std::filesystem::last_write_time(grown);  // the message's date
    std::filesystem::resize_file(grown, 100'000'000);
    std::filesystem::last_write_time(grown, received);
    const platform::UniqueFd reads(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(reads.Get(), grown.c_str(), IN_ACCESS), 0);
    const std::string log = Run(p);
    std::array<char, 4096> events{};
    EXPECT_LT(read(reads.Get(), events.data(), events.size()), 0) << "the message was read";
    EXPECT_TRUE(Contains(log, "message skipped: ")) << log;
    EXPECT_TRUE(Contains(log,
                         "the message is 100000000 bytes, more than a copy between stores "
                         "takes (store.max_copy_bytes = 67108864); it stays"))
        << log;
    EXPECT_TRUE(Contains(log, "1 messages has been moved from ")) << log;  // Spam/Sub's
    EXPECT_TRUE(Contains(log, "Mailbox: Carl")) << log;
    EXPECT_EQ(Record().foldersFailed, 0) << log;
    EXPECT_TRUE(std::filesystem::exists(grown));
    Strings vault = InStore("vault", "Inbox", "archive.test");
    ASSERT_EQ(vault.size(), 1U);
    EXPECT_TRUE(vault[0].starts_with("<ann-sub-old> ")) << vault[0];
}

// Keywords go with a message wherever it moves, and come back with it on
// undo, as Dovecot reads them: into another user's Maildir, whose keyword
// list gives its letters to other names (each folder has its own), and
// into the item store, which keeps none (the move's entry does).
TEST_P(MailStoreRunEachBackend, KeywordsSurviveEveryMoveAndItsUndo) {
    const int64_t old = std::time(nullptr) - int64_t{30} * 86400;
    // Arch's list first names other keywords: "a" is Other there, $Junk in
    // Ann's Spam.
    (void)server_->Append("arch@example.org", "", {{Mail("arch-own"), old, "Other NonJunk"}});
    (void)server_->Append("ann@example.org", "Spam",
                          {{Mail("kw-1"), old, "\\Seen $Junk"},
                           {Mail("kw-2"), old, "$Junk NonJunk \\Flagged"},
                           {Mail("kw-3"), old, "Third"}});
    (void)StoreMailboxes(true);
    for (const char* to : {"Archive (arch@example.org)", "Vault (vault@archive.test)"}) {
        SCOPED_TRACE(to);
        const Strings spam = InServer("ann@example.org", "Spam");
        OnTimerRegistration p = Params();
        p.includeSubfolders = "0";
        p.mailboxToMove = to;
        const std::string log = Run(p);
        EXPECT_EQ(Record().foldersFailed, 0) << log;
        if (Contains(to, "arch@")) {
            Strings moved;
            for (const auto& m : spam)
                if (!Contains(m, "-new>")) moved.push_back(m);
            Strings there;
            for (const auto& m : InServer("arch@example.org", ""))
                if (!Contains(m, "<arch-own>")) there.push_back(m);
            EXPECT_EQ(there, moved);
        }
        UndoLastRuns(1);
        EXPECT_EQ(InServer("ann@example.org", "Spam"), spam);
    }
}

// Where the connection to the mail server fails, once: at the first
// command that holds command ("" the greeting), as fault says.
struct WireFault {
    const char* name;
    const char* command;
    ImapFaultProxy::Fault fault;
    const char* moveTo = nullptr;           // a move run's destination; a delete run without
    const char* login = "ann@example.org";  // whose session fails
};

void PrintTo(const WireFault& c, std::ostream* os) {
    *os << c.name;
}

class MailStoreRunWireFaultTest : public MailStoreRun,
                                  public ::testing::WithParamInterface<WireFault> {
protected:
    void SetUp() override { SetUpServer(true); }
};

// A connection that fails anywhere (the greeting not heard, the session
// dropped, a reply cut or lost after the server acted) fails the folder in
// the run's log, naming the server and the login, and in its record; no
// other form of the mailbox is tried in its place. The next run, the
// connection whole, settles what the fault left: the expired messages are
// gone, or each is in the destination once with its flags, and undo puts
// back exactly what was there.
TEST_P(MailStoreRunWireFaultTest, AFailedConnectionIsToldAndTheNextRunEndsTheWork) {
    const WireFault& c = GetParam();
    OnTimerRegistration p = Params();
    if (c.moveTo != nullptr) p.mailboxToMove = c.moveTo;
    auto held = [&] {
        Strings all;
        for (const auto& [login, folder] :
             std::vector<std::pair<std::string, std::string>>{{"ann@example.org", "Spam"},
                                                              {"ann@example.org", "Spam/Sub"},
                                                              {"ann@example.org", ""},
                                                              {"arch@example.org", ""}})
            for (const auto& m : InServer(login, folder)) all.push_back(login + " " + m);
        return all;
    };
    const Strings before = held();
    const std::string item = Registration(p);
    ImapFaultProxy proxy(server_->ImapPort(), c.command, c.fault);
    const std::string url = "imap://127.0.0.1:" + std::to_string(proxy.Port());
    ConfigureImap(url, {"reply_timeout_ms = 1000"});
    NewRun();
    (void)RunCleanup(thread_, Log(), Record(), item, 0);
    ASSERT_TRUE(proxy.Struck());
    const std::string failed = ReadLog();
    EXPECT_EQ(Record().foldersFailed, 1) << failed;
    EXPECT_TRUE(Contains(failed, url + " " + c.login)) << failed;

    NewRun();
    const auto failure = RunCleanup(thread_, Log(), Record(), item, 0);
    EXPECT_FALSE(failure) << failure->Description();
    EXPECT_EQ(Record().foldersFailed, 0) << ReadLog();
    EXPECT_EQ(MovesUnderWay(), 0);
    EXPECT_EQ(Left("ann@example.org", "Spam"), (Strings{"<ann-new>", "<ann-trashed-new>"}));
    EXPECT_TRUE(Left("ann@example.org", "Spam/Sub").empty());
    if (c.moveTo != nullptr) {
        const std::string to = Contains(c.moveTo, "arch@") ? "arch@example.org" : "ann@example.org";
        Strings moved;
        for (const auto& m : before)
            if (Contains(m, "<ann-old>") || Contains(m, "<ann-sub-old>"))
                moved.push_back(m.substr(m.find(' ') + 1));
        std::sort(moved.begin(), moved.end());
        EXPECT_EQ(InServer(to, ""), moved) << "each moved message once, with its date and flags";
        UndoLastRuns(2);
        EXPECT_EQ(held(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MailStoreRunWireFaultTest,
    ::testing::Values(
        WireFault{"GreetingNeverComes", "", ImapFaultProxy::Fault::kStallBeforeReply},
        WireFault{"DroppedBeforeTheGreeting", "", ImapFaultProxy::Fault::kDropBeforeReply},
        WireFault{"DroppedAfterLogin", "LOGIN", ImapFaultProxy::Fault::kDropAfterReply},
        WireFault{"FetchCutShort", "UID FETCH", ImapFaultProxy::Fault::kCutReply},
        WireFault{"ExpungeReplyLost", "EXPUNGE", ImapFaultProxy::Fault::kDropBeforeReply},
        WireFault{"MoveReplyLost", "UID MOVE", ImapFaultProxy::Fault::kDropBeforeReply,
                  "Ann (ann@example.org)"},
        WireFault{"DroppedAfterAppend", "APPEND", ImapFaultProxy::Fault::kDropBeforeReply,
                  "Archive (arch@example.org)", "arch@example.org"}),
    [](const auto& info) { return std::string(info.param.name); });
}  // namespace
}  // namespace quellix
