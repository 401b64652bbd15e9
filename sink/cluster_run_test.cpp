// Runs on a Dovecot cluster as large sites run one: two backends, each
// holding the mail of the users homed on it, and a proxy in front that routes
// each login to its backend by the user's entry in the directory (slapd,
// which the runs read too). One Quellix cleans every mailbox through the
// proxy, over IMAP as the master user; or one Quellix beside each backend
// cleans its own Maildirs, treating only the mailboxes homed there. What
// remains is read back from each backend through Dovecot.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/testing/server_process.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "localplatform/store/testing/dovecot_server.h"
#include "sink/quellix_module.h"
#include "sink/testing/sink_fixture.h"

namespace quellix {
namespace {

using localplatform::directory::testing::SlapdHarness;
using localplatform::testing::DovecotServer;
using Strings = std::vector<std::string>;

std::string Mail(const std::string& id) {
    return "From: a@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id + ">\r\n\r\nbody\r\n";
}

// Who lives where: the backend's address and its users.
struct Backend {
    const char* address;
    std::array<const char*, 2> aliases;
};
const Backend kBackends[] = {
    {"127.0.0.2", {"ann", "bob"}},
    {"127.0.0.3", {"cid", "dee"}},
};

class ClusterRunTest : public testing::SinkFixture {
protected:
    void SetUp() override {
        if (!DovecotServer::Available() || !SlapdHarness::Available() ||
            ::access("/usr/lib/dovecot/modules/auth/libauthdb_ldap.so", R_OK) != 0)
            GTEST_SKIP() << "dovecot with its LDAP passdb (dovecot-ldap), or slapd, is missing";
        SinkFixture::SetUp();
    }

    // The directory, the backends and the proxy. Every user but dee is
    // marked; the proxy finds a user's backend by the entry's host. The
    // users are homed on the server homeOf names for their backend.
    void StartCluster(const std::function<std::string(size_t backend)>& homeOf) {
        std::vector<testing::User> users;
        for (size_t i = 0; i < std::size(kBackends); ++i) {
            for (const std::string alias : kBackends[i].aliases) {
                auto u = testing::MailUser(
                    alias, alias, alias + "@example.org",
                    alias == "dee" ? std::nullopt : std::optional<std::string>("Quellix"));
                u.homeServer = homeOf(i);
                u.mailHost = kBackends[i].address;
                users.push_back(u);
            }
        }
        slapd_ = testing::StartSlapd(users, dir_ + "/users.ldif");
        // The backends share a port, each on its own address.
        const int port = platform::testing::FreeLoopbackPort();
        for (const auto& b : kBackends) {
            DovecotServer::Options o;
            o.address = b.address;
            o.port = port;
            o.users.clear();
            for (const std::string alias : b.aliases)
                o.users.push_back({alias + "@example.org", alias});
            backends_.push_back(std::make_unique<DovecotServer>(o));
        }
        DovecotServer::Options p;
        p.users.clear();
        p.proxy =
            DovecotServer::Options::Proxy{slapd_->Uri(), slapd_->Settings().rootDn,
                                          slapd_->Settings().rootPassword, testing::kBaseDn, port};
        proxy_ = std::make_unique<DovecotServer>(p);

        const int64_t now = std::time(nullptr);
        for (size_t i = 0; i < backends_.size(); ++i) {
            for (const std::string alias : kBackends[i].aliases) {
                const std::string login = alias + "@example.org";
                backends_[i]->Append(login, "Spam", Mail(alias + "-old"), now - int64_t{20} * 86400,
                                     "\\Seen $Junk");
                backends_[i]->Append(login, "Spam", Mail(alias + "-new"), now - 86400);
            }
        }
    }

