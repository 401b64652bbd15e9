#include "isodate/iso_date.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#include "base/error.h"
#include "base/testing/temp_platform.h"

using platform::Date;

namespace {

// Each test on its own platform configuration, which sets the bias.
class IsoDateTest : public testing::Test {
protected:
    void TearDown() override { unsetenv("QUELLIX_CONFIG"); }
    void SetBias(const std::string& value) {
        temp_.Configure(value.empty() ? "" : "timezone.active_time_bias = " + value + "\n");
    }
    platform::testing::TempPlatform temp_{"isodate-"};
};

TEST(FormatIsoDate, FormatsTheValueUnchangedRoundingToTheSecond) {
    EXPECT_EQ(ISODate::FormatIsoDate(Date::FromParts(2004, 3, 5, 7, 8, 9)), "2004-03-05T07:08:09Z");
    // Half a second before midnight rounds to the next day, as the date's parts do.
    EXPECT_EQ(ISODate::FormatIsoDate(Date(Date::FromParts(2025, 1, 1).Serial() - 0.4 / 86400)),
              "2025-01-01T00:00:00Z");
}

// The bias as configured (bytes summed little-endian, without a sign), and
// the one both the cleanup run and the setup program use: a day either way,
// and not a minute more.
TEST_F(IsoDateTest, UsableBiasLiesWithinADay) {
    const struct {
        const char* bias;
        std::optional<double> raw;     // nothing: no bias of that type
        std::optional<double> usable;  // nothing: refused
    } cases[] = {
        {"-60", -60, -60},
        {"300", 300, 300},
        {"bytes:3C 00 00 00", 60, 60},
        {"1440", 1440, 1440},
        {"-1440", -1440, -1440},
        {"bytes:A0 05 00 00", 1440, 1440},
        {"1441", 1441, std::nullopt},
        {"-1441", -1441, std::nullopt},
        {"bytes:C4 FF FF FF", 4294967236.0, std::nullopt},  // the sum as it stands: no zone
        {"sixty minutes", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bias);
        SetBias(c.bias);
        for (const bool usable : {false, true}) {
            const std::optional<double> want = usable ? c.usable : c.raw;
            const std::string why = c.raw ? "out of range" : "Can't recognize type of data: ";
            try {
                const double bias =
                    usable ? ISODate::GetUsableTimeZoneBias() : ISODate::GetTimeZoneBias();
                EXPECT_EQ(std::optional<double>(bias), want);
            } catch (const platform::Error& e) {
                EXPECT_FALSE(want) << e.Description();
                EXPECT_EQ(e.Number(), platform::err::kUnrecognizedData);
                EXPECT_EQ(e.Source(), "ActiveTimeBias");
                EXPECT_NE(e.Description().find(why), std::string::npos) << e.Description();
            }
        }
    }
}

// Without a configured value the bias is the local zone's offset now: a zone
// without summer time gives the same answer all year.
TEST_F(IsoDateTest, DefaultBiasIsTheLocalZonesOffset) {
    const char* const oldTz = getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    SetBias("");
    const struct {
        const char* tz;
        double bias;
    } cases[] = {{"UTC", 0}, {"Asia/Kolkata", -330}, {"America/Bogota", 300}};
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(ISODate::GetTimeZoneBias(), c.bias) << c.tz;
    }
    if (oldTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

// A host whose tz database lacks the zone (TZDIR naming an empty folder):
// equal zones still convert. Run in a fresh process, whose zone cache holds
// nothing yet.
TEST(ConvertTimeZone, EqualZonesNeedNoTimeZoneDatabase) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The threadsafe style runs this whole test again in the child, so the
    // folder is made and removed there, by the process that names it.
    EXPECT_EXIT(
        {
            const std::string empty = testing::TempDir() + "no-zones-" + std::to_string(getpid());
            std::filesystem::create_directories(empty);
            setenv("TZDIR", empty.c_str(), 1);
            const Date d = Date::FromParts(2004, 3, 5, 7, 8, 9);
            bool same = false;
            try {
                same = ISODate::ConvertTimeZone(d, 13, 13, "", "").Serial() == d.Serial();
            } catch (const platform::Error& e) {
                std::fprintf(stderr, "%s\n", e.Description().c_str());
            }
            std::filesystem::remove_all(empty);
            std::exit(same ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Between real zones by identifier or by name (names win); equal zones give
// the value unchanged, even at a time a zone skips; an unknown zone raises.
TEST(ConvertTimeZone, BetweenZones) {
    const struct {
        const char* value;
        int32_t to, from;
        const char* fromName;
        const char* toName;
        const char* want;  // nullptr: raises
    } cases[] = {
        {"2024-03-10 01:00:00", 1, 10, "", "", "2024-03-10T06:00:00Z"},  // before DST
        {"2024-03-10 04:00:00", 1, 10, "", "", "2024-03-10T08:00:00Z"},  // after
        {"2024-03-31 12:00:00", 10, 1, "", "", "2024-03-31T07:00:00Z"},  // London's DST
        {"2024-07-01 12:00:00", 13, 13, "Europe/Berlin", "UTC", "2024-07-01T10:00:00Z"},
        {"2024-07-01 12:00:00", 0, 0, "America/Chicago", "Asia/Tokyo", "2024-07-02T02:00:00Z"},
        {"2024-03-10 02:30:00", 13, 13, "", "", "2024-03-10T02:30:00Z"},  // a skipped hour
        {"2010-06-01 12:00:00", 0, 0, "Europe/Paris", "Europe/Paris", "2010-06-01T12:00:00Z"},
        {"2024-01-01 00:00:00", 13, 999, "", "", nullptr},
        {"2024-01-01 00:00:00", 0, 0, "Nowhere/Atlantis", "UTC", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + c.fromName + " " + std::to_string(c.from));
        const Date value = *platform::ParseDateText(c.value);
        if (c.want == nullptr) {
            EXPECT_THROW((void)ISODate::ConvertTimeZone(value, c.to, c.from, c.fromName, c.toName),
                         platform::Error);
            continue;
        }
        EXPECT_EQ(ISODate::FormatIsoDate(
                      ISODate::ConvertTimeZone(value, c.to, c.from, c.fromName, c.toName)),
                  c.want);
    }
}

}  // namespace
