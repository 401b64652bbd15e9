#include "setup/core/apply_changes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/strfuncs.h"
#include "localplatform/store/store_test_support.h"
#include "platform/ado.h"
#include "platform/com_admin.h"
#include "platform/system.h"
#include "setup/testing/setup_fixture.h"

namespace setup {
namespace {

using testing::Backend;
using Strings = std::vector<std::string>;

const char* kFolderUrl = "http://exch01.example.org/exadmin/example.org/mbx";
const char* kFileFolderUrl = "file://./backofficestorage/example.org/mbx";

class ApplyChangesTest : public testing::SetupFixture,
                         public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        SetupFixture::SetUp();
        // The account proposed as the identity (the one running setup, or,
        // for root, the service account), without a mailbox: in no list.
        if (!LoadDirectory(
                testing::AnnBobCid(
                    {{.cn = "Ida NoMail", .account = "ida", .alias = "ida"},
                     {.cn = "Runner", .account = Proposed(), .alias = "runner", .mailbox = false}}),
                GetParam())) {
            GTEST_SKIP() << "slapd is not installed";
        }
        ASSERT_TRUE(DiscoverEnvironment(context_).empty());
    }

    // The window after a refresh, as the administrator first sees it.
    WindowValues Window() {
        ErrorLog log;
        const SetupStatus status = RefreshLists(context_, "", "", "", log);
        return WindowAfterRefresh(status);
    }
    // Uninstalling, with its question, is the window's test.
    ChangeResult Apply(const WindowValues& w) { return ApplyChanges(context_, w, {}, log_); }
    WindowValues Installed() {
        WindowValues w = Window();
        w.Check1 = true;
        w.txtIdent = "nobody";
        w.txtPwd = "secret";
        const ChangeResult r = Apply(w);
        EXPECT_FALSE(r.warning);
        EXPECT_EQ(r.status->state, InstallState::Installed);
        return WindowAfterRefresh(*r.status);
    }
    static platform::Variant Item(const std::string& name) { return RegistrationItem(name); }
    // The account setup proposes, or a name no account has when none is.
    static std::string Proposed() {
        const std::string account = platform::ProposedIdentityAccount();
        return account.empty() ? "no-account" : account;
    }
    static bool ItemExists() { return RegistrationItemExists(); }

    SetupContext context_;
    ErrorLog log_;
};

TEST_P(ApplyChangesTest, InstallWritesTheRegistrationWithTheShownParameters) {
    WindowValues w = Window();
    EXPECT_TRUE(w.Check1);  // ready to install
    EXPECT_EQ(w.txtIdent,
              platform::ProposedIdentityAccount().empty() ? "" : "example.org\\" + Proposed());
    EXPECT_EQ(w.txtSpamFolder, "Spam");
    EXPECT_EQ(w.txtAgeLimit, "14");
    EXPECT_EQ(w.SysMbxList, Strings{testing::SystemMailboxListEntry()});
    w.txtIdent = "nobody";
    w.txtPwd = "secret";
    w.txtSpamFolder = " \\Inbox\\Spam\\ ";
    w.ComboRun = 1;
    w.ComboStartHour = "7";
    w.ComboStartMin = "05";
    w.ComboStartAmPm = "PM";
    w.OptMove = false;
    w.txtDestFolder = "Cid Free (cid@example.org)";  // ignored: delete is chosen
    w.txtReportRecipient = "Admin (admin@example.org)";
    w.CheckDeep = 1;
    const ChangeResult r = Apply(w);
    ASSERT_FALSE(r.warning) << *r.warning;
    EXPECT_EQ(r.steps, (Strings{"InstallComPlusApplication", "RemoveOnTimerEventRegistration",
                                std::string("CreateOnTimerEventRegistration ") + kFolderUrl +
                                    "/SystemMailbox{5C3A}",
                                "RefreshLists"}));
    EXPECT_EQ(*r.txtSpamFolder, "Inbox/Spam");
    EXPECT_TRUE(log_.Empty()) << log_.Text();
    ASSERT_TRUE(r.status);
    EXPECT_EQ(r.status->state, InstallState::Installed);
    EXPECT_EQ(r.status->identity, "nobody");

    EXPECT_EQ(Item(Custom(registration::kFolderName)).ToString(), "Inbox/Spam");
    EXPECT_EQ(Item(Custom(registration::kExpirationPeriod)), platform::Variant(int16_t{14}));
    EXPECT_EQ(Item(Custom(registration::kRun)), platform::Variant(int16_t{1}));
    EXPECT_EQ(Item(Custom(registration::kTimeToRun)).ToString(), "7:05 PM");
    EXPECT_EQ(Item(Custom(registration::kMailboxToMove)).ToString(), "");
    EXPECT_EQ(Item(Custom(registration::kReportRecipient)).ToString(), "Admin (admin@example.org)");
    EXPECT_EQ(Item(Custom(registration::kAffectAllMailboxes)).ToString(), "0");
    EXPECT_EQ(Item(Custom(registration::kIncludeSubfolders)).ToString(), "1");
    EXPECT_EQ(Item(Custom(registration::kSearchRoot)).ToString(), context_.strSearchRoot);
    // Marks are written through the directory's LDAP root, not the global
    // catalog it reads from; the test directories take either.
    EXPECT_EQ(context_.strSearchRoot.rfind("GC://", 0), 0u);
    EXPECT_EQ(context_.strSearchRootLDAP, "LDAP://" + context_.strSearchRoot.substr(5));
    EXPECT_EQ(Item(registration::kEnabled), platform::Variant(true));

    // The refreshed window shows what was written.
    const WindowValues after = WindowAfterRefresh(*r.status);
    EXPECT_FALSE(after.Check1);
    EXPECT_EQ(after.txtSpamFolder, "Inbox/Spam");
    EXPECT_EQ(after.ComboRun, 1);
    EXPECT_EQ(after.ComboStartHour + ":" + after.ComboStartMin + " " + after.ComboStartAmPm,
              "7:05 PM");
    EXPECT_EQ(after.CheckDeep, 1);
}