    // One Quellix's run, on a data folder of its own: this server's name,
    // its mail store's lines.
    std::string RunAs(const std::string& server, const Strings& mailStore) {
        Strings lines = {slapd_->ConfigLines(), "server.computer_name = " + server,
                         "data_dir = " + dir_ + "/" + server};
        lines.insert(lines.end(), mailStore.begin(), mailStore.end());
        ::mkdir((dir_ + "/" + server).c_str(), 0700);
        Configure(lines);
        if (!Store()->Lookup({testing::kNamespace})) Store()->CreateNamespace(testing::kNamespace);
        ResetRunState();
        thread_.server = ServerNames{};
        registration::OnTimerRegistration params = testing::RunParams();
        params.searchRoot = "GC://127.0.0.1";
        const std::string item = Registration(params);
        NewRun();
        const auto failure = RunCleanup(thread_, Log(), Record(), item, 0);
        EXPECT_FALSE(failure) << failure->Description();
        return ReadLog();
    }

    // What each user's Spam holds, by Message-ID, read from its backend.
    std::map<std::string, Strings> Left() {
        std::map<std::string, Strings> left;
        for (size_t i = 0; i < backends_.size(); ++i) {
            for (const std::string alias : kBackends[i].aliases) {
                Strings& ids = left[alias];
                for (const auto& m : backends_[i]->Messages(alias + "@example.org", "Spam"))
                    ids.push_back(m.messageId);
                std::sort(ids.begin(), ids.end());
            }
        }
        return left;
    }

    std::unique_ptr<SlapdHarness> slapd_;
    std::vector<std::unique_ptr<DovecotServer>> backends_;
    std::unique_ptr<DovecotServer> proxy_;
};

// Through the proxy: every user is homed on the one server the run knows
// (the cluster's name); one run reaches every marked mailbox on either
// backend in sessions side by side (the proxy finds the backend, the run
// does not know there are two), and leaves the unmarked one and the recent
// mail.
TEST_F(ClusterRunTest, OneRunThroughTheProxyCleansEveryBackend) {
    StartCluster([](size_t) { return "MAIL"; });
    const std::string password = dir_ + "/master-password";
    std::ofstream(password) << proxy_->Settings().masterPassword << "\n";
    ::chmod(password.c_str(), 0600);
    const std::string key = std::string("mailstore.") + testing::kNamespace;
    const std::string log =
        RunAs("mail", {"run.workers = 3", key + " = " + proxy_->ImapUrl(), key + ".login = %n@%d",
                       key + ".auth = master", key + ".admin = " + proxy_->Settings().masterUser,
                       key + ".password_file = " + password, key + ".starttls = no"});
    EXPECT_EQ(testing::TreatedMailboxes(log), (Strings{"ann", "bob", "cid"})) << log;
    const std::map<std::string, Strings> want = {{"ann", {"<ann-new>"}},
                                                 {"bob", {"<bob-new>"}},
                                                 {"cid", {"<cid-new>"}},
                                                 {"dee", {"<dee-new>", "<dee-old>"}}};
    EXPECT_EQ(Left(), want) << log;
}

// One Quellix beside each backend, on its Maildirs, against the same
// directory: each treats only the mailboxes homed on its server, and the
// other backend's mail is left until its own Quellix runs.
TEST_F(ClusterRunTest, EachBackendsQuellixCleansOnlyTheMailboxesHomedThere) {
    StartCluster([](size_t backend) { return backend == 0 ? "EXCH01" : "EXCH02"; });
    std::string log = RunAs("exch01", {backends_[0]->MaildirConfigLines(testing::kNamespace)});
    EXPECT_EQ(testing::TreatedMailboxes(log), (Strings{"ann", "bob"})) << log;
    std::map<std::string, Strings> want = {{"ann", {"<ann-new>"}},
                                           {"bob", {"<bob-new>"}},
                                           {"cid", {"<cid-new>", "<cid-old>"}},
                                           {"dee", {"<dee-new>", "<dee-old>"}}};
    EXPECT_EQ(Left(), want) << log;
    log = RunAs("exch02", {backends_[1]->MaildirConfigLines(testing::kNamespace)});
    EXPECT_EQ(testing::TreatedMailboxes(log), (Strings{"cid"})) << log;
    want["cid"] = {"<cid-new>"};
    EXPECT_EQ(Left(), want) << log;
}

}  // namespace
}  // namespace quellix
