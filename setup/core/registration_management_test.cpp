#include "setup/core/registration_management.h"

#include <gtest/gtest.h>

#include <fstream>

#include "base/strfuncs.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_test_support.h"
#include "selection/testing/directory_fixture.h"

namespace setup {
namespace {

using localplatform::testing::TempStore;
using platform::Date;
using platform::Variant;
using quellix::testing::User;

// ---- Values and texts ----------------------------------------------------

// The queries run against the real store and directories below; their texts
// hold what no test store or directory tells apart (a shallow traversal, the
// filters and order of the system mailboxes), and a quote in a value stays
// inside its literal.
TEST(RegistrationText, QueriesAreTheExactTexts) {
    EXPECT_EQ(ReadBackQuery("file://./backofficestorage/x/MBX/s/StoreEvents/GlobalEvents",
                            "Quellix.reg", kHiddenItemCondition, "Quellix"),
              "select  \"Quellix_FolderName\", \"Quellix_ExpirationPeriod\", \"Quellix_Run\","
              " \"Quellix_TimeToRun\", \"Quellix_MailboxToMove\", \"Quellix_ReportRecipient\","
              " \"Quellix_AffectAllMailboxes\", \"Quellix_IncludeSubfolders\", \"DAV:displayname\""
              " from scope ('shallow traversal of "
              "\"file://./backofficestorage/x/MBX/s/StoreEvents/GlobalEvents\"') "
              " WHERE \"DAV:displayname\" = 'Quellix.reg' AND \"DAV:ishidden\" = true AND "
              "\"DAV:isfolder\" = false ");
    EXPECT_NE(ReadBackQuery("file://./x/MBX/o'brien", "a'b", "", "P").find("o''brien"),
              std::string::npos);
    EXPECT_NE(ReadBackQuery("u", "a'b", "", "P").find("= 'a''b'"), std::string::npos);
    EXPECT_EQ(SystemMailboxQuery("GC://dc1.example.org"),
              "SELECT adspath, cn, homeMDB ,msExchHomeServerName,mailNickName,mail "
              "FROM 'GC://dc1.example.org' WHERE cn='SystemMailbox{*' AND "
              "objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
}

TEST(RegistrationText, TimeToRunSelectsTheListsThatFit) {
    struct {
        const char* text;
        TimeToRunIndexes want;
    } cases[] = {
        {"7:05 PM", {6, 5, 1}},
        {"12:00 AM", {11, 0, 0}},
        {"1:59 pm", {0, 59, 0}},  // only "PM" exactly selects PM
        {"7:05", {6, std::nullopt, std::nullopt}},
        {"7:05PM", {6, std::nullopt, std::nullopt}},  // no blank after the colon
        {"13:00 PM", {std::nullopt, 0, 1}},
        {"0:60 AM", {std::nullopt, std::nullopt, 0}},
        {"x:05 PM", {std::nullopt, 5, 1}},
        {" 7 :05   PM ", {6, std::nullopt, std::nullopt}},  // the first blank precedes the colon
        {"no colon", {}},
    };
    for (const auto& c : cases) {
        const TimeToRunIndexes got = DecodeTimeToRun(c.text);
        EXPECT_EQ(got.hour, c.want.hour) << c.text;
        EXPECT_EQ(got.minute, c.want.minute) << c.text;
        EXPECT_EQ(got.amPm, c.want.amPm) << c.text;
    }
}

// Nothing read sets only the unconditional controls: the store tests below
// see that through a failed read.
TEST(RegistrationText, ShownValues) {
    StoredParameters v = {"Inbox/Spam",        "30", "3", "7:05 PM", "Archive (a@example.org)",
                          "admin@example.org", "1",  "0"};
    ParameterControls shown = ShowParameters(v);
    EXPECT_EQ(shown.txtSpamFolder, "Inbox/Spam");
    EXPECT_EQ(shown.txtAgeLimit, "30");
    EXPECT_EQ(shown.ComboRun, 3);
    EXPECT_EQ(shown.ComboStartHour, 6);
    EXPECT_EQ(shown.txtDestFolder, "Archive (a@example.org)");
    EXPECT_EQ(shown.OptMove, true);
    EXPECT_EQ(shown.CheckAllMbx, 1);
    EXPECT_EQ(shown.CheckDeep, 0);

    // Values that fit no list leave it as it is.
    v.run = "9";
    v.allMailboxes = "yes";
    v.timeToRun = "25";
    shown = ShowParameters(v);
    EXPECT_FALSE(shown.ComboRun);
    EXPECT_FALSE(shown.CheckAllMbx);
    EXPECT_FALSE(shown.ComboStartHour);

    // Later updates win; unset ones keep the earlier value.
    shown.Merge(DefaultParameterControls());
    EXPECT_EQ(shown.txtSpamFolder, "Spam");
    EXPECT_EQ(shown.ComboStartHour, 11);
    EXPECT_EQ(shown.txtDestFolder, "Archive (a@example.org)");
}

TEST(RegistrationText, AgeLimitIsASixteenBitNumberOfDays) {
    struct {
        const char* text;
        std::optional<int16_t> want;
    } cases[] = {{"14", 14},
                 {"0", 0},
                 {" 30 ", 30},
                 {"32767", 32767},
                 {"000032767", 32767},
                 {"32768", std::nullopt},
                 {"99999999999999", std::nullopt},
                 {"", std::nullopt},
                 {"  ", std::nullopt},
                 {"-1", std::nullopt},
                 {"1.5", std::nullopt},
                 {"1e3", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(AgeLimitValue(c.text), c.want) << c.text;
}

// How an entry is split is setup_text's test, how it is built the check's
// below; here, how an alias is cut.
TEST(RegistrationText, TheAliasOfAnAddress) {
    EXPECT_EQ(AliasFromAddress("a@b@c", false), "a");
    EXPECT_EQ(AliasFromAddress("@b", false), "@b");
}

// ---- The store operations -----------------------------------------------

constexpr const char* kNs = "example.test";
constexpr const char* kNick = "SystemMailbox{1F2E}";
constexpr const char* kAlias = "sysmbx1f2e";

class RegistrationStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto store = localplatform::ItemStore::ForThisThread();
        store->CreateNamespace(kNs);
        store->CreateMailbox(kNs, kNick, true);
    }

    static std::string FileMbx(const std::string& name) {
        return TempStore::FileBase() + "/" + name;
    }
    static std::string HttpMbx(const std::string& name) {
        return TempStore::HttpBase() + "/" + name;
    }
    static std::string ItemUrl(const std::string& mbx) {
        return mbx + "/StoreEvents/GlobalEvents/Quellix.reg";
    }

    static registration::OnTimerRegistration Item(const std::string& mailboxUrl) {
        registration::OnTimerRegistration r;
        r.mailboxUrl = mailboxUrl;
        r.timerStartTime = Date::FromParts(2026, 11, 21, 23, 0, 0);
        r.searchRoot = "GC://dc1.example.org";
        r.folderName = "Inbox/Spam";
        r.expirationPeriod = 30;
        r.run = 3;
        r.timeToRun = "7:05 PM";
        r.mailboxToMove = "Archive (archive@example.test)";
        r.reportRecipient = "admin@example.test";
        r.allMailboxes = "1";
        r.includeSubfolders = "0";
        return r;
    }

    // As the check reads: values too (a check-only read no caller makes).
    static ReadResult Read(const std::string& mailboxUrl, bool logErrors = false,
                           platform::Connection* cnn = nullptr) {
        return ReadOnTimerEventRegistration(mailboxUrl, registration::kFolderPath,
                                            registration::kItemName, kHiddenItemCondition,
                                            logErrors, cnn, false, "Quellix");
    }

    TempStore store_;
};

// Written through one scheme and read through the other; a second write
// leaves only the second set.
TEST_F(RegistrationStoreTest, WhatIsWrittenIsReadBack) {
    const auto created = CreateOnTimerEventRegistration(Item(FileMbx(kNick)), true);
    EXPECT_EQ(created.folderUrl, FileMbx(kNick) + "/StoreEvents/GlobalEvents");
    EXPECT_FALSE(created.error);

    platform::Connection cnn1;
    cnn1.SetProvider("ExOLEDB.DataSource");
    ReadResult r = Read(HttpMbx(kNick), true, &cnn1);
    EXPECT_EQ(r.result, 1);
    EXPECT_FALSE(r.error);
    const StoredParameters& v = r.values;
    EXPECT_EQ(std::vector<std::string>({v.folderName, v.expirationPeriod, v.run, v.timeToRun,
                                        v.mailboxToMove, v.reportRecipient, v.allMailboxes,
                                        v.includeSubfolders}),
              std::vector<std::string>({"Inbox/Spam", "30", "3", "7:05 PM",
                                        "Archive (archive@example.test)", "admin@example.test", "1",
                                        "0"}));
    EXPECT_EQ(r.controls.ComboStartHour, 6);  // what ShowParameters makes of them
    // The caller's connection comes back closed, with its provider.
    EXPECT_EQ(cnn1.State(), platform::adStateClosed);
    EXPECT_EQ(cnn1.Provider(), "ExOLEDB.DataSource");

    auto second = Item(HttpMbx(kNick));
    second.searchRoot.clear();
    second.folderName.clear();
    second.mailboxToMove.clear();
    second.run = 0;
    second.timeToRun = "12:00 AM";
    ASSERT_FALSE(CreateOnTimerEventRegistration(second, false).folderUrl.empty());
    r = Read(FileMbx(kNick));
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.values.folderName, "");  // absent
    EXPECT_EQ(r.values.mailboxToMove, "");
    EXPECT_EQ(r.values.run, "0");
    EXPECT_FALSE(r.controls.txtSpamFolder);  // left as it is
    EXPECT_EQ(r.controls.OptMove, false);

    platform::Record rec;
    rec.Open(ItemUrl(FileMbx(kNick)), nullptr, platform::adModeRead);
    EXPECT_TRUE(rec.Fields("Quellix_SearchRoot").Value().IsNull());
    EXPECT_TRUE(rec.Fields("Quellix_FolderName").Value().IsNull());
    EXPECT_EQ(rec.Fields("DAV:ishidden").Value().ToBool(), true);
    EXPECT_EQ(rec.Fields(registration::kEnabled).Value(), Variant(false));
}

TEST_F(RegistrationStoreTest, OnlyAHiddenItemIsFound) {
    ASSERT_FALSE(CreateOnTimerEventRegistration(Item(FileMbx(kNick)), false).folderUrl.empty());
    {
        platform::Record rec;
        rec.Open(ItemUrl(FileMbx(kNick)), nullptr, platform::adModeReadWrite);
        rec.Fields("DAV:ishidden").SetValue(Variant(false));
        rec.Fields().Update();
    }
    EXPECT_EQ(Read(FileMbx(kNick)).result, 0);

    // A folder of that name, hidden too, is not the item either.
    ASSERT_TRUE(DeleteOnTimerEventRegistration(FileMbx(kNick), registration::kFolderPath,
                                               registration::kItemName, false)
                    .deleted);
    auto store = localplatform::ItemStore::ForThisThread();
    const auto events = store->Lookup({kNs, "MBX", kNick, "StoreEvents", "GlobalEvents"});
    ASSERT_TRUE(events);
    store->CreateFolder(events->id, "Quellix.reg");
    platform::Record rec;
    rec.Open(ItemUrl(FileMbx(kNick)), nullptr, platform::adModeReadWrite);
    rec.Fields("DAV:ishidden").SetValue(Variant(true));
    rec.Fields().Update();
    EXPECT_EQ(Read(FileMbx(kNick)).result, 0);
}

TEST_F(RegistrationStoreTest, FailuresReportByResultAndLogOnlyWhenAsked) {
    // A mailbox that does not exist: the mailbox URL is the context.
    ReadResult r = Read(FileMbx("nobody"), false);
    EXPECT_EQ(r.result, -1);
    EXPECT_FALSE(r.error);
    // The window is still reset where the read writes unconditionally.
    EXPECT_EQ(r.controls.txtDestFolder, "");
    EXPECT_EQ(r.controls.OptMove, false);
    EXPECT_EQ(r.controls.CheckAllMbx, 0);
    r = Read(FileMbx("nobody"), true);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->where, FileMbx("nobody"));
    EXPECT_NE(r.error->number, 0);

