// From an empty server to a cleanup that nobody starts by hand: quellix-setup
// installs the component application, writes the registration and marks a
// mailbox; quellix-eventd fires the registration at its instant, in a
// surrogate under the application's identity; the run log and the report
// show the cleanup of exactly the marked mailbox.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/testing/contains.h"
#include "base/testing/file_text.h"
#include "base/testing/run_program.h"
#include "base/testing/system_account.h"
#include "registration/registration.h"
#include "setup/testing/setup_fixture.h"
#include "tools/eventd/event_service.h"
#include "tools/eventd/surrogate.h"

namespace {

using platform::testing::Contains;

using platform::testing::RunProgram;
using platform::testing::SystemAccount;
using Strings = std::vector<std::string>;

class EventdEndToEnd : public setup::testing::SetupFixture {};

TEST_F(EventdEndToEnd, SetupInstallsTheServiceFiresTheMarkedMailboxesAreCleaned) {
    if (geteuid() == 0) {
        // Root's service runs components only under an account of their
        // own, on the installed layout (service_account_test fires that
        // way). This story is a service run by an ordinary account: root
        // tells it again as an account made for it.
        std::string why;
        const auto account = SystemAccount::Create("qxe2e", &why);
        if (!account) GTEST_SKIP() << why;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        if (account->Run({"/usr/bin/test", "-x", self}).code != 0)
            GTEST_SKIP() << "an account of its own cannot run " << self;
        // From "/": this process stands in a folder of its own, private.
        const auto o =
            account->Run({"/usr/bin/env", "--chdir=/", self, "--gtest_filter=EventdEndToEnd.*"});
        EXPECT_EQ(o.code, 0) << o.out << o.err;
        return;
    }
    ASSERT_TRUE(LoadDirectory({
        {.cn = "Ann Lee", .account = "alee", .alias = "ann", .mail = "ann@example.org"},
        {.cn = "Cid Free", .account = "cid", .alias = "cid", .mail = "cid@example.org"},
    }));
    Configure({"eventd.host = " QUELLIX_HOST_PATH, "eventd.run_limit_s = 120"});
    const std::string config = std::getenv("QUELLIX_CONFIG");
    auto setup = [&](Strings args, const std::string& input = "") {
        args.insert(args.begin(), {QUELLIX_SETUP_PATH, "--config", config});
        return RunProgram(args, input);
    };
    auto eventd = [&](Strings args) {
        args.insert(args.begin(), {QUELLIX_EVENTD_PATH, "--config", config});
        return RunProgram(args);
    };

    // The application runs as the account that runs this test, so the run
    // can reach the test's private folder.
    auto o = setup({"install", "--identity", eventd::CurrentAccountName(), "--password-file", "-",
                    "--folder", "Junk", "--age", "3", "--run", "Every day", "--start", "3:00 AM",
                    "--report-to", "Admin (admin@example.org)"},
                   "secret\n");
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    o = setup({"mark", "ann@example.org"});
    ASSERT_EQ(o.code, 0) << o.out << o.err;

    const platform::Date now = platform::Date::NowUtc();
    Message(Folder("ann", "Junk"), "ann-old", now.AddDays(-5));
    Message(Folder("ann", "Junk"), "ann-young", now.AddDays(-1));
    Message(Folder("cid", "Junk"), "cid-old", now.AddDays(-5));

    // The next firing, as the service works it out: 3:00 AM (UTC here).
    o = eventd({"--list"});
    ASSERT_EQ(o.code, 0) << o.err;
    const size_t next = o.out.find("next ");
    ASSERT_NE(next, std::string::npos) << o.out;
    const std::string nextText = o.out.substr(next + 5, 20);
    EXPECT_EQ(nextText.substr(10), "T03:00:00Z") << o.out;

    // --once waits for an instant ahead: the timer is moved to fall due a
    // few seconds from now (its daily schedule, shifted), rather than at
    // 3:00 AM, so that the test need not wait for the night.
    const std::string item =
        FileUrl(quellix::testing::kSystemMailbox,
                "StoreEvents/GlobalEvents/" + std::string(registration::kItemName));
    const int64_t at = std::time(nullptr) + 3;
    SetItemProperty(item, registration::kTimerStartTime,
                    platform::Variant(platform::Date::FromUnixSeconds(at - 14 * int64_t{86400})));

    o = eventd({"--once", eventd::IsoUtc(at)});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Contains(o.err, "fired Quellix.QuellixCls("));
    EXPECT_TRUE(Contains(o.err, "completed"));
    EXPECT_EQ(Messages("ann", "Junk"), Strings{"ann-young"});
    EXPECT_EQ(Messages("cid", "Junk"), Strings{"cid-old"});
    const std::string log = ReadLog();
    EXPECT_TRUE(Contains(log, "Mailbox: Ann Lee"));
    EXPECT_FALSE(Contains(log, "Cid Free"));
    EXPECT_TRUE(Contains(log, "1 messages has been deleted in"));
    EXPECT_TRUE(Contains(log, "Mailboxes processed: 1"));
    std::string report;
    for (const auto& f : std::filesystem::directory_iterator(dir_ + "/pickup")) {
        report = platform::testing::FileText(f.path());
    }
    EXPECT_TRUE(Contains(report, "admin@example.org"));
    EXPECT_TRUE(Contains(report, "Subject: Quellix Report "));

    // The firing is in the run history.
    o = setup({"history", "--last", "1"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Contains(o.out, ": completed\n"));
    EXPECT_TRUE(Contains(o.out, "/ann/Junk: 1 deleted, "));
}

}  // namespace