TEST_P(ApplyChangesTest, WarningsStopTheCommandWhereTheyAreChecked) {
    // Blank password: nothing happens at all.
    WindowValues w = Window();
    w.txtIdent = "nobody";
    w.txtPwd = "   ";
    log_.PrependText("old entry\r\n\r\n");
    ChangeResult r = Apply(w);
    EXPECT_EQ(r.warning, kIdentityWarning);
    EXPECT_TRUE(r.steps.empty());
    EXPECT_FALSE(r.status);
    EXPECT_TRUE(log_.Empty());  // the log is emptied first
    EXPECT_EQ(Window().Check1, true);

    // A folder of "/" alone: the install has already happened.
    w.txtPwd = "secret";
    w.txtSpamFolder = "/";
    r = Apply(w);
    EXPECT_EQ(r.warning, kFolderWarning);
    EXPECT_EQ(r.steps, Strings{"InstallComPlusApplication"});
    EXPECT_EQ(*r.txtSpamFolder, "");
    EXPECT_FALSE(r.status);
    EXPECT_FALSE(ItemExists());

    WindowValues installed = Window();
    EXPECT_EQ(installed.Check1, false);
    installed.Check2 = true;
    installed.txtAgeLimit = "  ";
    EXPECT_EQ(Apply(installed).warning, kAgeLimitWarning);
    EXPECT_FALSE(ItemExists());
}

TEST_P(ApplyChangesTest, ARefusedAgeLimitKeepsTheRegistration) {
    WindowValues w = Installed();
    ASSERT_TRUE(ItemExists());
    // Which texts are refused is the age limit's own test.
    w.Check2 = true;
    w.txtAgeLimit = "32768";
    const ChangeResult refused = Apply(w);
    EXPECT_EQ(refused.warning, std::string(kAgeLimitRangeWarning));
    EXPECT_TRUE(refused.steps.empty());
    EXPECT_EQ(Item(Custom(registration::kExpirationPeriod)), platform::Variant(int16_t{14}));
    w.txtAgeLimit = "32767";
    w.OptMove = true;
    w.txtDestFolder = "Cid Free (cid@example.org)";
    w.ComboRun = 0;
    const ChangeResult r = Apply(w);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(Item(Custom(registration::kExpirationPeriod)), platform::Variant(int16_t{32767}));
    EXPECT_EQ(Item(Custom(registration::kMailboxToMove)).ToString(), "Cid Free (cid@example.org)");
    EXPECT_EQ(Item(registration::kEnabled), platform::Variant(false));
    // The destination mailbox drops out of the register list.
    EXPECT_EQ(r.status->lists.registerList, (Strings{"Ann Lee / EXCH01 / ann@example.org / ann",
                                                     "Ida NoMail / EXCH01 /  / ida"}));
}

TEST_P(ApplyChangesTest, MarksComeBeforeUnmarksAndUnusableEntriesArePassedOver) {
    WindowValues w = Installed();
    ASSERT_EQ(w.MbxInstList, (Strings{"Ann Lee / EXCH01 / ann@example.org / ann",
                                      "Cid Free / EXCH01 / cid@example.org / cid",
                                      "Ida NoMail / EXCH01 /  / ida"}));
    // Ida has no address to mark (which addresses can be marked, setup_text's test).
    w.MbxInstSelected = {true, false, true};
    w.MbxUninstSelected = {true};
    w.Check3 = true;
    w.Check4 = true;
    const ChangeResult r = Apply(w);
    EXPECT_EQ(r.steps, (Strings{"MarkMailbox ann@example.org Quellix",
                                "MarkMailbox bob@example.org Null", "RefreshLists"}));
    EXPECT_EQ(r.status->lists.unregisterList, Strings{"Ann Lee / EXCH01 / ann@example.org / ann"});
    EXPECT_EQ(r.status->lists.registerList, (Strings{"Bob Marked / EXCH01 / bob@example.org / bob",
                                                     "Cid Free / EXCH01 / cid@example.org / cid",
                                                     "Ida NoMail / EXCH01 /  / ida"}));
}