    // A missing folder in an existing mailbox: the folder URL is the context.
    localplatform::ItemStore::ForThisThread()->CreateMailbox(kNs, "plain", false);
    r = Read(FileMbx("plain"), true);
    EXPECT_EQ(r.result, -1);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->where, FileMbx("plain") + "/StoreEvents/GlobalEvents");

    auto created = CreateOnTimerEventRegistration(Item(FileMbx("plain")), false);
    EXPECT_EQ(created.folderUrl, "");
    EXPECT_FALSE(created.error);
    created = CreateOnTimerEventRegistration(Item(FileMbx("plain")), true);
    ASSERT_TRUE(created.error);
    EXPECT_EQ(created.error->where, FileMbx("plain"));
    // A delete is only tried without a log entry, as the removal below tries.
}

// ---- Finding and removing the registration --------------------------------

constexpr const char* kStoreDn =
    "CN=Mailbox Store (MAIL01),CN=First Storage Group,CN=InformationStore,CN=MAIL01,"
    "CN=Servers,CN=Configuration,DC=example,DC=org";
constexpr const char* kOtherStoreDn =
    "CN=Mailbox Store (MAIL02),CN=First Storage Group,CN=InformationStore,CN=MAIL02,"
    "CN=Servers,CN=Configuration,DC=example,DC=org";

