#include "platform/calendar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/testing/file_text.h"

using platform::Appointment;
using platform::Configuration;
using platform::Date;
using platform::GeneralDateText;

namespace {

// Converts a wall time between two zones given by identifier or by name, as
// the calendar service's callers do.
Date Convert(Date value, const platform::Variant& from, const platform::Variant& to,
             const char* field) {
    Configuration config;
    Appointment appointment;
    appointment.SetConfiguration(&config);
    config.SetField(field, from);
    config.Update();
    appointment.SetStartTime(value);
    config.SetField(field, to);
    config.Update();
    return appointment.StartTime();
}

Date ById(Date value, int32_t from, int32_t to) {
    return Convert(value, from, to, platform::cdoTimeZoneId);
}
Date ByName(Date value, const char* from, const char* to) {
    return Convert(value, from, to, platform::cdoTimeZoneName);
}

struct Case {
    const char* name;
    int32_t fromId, toId;
    Date value;
    const char* want;
};

class ConvertById : public testing::TestWithParam<Case> {};

TEST_P(ConvertById, GivesTheWallTimeOfTheOtherZone) {
    const Case& c = GetParam();
    EXPECT_EQ(GeneralDateText(ById(c.value, c.fromId, c.toId)), c.want);
}

// Eastern = 10, GMT/London = 1, UTC = 0, Pacific = 13, Wellington = 17,
// Brisbane = 18, Bombay = 23, Tehran = 25.
INSTANTIATE_TEST_SUITE_P(
    Zones, ConvertById,
    testing::Values(Case{"PacificToPacificUnchanged", 13, 13, Date::FromParts(2004, 3, 5, 7, 8, 9),
                         "2004-03-05 07:08:09"},
                    Case{"SkippedHourUnchangedInSameZone", 13, 13,
                         Date::FromParts(2024, 3, 10, 2, 30, 0), "2024-03-10 02:30:00"},
                    Case{"EasternWinterToUtc", 10, 0, Date::FromParts(2004, 3, 5, 7, 8, 9),
                         "2004-03-05 12:08:09"},
                    Case{"EasternSummerToUtc", 10, 0, Date::FromParts(2004, 7, 1, 12, 0, 0),
                         "2004-07-01 16:00:00"},
                    Case{"EasternLastSecondBeforeDstToGmt", 10, 1,
                         Date::FromParts(2024, 3, 10, 1, 59, 59), "2024-03-10 06:59:59"},
                    Case{"EasternFirstSecondOfDstToGmt", 10, 1,
                         Date::FromParts(2024, 3, 10, 3, 0, 0), "2024-03-10 07:00:00"},
                    Case{"EasternSkippedHourReadWithWinterOffset", 10, 0,
                         Date::FromParts(2024, 3, 10, 2, 30, 0), "2024-03-10 07:30:00"},
                    Case{"EasternRepeatedHourIsFirstOccurrence", 10, 0,
                         Date::FromParts(2024, 11, 3, 1, 30, 0), "2024-11-03 05:30:00"},
                    Case{"EasternToLondonSummer", 10, 1, Date::FromParts(2024, 4, 1, 12, 0, 0),
                         "2024-04-01 17:00:00"},
                    Case{"GmtSummerToEastern", 1, 10, Date::FromParts(2024, 7, 1, 12, 0, 0),
                         "2024-07-01 07:00:00"},
                    Case{"FooterRuleEasternSummer2045", 10, 0,
                         Date::FromParts(2045, 7, 1, 12, 0, 0), "2045-07-01 16:00:00"},
                    Case{"FooterRuleEasternWinter2045", 10, 0,
                         Date::FromParts(2045, 1, 15, 12, 0, 0), "2045-01-15 17:00:00"},
                    Case{"FooterRuleSouthernSummer", 17, 0, Date::FromParts(2045, 1, 15, 12, 0, 0),
                         "2045-01-14 23:00:00"},
                    Case{"FooterRuleSouthernWinter", 17, 0, Date::FromParts(2045, 7, 15, 12, 0, 0),
                         "2045-07-15 00:00:00"},
                    Case{"HalfHourZone", 23, 0, Date::FromParts(2004, 3, 5, 12, 0, 0),
                         "2004-03-05 06:30:00"},
                    Case{"BrisbaneKeepsNoDst", 18, 0, Date::FromParts(2024, 1, 15, 10, 0, 0),
                         "2024-01-15 00:00:00"},
                    Case{"TehranAcrossDays", 0, 25, Date::FromParts(2030, 12, 31, 22, 0, 0),
                         "2031-01-01 01:30:00"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ConvertByName, UsesIanaNames) {
    EXPECT_EQ(GeneralDateText(ByName(Date::FromParts(2004, 3, 5, 12, 0, 0), "Asia/Kolkata", "UTC")),
              "2004-03-05 06:30:00");
    EXPECT_EQ(GeneralDateText(ByName(Date::FromParts(2024, 7, 1, 12, 0, 0), "Europe/Berlin",
                                     "America/New_York")),
              "2024-07-01 06:00:00");
}

TEST(ConvertById, KeepsFractionsOfASecond) {
    const Date value(Date::FromParts(2024, 1, 2, 3, 4, 5).Serial() + 0.5 / 86400);
    const Date got = ById(value, 10, 0);
    EXPECT_NEAR((got.Serial() - Date::FromParts(2024, 1, 2, 8, 4, 5).Serial()) * 86400, 0.5, 1e-4);
}

TEST(ZoneTable, EveryIdentifierNamesAZoneOfTheDatabase) {
    int found = 0;
    for (int32_t id = 0; id <= 90; ++id) {
        const std::string name = platform::TimeZoneNameFromId(id);
        if (name.empty()) continue;
        ++found;
        Configuration config;
        config.SetField(platform::cdoTimeZoneId, id);
        EXPECT_NO_THROW(config.Update()) << id << " " << name;
        EXPECT_EQ(config.ZoneName(), name);
        EXPECT_NE(platform::TimeZoneIdFromName(name), -1);
    }
    EXPECT_GE(found, 52);
    EXPECT_EQ(platform::TimeZoneNameFromId(13), "America/Los_Angeles");
    EXPECT_EQ(platform::TimeZoneIdFromName("America/New_York"), 10);
    EXPECT_EQ(platform::TimeZoneIdFromName("Mars/Olympus_Mons"), -1);
}

TEST(ZoneTable, UnknownZonesRaiseInvalidTimeZone) {
    struct Bad {
        const char* field;
        platform::Variant value;
    };
    const std::vector<Bad> cases = {
        {platform::cdoTimeZoneId, int32_t{52}},  // floating time: no zone
        {platform::cdoTimeZoneId, int32_t{999}},
        {platform::cdoTimeZoneId, int32_t{-1}},
        {platform::cdoTimeZoneId, "Pacific"},
        {platform::cdoTimeZoneName, "Mars/Olympus_Mons"},
        {platform::cdoTimeZoneName, "../../../etc/passwd"},
        {platform::cdoTimeZoneName, "/etc/localtime"},
        {platform::cdoTimeZoneName, "America"},  // a folder of the database, not a zone
    };
    for (const Bad& b : cases) {
        Configuration config;
        config.SetField(b.field, b.value);
        try {
            config.Update();
            ADD_FAILURE() << b.value.ToStringOrEmpty() << " accepted";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::kCdoInvalidTimeZone);
        }
        EXPECT_EQ(config.ZoneName(), "UTC") << "a failed update keeps the zone in force";
    }
}

TEST(ZoneTable, DamagedZoneFilesAreRefused) {
    const auto dir = std::filesystem::temp_directory_path() / ("tzdir-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "Test");
    {
        std::ofstream(dir / "Test" / "Garbage") << "not a zone file at all";
        const std::string bytes =
            platform::testing::FileText("/usr/share/zoneinfo/America/New_York");
        std::ofstream(dir / "Test" / "Truncated", std::ios::binary) << bytes.substr(0, 120);
        std::ofstream(dir / "Test" / "Copy", std::ios::binary) << bytes;
    }
    setenv("TZDIR", dir.c_str(), 1);
    for (const char* name : {"Test/Garbage", "Test/Truncated"}) {
        Configuration config;
        config.SetField(platform::cdoTimeZoneName, name);
        EXPECT_THROW(config.Update(), platform::Error) << name;
    }
    EXPECT_EQ(GeneralDateText(ByName(Date::FromParts(2024, 7, 1, 12, 0, 0), "Test/Copy", "UTC")),
              "2024-07-01 16:00:00");
    unsetenv("TZDIR");
    std::filesystem::remove_all(dir);
}

// The C library reads the same database its own way: both must agree on
// every zone of the table, past, present and beyond the last transition.
// (Setting TZ is fine here, in a test on one thread; the library never does.)
TEST(ZoneTable, AgreesWithTheCLibraryFrom1970To2060) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz != nullptr ? oldTz : "";
    int compared = 0;
    for (int32_t id = 0; id <= 90; ++id) {
        const std::string name = platform::TimeZoneNameFromId(id);
        if (name.empty()) continue;
        setenv("TZ", (":" + name).c_str(), 1);
        tzset();
        for (int64_t t = 0; t < 2871763200;
             t += 7 * 86400 + 3607) {  // to 2061, weekly, drifting hours
            const time_t tt = static_cast<time_t>(t);
            struct tm tm {};
            localtime_r(&tt, &tm);
            const Date want = Date::FromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                              tm.tm_hour, tm.tm_min, tm.tm_sec);
            const Date got = ById(Date::FromUnixSeconds(t), 0, id);
            ASSERT_EQ(GeneralDateText(got), GeneralDateText(want)) << name << " at unix " << t;
            ++compared;
        }
    }
    if (oldTz != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_GT(compared, 100000);
}

TEST(Appointment, ConvertsFromManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 200; ++i) {
                const int32_t id = (i + t) % 2 == 0 ? 10 : 17;
                const Date local = Date::FromParts(2024, 1 + i % 12, 15, 12, 0, 0);
                const Date back = ById(ById(local, id, 0), 0, id);
                if (GeneralDateText(back) != GeneralDateText(local)) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
