// Runs that sweep several mailboxes at once tell exactly what a run that
// sweeps them one after the other tells: the same log, line for line and in
// the directory's order, the same history, the same moves in the manifest,
// and the same mail left behind, read back through Dovecot. Each scenario
// runs twice on the same mail, once with one worker and once with two or
// eight, with failures of several kinds among the mailboxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/testing/run_program.h"
#include "localplatform/store/testing/dovecot_server.h"
#include "platform/move_manifest.h"
#include "platform/run_history.h"
#include "sink/quellix_cls.h"
#include "sink/sweep.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using localplatform::testing::DovecotServer;
using Strings = std::vector<std::string>;

constexpr int kUsers = 10;

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

struct WorkersCase {
    const char* name;
    bool imap;
    bool move;
    bool storeMailboxes;  // mailboxes of the item store beside the server's
    bool faults;          // a folder whose sweep fails, a message taken meanwhile
    // Two workers hold 8 mailboxes at once, fewer than the run treats: the
    // rest come in as the first are told.
    int workers;
};

// What a run left for a reader: its log without the times, its history,
// its moves and the mail that remains.
struct Outcome {
    std::string log;
    Strings history;
    Strings moves;
    Strings mail;
    bool operator==(const Outcome&) const = default;
};

class ParallelRunTest : public testing::SinkFixture,
                        public ::testing::WithParamInterface<WorkersCase> {
protected:
    void SetUp() override {
        if (!DovecotServer::Available()) GTEST_SKIP() << "dovecot is not installed";
        SinkFixture::SetUp();
        DovecotServer::Options options;
        options.users.clear();
        for (int i = 0; i < kUsers; ++i) options.users.push_back({Login(i), "secret"});
        options.users.push_back({"arch@example.org", "secret"});
        server_ = std::make_unique<DovecotServer>(options);
        std::vector<testing::User> users;
        users.reserve(kUsers + 4);
        for (int i = 0; i < kUsers; ++i) {
            users.push_back(
                testing::MailUser("User " + std::to_string(i), Alias(i), Login(i),
                                  i == 4 ? std::nullopt : std::optional<std::string>("Quellix")));
        }
        users.push_back(testing::MailUser("Archive", "arch", "arch@example.org"));
        // Known to the directory, not to the mail server: its login is
        // refused over IMAP, its Maildir is not there.
        users.push_back(testing::MailUser("Ghost", "ghost", "ghost@example.org", "Quellix"));
        if (GetParam().storeMailboxes) {
            users.push_back(testing::MailUser("Carl", "carl", "carl@corp.test", "Quellix"));
            users.push_back(testing::MailUser("Dora", "dora", "dora@corp.test", "Quellix"));
        }
        Directory(users);
        server_->CreateFolder("arch@example.org", "Archive");
    }

    static std::string Alias(int i) { return "u" + std::to_string(i); }
    static std::string Login(int i) { return Alias(i) + "@example.org"; }

    // The same mail, afresh: every folder of every user emptied first.
    void Populate() {
        for (int i = 0; i <= kUsers; ++i) {
            const std::string login = i == kUsers ? "arch@example.org" : Login(i);
            (void)platform::testing::RunProgram({"/usr/bin/doveadm", "-c",
                                                 server_->Folder() + "/dovecot.conf", "expunge",
                                                 "-u", login, "mailbox", "*", "all"});
        }
        const int64_t now = std::time(nullptr);
        for (int i = 0; i < kUsers; ++i) {
            if (i == 5) continue;  // no junk folder at all
            std::vector<localplatform::testing::ImapAppended> spam;
            spam.reserve(5);
            for (int m = 0; m < i % 4 + 1; ++m) {
                spam.push_back({Mail(Alias(i) + "-old-" + std::to_string(m)),
                                now - int64_t{20 + m} * 86400, m % 2 == 0 ? "\\Seen" : ""});
            }
            spam.push_back({Mail(Alias(i) + "-new"), now - 86400, ""});
            (void)server_->Append(Login(i), "Spam", spam);
            if (i % 3 == 0)
                (void)server_->Append(Login(i), "Spam/Sub", Mail(Alias(i) + "-sub"),
                                      now - int64_t{30} * 86400);
        }
        if (GetParam().storeMailboxes) {
            for (const char* alias : {"carl", "dora"}) {
                const int64_t spam = Folder(alias, "Spam", "corp.test");
                for (int m = 0; m < 3; ++m) {
                    (void)Message(spam, std::string(alias) + "-old-" + std::to_string(m),
                                  platform::Date::FromUnixSeconds(now - int64_t{20} * 86400));
                }
            }
        }
    }

    void ConfigureFor(int workers) {
        const std::string key = std::string("mailstore.") + testing::kNamespace;
        Strings lines = {"run.workers = " + std::to_string(workers)};
        if (GetParam().imap) {
            const std::string password = server_->Folder() + "/quellix-password";
            std::ofstream(password) << server_->Settings().masterPassword << "\n";
            ::chmod(password.c_str(), 0600);
            lines.insert(
                lines.end(),
                {key + " = " + server_->ImapUrl(), key + ".login = %n@%d", key + ".auth = master",
                 key + ".admin = " + server_->Settings().masterUser,
                 key + ".password_file = " + password, key + ".starttls = no"});
        } else {
            std::string line = server_->MaildirConfigLines(testing::kNamespace);
            line.pop_back();
            lines.push_back(line);
        }
        Configure(lines);
    }

    // One whole run, as the event service fires it, on a thread of its own
    // (whose store handles and sessions begin afresh), with `workers`.
    Outcome RunWith(int workers) {
        Populate();
        ConfigureFor(workers);
        registration::OnTimerRegistration params = testing::RunParams();
        params.includeSubfolders = "1";
        if (GetParam().move) params.mailboxToMove = "Archive (arch@example.org)";
        const std::string item = Registration(params);
        std::atomic<bool> taken{false};
        if (GetParam().faults) {
            SetMoveFaultHook([&](const std::string& href) {
                if (href.find("/u3/Spam/") != std::string::npos &&
                    href.find("/Sub/") == std::string::npos)
                    throw platform::Error(platform::err::kFail, "refused by the test", "hook");
                if (href.find("/u7/Spam/") != std::string::npos && !taken.exchange(true)) {
                    (void)platform::testing::RunProgram(
                        {"/usr/bin/doveadm", "-c", server_->Folder() + "/dovecot.conf", "expunge",
                         "-u", Login(7), "mailbox", "Spam", "all"});
                }
            });
        }
        std::thread([&] {
            auto* sink = new QuellixCls();  // NOLINT(cppcoreguidelines-owning-memory)
            (void)sink->OnTimer(item.c_str(), 0);
            sink->Release();
        }).join();
        SetMoveFaultHook(nullptr);

        Outcome o;
        // The frame's times differ from run to run.
        o.log = std::regex_replace(ReadLog(), std::regex("(Started|Completed) at: [^\r\n]*"),
                                   "$1 at: TIME");
        o.log = std::regex_replace(o.log, std::regex("\\[[0-9: -]{19}\\]"), "[TIME]");
        const auto runs = platform::RunHistoryReader::OpenCurrent().Runs(1);
        if (runs.empty()) return o;
        const platform::RunSummary& run = runs.front();
        o.history.push_back(
            run.outcome + " " + run.detail + " mailboxes " + std::to_string(run.mailboxes) +
            " deleted " + std::to_string(run.deleted) + " moved " + std::to_string(run.moved) +
            " bytes " + std::to_string(run.bytes) + " errors " + std::to_string(run.errors));
        for (const auto& f : platform::RunHistoryReader::OpenCurrent().Folders(run.id)) {
            o.history.push_back(f.mailbox + " " + f.url + " " + std::to_string(f.count) + " " +
                                std::to_string(f.bytes) + " " + (f.moved ? "moved " : "") +
                                f.error);
        }
        for (const auto& m : platform::MovedMessagesOfRun(run.id)) {
            o.moves.push_back(m.sourceFolderUrl + " " + std::to_string(m.size) + " " +
                              std::to_string(static_cast<int>(m.state)));
        }
        std::sort(o.moves.begin(), o.moves.end());
        for (int i = 0; i <= kUsers; ++i) {
            const std::string login = i == kUsers ? "arch@example.org" : Login(i);
            for (const std::string folder : {"", "Spam", "Spam/Sub"}) {
                for (const auto& m : server_->Messages(login, folder))
                    o.mail.push_back(login + " " + folder + " " + m.messageId + " " + m.flags);
            }
        }
        std::sort(o.mail.begin(), o.mail.end());
        if (GetParam().storeMailboxes) {
            for (const char* alias : {"carl", "dora"})
                for (const auto& s : Subjects(alias, "Spam", "corp.test")) o.mail.push_back(s);
        }
        return o;
    }

    std::unique_ptr<DovecotServer> server_;
};

TEST_P(ParallelRunTest, ManyWorkersTellWhatOneTells) {
    const Outcome one = RunWith(1);
    const Outcome many = RunWith(GetParam().workers);
    // The scenario did what it is for: mailboxes swept, and failures told.
    EXPECT_EQ(testing::TreatedMailboxes(one.log).size(),
              size_t{kUsers} + (GetParam().storeMailboxes ? 2 : 0))
        << one.log;
    if (GetParam().faults) {
        EXPECT_NE(one.log.find("refused by the test"), std::string::npos) << one.log;
    }
    EXPECT_EQ(one.log, many.log);
    EXPECT_EQ(one.history, many.history);
    EXPECT_EQ(one.moves, many.moves);
    EXPECT_EQ(one.mail, many.mail);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ParallelRunTest,
    ::testing::Values(WorkersCase{"MaildirMoveWithFaults", false, true, false, true, 2},
                      WorkersCase{"ImapDeleteWithFaults", true, false, false, true, 8},
                      WorkersCase{"ImapMoveWithStoreMailboxes", true, true, true, true, 8},
                      WorkersCase{"MaildirDeleteWithStoreMailboxes", false, false, true, false, 2}),
    [](const ::testing::TestParamInfo<WorkersCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quellix