enum class Backend { Embedded, Slapd };

class RegistrationCheckTest : public RegistrationStoreTest,
                              public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        RegistrationStoreTest::SetUp();
        context_.FolderURL = TempStore::HttpBase();
        context_.FileFolderURL = TempStore::FileBase();
        context_.cnn1.SetProvider("ExOLEDB.DataSource");
    }

    // The directory of this test holds the users; true when it is up.
    bool Directory(const std::vector<User>& users) {
        if (GetParam() == Backend::Embedded) {
            quellix::testing::LoadEmbeddedDirectory(store_.Dir() + "/directory.ldb", users);
            context_.strSearchRoot = quellix::testing::kSearchRoot;
        } else {
            slapd_ = quellix::testing::StartSlapd(users, store_.Dir() + "/users.ldif");
            if (!slapd_) return false;
            // The same platform, its directory at the server: a configuration
            // file of its own, so that it is read afresh.
            const std::string conf = store_.Dir() + "/platform-slapd.conf";
            std::ifstream base(store_.Dir() + "/platform.conf");
            std::ofstream(conf) << base.rdbuf() << slapd_->ConfigLines();
            setenv("QUELLIX_CONFIG", conf.c_str(), 1);
            context_.strSearchRoot = "GC://127.0.0.1";
        }
        context_.cnn.SetProvider("adsDSOobject");
        context_.cnn.Open("Active Directory Provider", "", "", -1);
        return true;
    }

    static std::vector<User> Users() {
        // In cn order the first system mailbox lives in another store.
        return {
            {.cn = "SystemMailbox{0AAA}",
             .alias = "SystemMailbox{0AAA}",
             .mail = "sm0aaa@example.test",
             .homeMdb = kOtherStoreDn},
            {.cn = kNick,
             .alias = kNick,
             .mail = std::string(kAlias) + "@example.test",
             .homeMdb = platform::Lower(kStoreDn)},
            {.cn = "Someone",
             .alias = "someone",
             .mail = "someone@example.test",
             .homeMdb = kStoreDn},
        };
    }

    RegistrationCheck Check() { return CheckOnTimerEventRegistrationExists(context_, kStoreDn); }

    SetupContext context_;
    std::unique_ptr<localplatform::directory::testing::SlapdHarness> slapd_;
};

