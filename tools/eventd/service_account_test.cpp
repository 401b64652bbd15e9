// The installed layout under a real service account: root's state (the
// component catalog, the class registry, the configuration) apart from the
// account's data (store, directory, history, temporary and pickup folders).
// Root sets the server up with the ordinary commands; the first firing then
// runs under the account with no change of owners by hand; and the account
// can neither change what runs as whom nor, when an administrator opens the
// state to it after all, make the service run anything as root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/testing/contains.h"
#include "base/testing/run_program.h"
#include "base/testing/system_account.h"
#include "localplatform/catalog/component_catalog.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "platform/ado.h"
#include "registration/registration.h"
#include "tools/eventd/event_service.h"
#include "tools/eventd/testing/installed_layout.h"

namespace {

using platform::testing::Contains;

using platform::testing::RunProgram;
using platform::testing::SystemAccount;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

class ServiceAccountLayout : public eventd::testing::InstalledLayout {
protected:
    void SetUp() override {
        std::string why;
        account_ = SystemAccount::Create("qxsvc", &why);
        if (!account_) GTEST_SKIP() << "needs root to make a service account: " << why;
        SetupFixture::SetUp();
        LayOut(*account_, "",
               {{.cn = "Ann Lee", .account = "alee", .alias = "ann", .mail = "ann@example.org"}});
    }
    void TearDown() override {
        if (account_) SetupFixture::TearDown();
        account_.reset();
    }

    platform::testing::ProgramOutcome Eventd(Strings args) {
        args.insert(args.begin(), {QUELLIX_EVENTD_PATH, "--config", config_});
        return RunProgram(args);
    }
    // Installs as root with the account as the identity; the instant of the
    // next firing.
    int64_t Install() {
        auto o = Setup({"install", "--identity", account_->Name(), "--password-file", "-",
                        "--folder", "Junk", "--age", "3", "--run", "Every day", "--start",
                        "3:00 AM", "--report-to", "admin@example.org"},
                       "secret\n");
        EXPECT_EQ(o.code, 0) << o.out << o.err;
        o = Setup({"mark", "ann@example.org"});
        EXPECT_EQ(o.code, 0) << o.out << o.err;
        return FireSoon();
    }
    // Moves the registration's timer so that it fires three seconds from
    // now (--once waits for an instant still ahead), as a registration
    // written at that time of day fourteen days ago would; the instant.
    int64_t FireSoon() {
        const int64_t at = std::time(nullptr) + 3;
        {
            platform::Record rec;
            rec.Open(FileUrl(quellix::testing::kSystemMailbox,
                             "StoreEvents/GlobalEvents/" + std::string(registration::kItemName)),
                     nullptr, platform::adModeReadWrite);
            rec.Fields(registration::kTimerStartTime)
                .SetValue(
                    platform::Variant(platform::Date::FromUnixSeconds(at - 14 * int64_t{86400})));
            rec.Fields().Update();
        }
        const auto o = Eventd({"--list"});
        const size_t next = o.out.find("next ");
        EXPECT_NE(next, std::string::npos) << o.out << o.err;
        EXPECT_EQ(next == std::string::npos ? 0 : *eventd::ParseIsoUtc(o.out.substr(next + 5, 20)),
                  at)
            << o.out;
        return at;
    }

    std::unique_ptr<SystemAccount> account_;
};

// The path to root: from the account, remove the application and install
// one that runs as root; replace the catalog with one of its own. On the
// layout the account can write neither file nor their folder; and a state
// folder opened to it by hand is refused by the service, naming the file.
TEST_F(ServiceAccountLayout, TheAccountCannotMakeTheServiceRunAnythingAsRoot) {
    const int64_t at = Install();
    const std::string catalog = dir_ + "/catalog.db";
    auto identity = [&] {
        return localplatform::ComponentCatalog::Open(catalog, 1000, false)
            .FindApplication("Quellix")
            .value_or(localplatform::CatalogApplication{})
            .identity;
    };
    const Strings setup = {QUELLIX_SETUP_PATH, "--config", config_};
    auto asAccount = [&](Strings args, const std::string& input = "") {
        args.insert(args.begin(), setup.begin(), setup.end());
        return account_->Run(args, input);
    };
    auto o = asAccount({"uninstall", "--yes"});
    EXPECT_NE(o.code, 0) << o.out << o.err;
    o = asAccount({"install", "--identity", "root", "--password-file", "-"}, "x\n");
    EXPECT_NE(o.code, 0) << o.out << o.err;
    EXPECT_EQ(identity(), account_->Name());
    const std::string forged = data_ + "/catalog.db";
    fs::copy_file(catalog, forged);
    o = account_->Run({"/bin/mv", forged, catalog});
    EXPECT_NE(o.code, 0) << "the account replaced the catalog";

    // The administrator opens the state folder to the account after all;
    // the account puts in a catalog whose application runs as root.
    localplatform::SqliteDb::Open(forged, {.create = false, .source = "test"})
        .Exec("UPDATE applications SET identity = 'root'");
    for (const std::string& path : {dir_, forged}) {
        ASSERT_EQ(chown(path.c_str(), account_->Uid(), account_->Gid()), 0) << path;
    }
    o = account_->Run({"/bin/mv", forged, catalog});
    ASSERT_EQ(o.code, 0) << o.err;
    Message(Folder("ann", "Junk"), "ann-old", platform::Date::NowUtc().AddDays(-5));
    o = Eventd({"--once", eventd::IsoUtc(at)});
    EXPECT_EQ(o.code, 1) << o.err;
    EXPECT_FALSE(Contains(o.err, "quellix-eventd: fired"));
    EXPECT_TRUE(Contains(o.err, "refusing the platform configuration " + config_ + ": owner of " +
                                    dir_ + " is uid " + std::to_string(account_->Uid()) +
                                    ", not root"));
    // The configuration moved back to a folder of root's: the catalog is
    // still the account's, and refused by name when the timer fires (the
    // account's own setup commands rewrote the registration meanwhile).
    ASSERT_EQ(chown(dir_.c_str(), 0, 0), 0);
    o = Eventd({"--once", eventd::IsoUtc(FireSoon())});
    EXPECT_EQ(o.code, 1) << o.err;
    EXPECT_FALSE(Contains(o.err, "quellix-eventd: fired"));
    EXPECT_TRUE(Contains(o.err, "refusing the component catalog " + catalog + ": owner of " +
                                    catalog + " is uid " + std::to_string(account_->Uid()) +
                                    ", not root"));
    EXPECT_EQ(Messages("ann", "Junk"), Strings{"ann-old"});
}

}  // namespace