TEST_P(ApplyChangesTest, AFailedInstallStillWritesTheRegistration) {
    WindowValues w = Window();
    w.txtIdent = "nobody";
    w.txtPwd = "secret";
    // No module in the current directory: the catalog refuses the component.
    std::filesystem::remove(moduleDir_ + "/Quellix.so");
    const ChangeResult r = Apply(w);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(r.steps[0], "InstallComPlusApplication");
    EXPECT_EQ(r.registrationFolderUrl,
              std::string(kFolderUrl) + "/SystemMailbox{5C3A}/StoreEvents/GlobalEvents");
    EXPECT_TRUE(ItemExists());
    EXPECT_NE(log_.Text().find(" - ERROR: "), std::string::npos);
}

TEST_P(ApplyChangesTest, OnlyTheLastOfTheFourWriteTriesMayLog) {
    WindowValues w = Installed();
    w.Check2 = true;
    w.SysMbxList = {" /  / nobody@example.org / nick"};
    const ChangeResult r = Apply(w);
    EXPECT_EQ(r.steps,
              (Strings{"RemoveOnTimerEventRegistration",
                       std::string("CreateOnTimerEventRegistration ") + kFolderUrl + "/nobody",
                       std::string("CreateOnTimerEventRegistration ") + kFolderUrl + "/nick",
                       std::string("CreateOnTimerEventRegistration ") + kFileFolderUrl + "/nick",
                       std::string("CreateOnTimerEventRegistration ") + kFileFolderUrl + "/nobody",
                       "RefreshLists"}));
    EXPECT_TRUE(r.registrationFolderUrl.empty());
    // Exactly one entry, for the file-scheme try with the alias.
    size_t entries = 0;
    for (size_t p = 0; (p = log_.Text().find(" - ERROR: ", p)) != std::string::npos; ++p) ++entries;
    EXPECT_EQ(entries, 1u) << log_.Text();
    EXPECT_NE(log_.Text().find(std::string(kFileFolderUrl) + "/nobody"), std::string::npos);

    // Without a system mailbox nothing is written or removed, silently, and
    // the time lists that could not be picked there stop nothing.
    w.SysMbxList.clear();
    w.ComboStartHour = w.ComboStartMin = w.ComboStartAmPm = "";
    const ChangeResult none = Apply(w);
    EXPECT_FALSE(none.warning) << *none.warning;
    EXPECT_EQ(none.steps, Strings{"RefreshLists"});
    EXPECT_FALSE(none.registrationAttempted);
    EXPECT_TRUE(none.status);
}

// A replacement the store refuses never leaves the server without the
// registration it had; when the old one cannot go back either, the log says
// that none exists now, and where.
TEST_P(ApplyChangesTest, ARegistrationThatCannotBeWrittenLeavesTheOldOne) {
    WindowValues w = Installed();
    const std::string store = dir_ + "/store.db";
    const std::string itemUrl =
        std::string(kFolderUrl) + "/SystemMailbox{5C3A}/StoreEvents/GlobalEvents/Quellix.reg";
    ASSERT_EQ(localplatform::testing::RefusePropertyWrites(store, Custom(registration::kFolderName),
                                                           "Refused"),
              "");
    const platform::Variant startTime = Item(registration::kTimerStartTime);
    w.Check2 = true;
    w.txtSpamFolder = "Refused";
    w.txtAgeLimit = "30";
    ChangeResult r = Apply(w);
    EXPECT_TRUE(r.registrationFolderUrl.empty());
    EXPECT_EQ(r.registrationRestoredAt, itemUrl);
    EXPECT_NE(log_.Text().find("] " + itemUrl +
                               " - ERROR: -2147217905 The registration could not be written; the "
                               "previous registration was put back unchanged"),
              std::string::npos)
        << log_.Text();
    EXPECT_EQ(Item(Custom(registration::kFolderName)), platform::Variant("Spam"));
    EXPECT_EQ(Item(Custom(registration::kExpirationPeriod)), platform::Variant(int16_t{14}));
    EXPECT_EQ(Item(registration::kTimerStartTime), startTime);
    EXPECT_EQ(Item("DAV:ishidden"), platform::Variant(true));
    EXPECT_EQ(r.status->controls.txtSpamFolder, "Spam");  // the refresh finds it

    // Now no folder name at all can be written: the old item cannot go back.
    ASSERT_EQ(
        localplatform::testing::RefusePropertyWrites(store, Custom(registration::kFolderName)), "");
    r = Apply(w);
    EXPECT_EQ(r.registrationLostAt, itemUrl);
    EXPECT_NE(log_.Text().find("] " + itemUrl + " - ERROR: "), std::string::npos) << log_.Text();
    EXPECT_NE(log_.Text().find("no registration exists now"), std::string::npos) << log_.Text();
    EXPECT_FALSE(ItemExists());
}