#define REQUIRE_DIRECTORY(users) \
    if (!Directory(users)) GTEST_SKIP() << "slapd is not installed"

TEST_P(RegistrationCheckTest, NoRegistrationGivesTheDefaultsAndAStoredOneIsShown) {
    REQUIRE_DIRECTORY(Users());
    RegistrationCheck check = Check();
    ASSERT_EQ(check.SysMbxList.size(), 1u);
    EXPECT_EQ(check.SysMbxList[0], " /  / sysmbx1f2e@example.test / SystemMailbox{1F2E}");
    EXPECT_EQ(check.result, 0);
    EXPECT_EQ(check.urlsTried, std::vector<std::string>{HttpMbx(kNick)});
    EXPECT_TRUE(check.errors.empty());
    ParameterControls want = DefaultParameterControls();
    want.txtDestFolder = "";
    want.OptMove = false;
    want.txtReportRecipient = "";
    want.CheckAllMbx = 0;
    want.CheckDeep = 0;
    EXPECT_EQ(check.controls, want);
    EXPECT_EQ(context_.cnn1.State(), platform::adStateClosed);

    ASSERT_FALSE(CreateOnTimerEventRegistration(Item(FileMbx(kNick)), false).folderUrl.empty());
    check = Check();
    EXPECT_EQ(check.result, 1);
    EXPECT_EQ(check.controls.txtSpamFolder, "Inbox/Spam");
    EXPECT_EQ(check.controls.txtReportRecipient, "admin@example.test");
}

