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

// By identifier: Eastern = 10, GMT/London = 1, UTC = 0, Pacific = 13,
// Wellington = 17, Brisbane = 18, Bombay = 23, Tehran = 25; or by IANA name.
TEST(Convert, GivesTheWallTimeOfTheOtherZone) {
    const struct {
        int32_t from, to;
        const char* value;
        const char* want;
    } cases[] = {
        {13, 13, "2004-03-05 07:08:09", "2004-03-05 07:08:09"},
        {13, 13, "2024-03-10 02:30:00", "2024-03-10 02:30:00"},  // a skipped hour, same zone
        {10, 0, "2004-03-05 07:08:09", "2004-03-05 12:08:09"},
        {10, 0, "2004-07-01 12:00:00", "2004-07-01 16:00:00"},
        {10, 1, "2024-03-10 01:59:59", "2024-03-10 06:59:59"},  // the last second before DST
        {10, 1, "2024-03-10 03:00:00", "2024-03-10 07:00:00"},  // its first second
        {10, 0, "2024-03-10 02:30:00", "2024-03-10 07:30:00"},  // skipped: the winter offset
        {10, 0, "2024-11-03 01:30:00", "2024-11-03 05:30:00"},  // repeated: the first time
        {10, 1, "2024-04-01 12:00:00", "2024-04-01 17:00:00"},
        {1, 10, "2024-07-01 12:00:00", "2024-07-01 07:00:00"},
        // Beyond the last transition: the rule of the file's footer.
        {10, 0, "2045-07-01 12:00:00", "2045-07-01 16:00:00"},
        {10, 0, "2045-01-15 12:00:00", "2045-01-15 17:00:00"},
        {17, 0, "2045-01-15 12:00:00", "2045-01-14 23:00:00"},
        {17, 0, "2045-07-15 12:00:00", "2045-07-15 00:00:00"},
        {23, 0, "2004-03-05 12:00:00", "2004-03-05 06:30:00"},
        {18, 0, "2024-01-15 10:00:00", "2024-01-15 00:00:00"},  // Brisbane keeps no DST
        {0, 25, "2030-12-31 22:00:00", "2031-01-01 01:30:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to) + " at " + c.value);
        EXPECT_EQ(GeneralDateText(ById(*platform::ParseDateText(c.value), c.from, c.to)), c.want);
    }
    EXPECT_EQ(GeneralDateText(ByName(Date::FromParts(2004, 3, 5, 12, 0, 0), "Asia/Kolkata", "UTC")),
              "2004-03-05 06:30:00");
    EXPECT_EQ(GeneralDateText(ByName(Date::FromParts(2024, 7, 1, 12, 0, 0), "Europe/Berlin",
                                     "America/New_York")),
              "2024-07-01 06:00:00");
    // Fractions of a second are kept.
    const Date value(Date::FromParts(2024, 1, 2, 3, 4, 5).Serial() + 0.5 / 86400);
    EXPECT_NEAR(
        (ById(value, 10, 0).Serial() - Date::FromParts(2024, 1, 2, 8, 4, 5).Serial()) * 86400, 0.5,
        1e-4);
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

// Every identifier of the table names a zone of the database, and the C
// library reads that database its own way: both must agree on every zone,
// past, present and beyond the last transition. (Setting TZ is fine here,
// in a test on one thread; the library never does.)
TEST(ZoneTable, EveryZoneAgreesWithTheCLibraryFrom1970To2060) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz != nullptr ? oldTz : "";
    int compared = 0;
    int zones = 0;
    for (int32_t id = 0; id <= 90; ++id) {
        const std::string name = platform::TimeZoneNameFromId(id);
        if (name.empty()) continue;
        ++zones;
        Configuration config;
        config.SetField(platform::cdoTimeZoneId, id);
        EXPECT_NO_THROW(config.Update()) << id << " " << name;
        EXPECT_EQ(config.ZoneName(), name);
        EXPECT_NE(platform::TimeZoneIdFromName(name), -1);
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
    EXPECT_GE(zones, 52);
    EXPECT_EQ(platform::TimeZoneNameFromId(13), "America/Los_Angeles");
    EXPECT_EQ(platform::TimeZoneIdFromName("America/New_York"), 10);
    EXPECT_EQ(platform::TimeZoneIdFromName("Mars/Olympus_Mons"), -1);
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