TEST_P(ApplyChangesTest, TheBiasIsReadBeforeTheOldRegistrationGoes) {
    WindowValues w = Installed();
    const auto bias = [&](const std::string& value) {
        ConfigureWith({"timezone.active_time_bias = " + value});
    };
    // A bias that the cleanup run would refuse, though it can be read (which
    // ones, the date's test): the registration stays as it was, the failure
    // is in the log, and the marks still run.
    w.Check2 = true;
    w.txtAgeLimit = "20";
    w.Check3 = true;
    w.MbxInstSelected[0] = true;
    bias("1441");
    ChangeResult r = Apply(w);
    EXPECT_FALSE(r.warning);
    EXPECT_EQ(r.steps, (Strings{"MarkMailbox ann@example.org Quellix", "RefreshLists"}));
    EXPECT_NE(log_.Text().find("] ActiveTimeBias - ERROR: -2147221503 "), std::string::npos)
        << log_.Text();
    EXPECT_EQ(Item(Custom(registration::kExpirationPeriod)), platform::Variant(int16_t{14}));

    // Every day at 7:05 PM at UTC+1 on 2004-03-21: first firing 2004-03-07 18:05 UTC.
    bias("-60");
    w.Check3 = false;
    w.ComboRun = 1;
    w.ComboStartHour = "7";
    w.ComboStartMin = "05";
    w.ComboStartAmPm = "PM";
    r = ApplyChanges(context_, w, {}, log_,
                     {.nowLocal = platform::Date::FromParts(2004, 3, 21, 9, 0), .progress = {}});
    EXPECT_FALSE(r.registrationFolderUrl.empty()) << log_.Text();
    EXPECT_EQ(Item(registration::kTimerStartTime).ToDate().UnixSeconds(),
              platform::Date::FromParts(2004, 3, 7, 18, 5).UnixSeconds());
    EXPECT_EQ(Item(registration::kTimerInterval), platform::Variant(int16_t{1440}));
    EXPECT_EQ(Item(Custom(registration::kExpirationPeriod)), platform::Variant(int16_t{20}));
}

// A registration that will not go keeps its application: the log says why,
// and the window still offers to uninstall.
TEST_P(ApplyChangesTest, ARegistrationThatCannotBeRemovedKeepsTheApplication) {
    WindowValues w = Installed();
    ASSERT_EQ(localplatform::testing::RefuseDeletes(dir_ + "/store.db", registration::kItemName),
              "");
    w.Check6 = true;
    ChangeResult r = ApplyChanges(
        context_, w, [](const std::string&) { return true; }, log_);
    EXPECT_EQ(r.steps, (Strings{"RemoveOnTimerEventRegistration", "RefreshLists"}));
    // Every URL of the item was tried; the last one's failure is told.
    const std::string itemUrl =
        std::string(kFileFolderUrl) + "/SystemMailbox{5C3A}/StoreEvents/GlobalEvents/Quellix.reg";
    EXPECT_NE(log_.Text().find("] " + itemUrl +
                               " - ERROR: -2147217905 The registration could not be removed ("),
              std::string::npos)
        << log_.Text();
    EXPECT_NE(log_.Text().find("refused by the test (1811)); the COM+ application was kept"),
              std::string::npos)
        << log_.Text();
    EXPECT_TRUE(ItemExists());
    EXPECT_EQ(r.status->state, InstallState::Installed);

    // Once it can go, both go.
    ASSERT_EQ(platform::testing::RunProgram(
                  {"/usr/bin/sqlite3", dir_ + "/store.db", "DROP TRIGGER test_refuses_delete"})
                  .code,
              0);
    w = WindowAfterRefresh(*r.status);
    w.Check6 = true;
    r = ApplyChanges(
        context_, w, [](const std::string&) { return true; }, log_);
    EXPECT_FALSE(ItemExists());
    EXPECT_EQ(r.status->state, InstallState::ReadyToInstall) << log_.Text();
}

INSTANTIATE_TEST_SUITE_P(Backends, ApplyChangesTest,
                         ::testing::Values(Backend::Ldb, Backend::Slapd), [](const auto& info) {
                             return info.param == Backend::Ldb ? std::string("ldb")
                                                               : std::string("slapd");
                         });

}  // namespace
}  // namespace setup