TEST_P(RegistrationCheckTest, TriesTheUrlsInOrderAndOnlyTheLastMayLog) {
    REQUIRE_DIRECTORY(Users());
    // The web root names another server: every try of it fails.
    context_.FolderURL = "http://elsewhere.example.test/exadmin/example.test/mbx";
    // The registration lives in the mailbox named by the alias only.
    localplatform::ItemStore::ForThisThread()->CreateMailbox(kNs, kAlias, true);
    ASSERT_FALSE(CreateOnTimerEventRegistration(Item(FileMbx(kAlias)), false).folderUrl.empty());
    localplatform::ItemStore::ForThisThread()->DeleteItem(
        localplatform::ItemStore::ForThisThread()->Lookup({kNs, "MBX", kNick})->id);

    RegistrationCheck check = Check();
    const std::vector<std::string> all = {context_.FolderURL + "/" + kNick, FileMbx(kNick),
                                          context_.FolderURL + "/" + kAlias, FileMbx(kAlias)};
    EXPECT_EQ(check.urlsTried, all);
    EXPECT_EQ(check.result, 1);
    EXPECT_TRUE(check.errors.empty());  // the last try succeeded

    // Nowhere: four tries, one entry, for the last.
    localplatform::ItemStore::ForThisThread()->DeleteItem(
        localplatform::ItemStore::ForThisThread()->Lookup({kNs, "MBX", kAlias})->id);
    check = Check();
    EXPECT_EQ(check.urlsTried, all);
    EXPECT_EQ(check.result, -1);
    ASSERT_EQ(check.errors.size(), 1u);
    EXPECT_EQ(check.errors[0].where, FileMbx(kAlias));
    EXPECT_EQ(check.controls.txtSpamFolder, "Spam");  // the defaults
}

