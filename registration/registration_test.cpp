#include "registration/registration.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "base/testing/temp_platform.h"
#include "localplatform/store/item_store.h"
#include "platform/ado.h"

namespace registration {
namespace {

using platform::Date;
using platform::Variant;

TEST(ComputeTimerStartTime, TakesTheTimeOfDayFourteenDaysBackAndAddsTheBias) {
    const Date now = Date::FromParts(2026, 12, 5, 15, 30, 0);
    struct Case {
        const char* timeToRun;
        double bias;
        Date want;
    } cases[] = {
        {"12:00 AM", 0, Date::FromParts(2026, 11, 21, 0, 0, 0)},
        {"12:00 PM", 0, Date::FromParts(2026, 11, 21, 12, 0, 0)},
        {"7:05 PM", 0, Date::FromParts(2026, 11, 21, 19, 5, 0)},
        {"1:59 am", 0, Date::FromParts(2026, 11, 21, 1, 59, 0)},
        // West of UTC the stored instant is later than local time, east earlier.
        {"3:00 AM", 300, Date::FromParts(2026, 11, 21, 8, 0, 0)},
        {"3:00 AM", -60, Date::FromParts(2026, 11, 21, 2, 0, 0)},
    };
    for (const auto& c : cases) {
        auto got = ComputeTimerStartTime(now, c.timeToRun, c.bias);
        ASSERT_TRUE(got) << c.timeToRun;
        EXPECT_EQ(platform::GeneralDateText(*got), platform::GeneralDateText(c.want))
            << c.timeToRun;
    }
    for (const char* bad : {"", "0:00 AM", "13:00 PM", "7:5 PM", "7:60 PM", "7:05", "7:05 XM",
                            "7:05PM", "07:05 PM extra"}) {
        EXPECT_FALSE(ComputeTimerStartTime(now, bad, 0)) << bad;
    }
}

class RegistrationWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        temp_.Configure("server.computer_name = exch01\nserver.domain_dns_name = example.org\n");
        localplatform::ItemStore::Create();
        auto store = localplatform::ItemStore::ForThisThread();
        store->CreateNamespace("example.org");
        store->CreateMailbox("example.org", "SystemMailbox{1F2E}", true);
    }
    platform::testing::TempPlatform temp_{"registration_test."};
    const std::string dir_ = temp_.Dir();

    static OnTimerRegistration Item() {
        OnTimerRegistration r;
        r.mailboxUrl = kMailbox;
        r.timerStartTime = Date::FromParts(2026, 11, 21, 23, 0, 0);
        r.searchRoot = "GC://dc1.example.org";
        r.folderName = "Junk/Old";
        r.expirationPeriod = 30;
        r.run = 4;
        r.timeToRun = "11:00 PM";
        r.mailboxToMove = "Archive (archive@example.org)";
        r.reportRecipient = "admin@example.org";
        r.allMailboxes = "1";
        r.includeSubfolders = "0";
        return r;
    }

    static Variant Read(const std::string& name) {
        platform::Record rec;
        rec.Open(kItemUrl, nullptr, platform::adModeRead);
        return rec.Fields(name).Value();
    }

    static constexpr const char* kMailbox =
        "file://./backofficestorage/example.org/MBX/SystemMailbox{1F2E}";
    static constexpr const char* kItemUrl =
        "file://./backofficestorage/example.org/MBX/SystemMailbox{1F2E}/StoreEvents/GlobalEvents/"
        "Quellix.reg";
};

// A write to a mailbox that is not there, or to a URL that leaves the
// store, fails by its result and leaves no item; the write that works has
// every property with its type. What a second write leaves is read back by
// the setup program's registration tests.
TEST_F(RegistrationWriteTest, WritesEveryPropertyWithItsTypeOrFailsByResult) {
    platform::Error failure(0, "");
    for (const char* url : {"file://./backofficestorage/example.org/MBX/nobody",
                            "file://./backofficestorage/../etc"}) {
        OnTimerRegistration r = Item();
        r.mailboxUrl = url;
        EXPECT_EQ(CreateOnTimerEventRegistration(r, &failure), "") << url;
        EXPECT_NE(failure.Number(), 0) << url;
        EXPECT_FALSE(failure.Description().empty()) << url;
    }
    platform::Record rec;
    EXPECT_THROW(rec.Open(kItemUrl, nullptr, platform::adModeRead), platform::Error);

    failure = platform::Error(0, "");
    EXPECT_EQ(CreateOnTimerEventRegistration(Item(), &failure),
              std::string(kMailbox) + "/StoreEvents/GlobalEvents");
    EXPECT_EQ(failure.Number(), 0);

    EXPECT_EQ(Read("DAV:contentclass"), Variant("urn:content-class:storeeventreg"));
    EXPECT_EQ(Read(kEventMethod), Variant("onTimer"));
    EXPECT_EQ(Read(kSinkClassProperty), Variant("Quellix.QuellixCls"));
    EXPECT_EQ(Read(kTimerStartTime).ToDate().UnixSeconds(),
              Date::FromParts(2026, 11, 21, 23, 0, 0).UnixSeconds());
    EXPECT_EQ(Read(kTimerInterval), Variant(int16_t{1440}));
    EXPECT_EQ(Read(kEnabled), Variant(true));
    EXPECT_EQ(Read("DAV:ishidden").ToBool(), true);
    EXPECT_EQ(Read("Quellix_MailboxToMove"), Variant("Archive (archive@example.org)"));
    EXPECT_EQ(Read("Quellix_SearchRoot"), Variant("GC://dc1.example.org"));
    EXPECT_EQ(Read("Quellix_FolderName"), Variant("Junk/Old"));
    EXPECT_EQ(Read("Quellix_ExpirationPeriod"), Variant(int16_t{30}));
    EXPECT_EQ(Read("Quellix_Run"), Variant(int16_t{4}));
    EXPECT_EQ(Read("Quellix_TimeToRun"), Variant("11:00 PM"));
    EXPECT_EQ(Read("Quellix_ReportRecipient"), Variant("admin@example.org"));
    EXPECT_EQ(Read("Quellix_AffectAllMailboxes"), Variant("1"));
    EXPECT_EQ(Read("Quellix_IncludeSubfolders"), Variant("0"));
}

}  // namespace
}  // namespace registration