TEST_P(RegistrationCheckTest, WithoutAddressTheNicknamesSecondTryLogs) {
    auto users = Users();
    users[1].mail.clear();
    REQUIRE_DIRECTORY(users);
    context_.FolderURL = "http://elsewhere.example.test/exadmin/example.test/mbx";
    localplatform::ItemStore::ForThisThread()->DeleteItem(
        localplatform::ItemStore::ForThisThread()->Lookup({kNs, "MBX", kNick})->id);
    const RegistrationCheck check = Check();
    EXPECT_EQ(check.urlsTried,
              (std::vector<std::string>{context_.FolderURL + "/" + kNick, FileMbx(kNick)}));
    ASSERT_EQ(check.errors.size(), 1u);
    EXPECT_EQ(check.errors[0].where, FileMbx(kNick));
    EXPECT_EQ(check.SysMbxList[0], " /  /  / SystemMailbox{1F2E}");
}

TEST_P(RegistrationCheckTest, WithoutNicknameNothingIsTried) {
    auto users = Users();
    users[1].alias.clear();
    REQUIRE_DIRECTORY(users);
    const RegistrationCheck check = Check();
    EXPECT_TRUE(check.urlsTried.empty());
    EXPECT_EQ(check.result, 0);
    EXPECT_EQ(check.controls.txtAgeLimit, "14");
    EXPECT_EQ(check.SysMbxList[0], " /  / sysmbx1f2e@example.test / ");
}

TEST_P(RegistrationCheckTest, NoSystemMailboxInTheAttendantsStore) {
    auto users = Users();
    users[1].homeMdb = kOtherStoreDn;
    REQUIRE_DIRECTORY(users);
    const RegistrationCheck check = Check();
    EXPECT_TRUE(check.SysMbxList.empty());
    EXPECT_EQ(check.controls, ParameterControls{});  // the window keeps its values
    EXPECT_TRUE(RemoveOnTimerEventRegistration(context_, check.SysMbxList).urlsTried.empty());
    // No attendant store at all matches nothing either.
    EXPECT_TRUE(CheckOnTimerEventRegistrationExists(context_, "").SysMbxList.empty());
}

TEST_P(RegistrationCheckTest, ADirectoryFailureGoesToTheCaller) {
    REQUIRE_DIRECTORY(Users());
    context_.strSearchRoot = "GC://dc1.example.org/DC=nowhere";
    EXPECT_THROW((void)Check(), platform::Error);
}

TEST_P(RegistrationCheckTest, RemovalTriesItsOwnOrder) {
    REQUIRE_DIRECTORY(Users());
    const std::vector<std::string> list = Check().SysMbxList;
    ASSERT_EQ(list.size(), 1u);

    // In the nickname's mailbox: found at the second URL.
    ASSERT_FALSE(CreateOnTimerEventRegistration(Item(FileMbx(kNick)), false).folderUrl.empty());
    RemoveResult removed = RemoveOnTimerEventRegistration(context_, list);
    EXPECT_EQ(removed.urlsTried, (std::vector<std::string>{HttpMbx(kAlias), HttpMbx(kNick)}));
    EXPECT_EQ(removed.deletedAt, HttpMbx(kNick));
    EXPECT_EQ(Read(FileMbx(kNick)).result, 0);

    // In the alias's mailbox, with the web root unusable: the last URL.
    context_.FolderURL = "http://elsewhere.example.test/exadmin/example.test/mbx";
    localplatform::ItemStore::ForThisThread()->CreateMailbox(kNs, kAlias, true);
    ASSERT_FALSE(CreateOnTimerEventRegistration(Item(FileMbx(kAlias)), false).folderUrl.empty());
    removed = RemoveOnTimerEventRegistration(context_, list);
    const std::vector<std::string> all = {context_.FolderURL + "/" + kAlias,
                                          context_.FolderURL + "/" + kNick, FileMbx(kNick),
                                          FileMbx(kAlias)};
    EXPECT_EQ(removed.urlsTried, all);
    EXPECT_EQ(removed.deletedAt, FileMbx(kAlias));
}

INSTANTIATE_TEST_SUITE_P(Directories, RegistrationCheckTest,
                         ::testing::Values(Backend::Embedded, Backend::Slapd),
                         [](const auto& info) {
                             return info.param == Backend::Embedded ? "Embedded" : "Slapd";
                         });

}  // namespace
}  // namespace setup
