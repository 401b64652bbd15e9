#include "isodate/iso_date.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
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

TEST(FormatIsoDate, FormatsTheValueUnchanged) {
    EXPECT_EQ(ISODate::FormatIsoDate(Date::FromParts(2004, 3, 5, 7, 8, 9)), "2004-03-05T07:08:09Z");
    EXPECT_EQ(ISODate::FormatIsoDate(Date()), "1899-12-30T00:00:00Z");
    EXPECT_EQ(ISODate::FormatIsoDate(Date::FromParts(2026, 12, 31, 23, 59, 59)),
              "2026-12-31T23:59:59Z");
    // Half a second before midnight rounds to the next day, as the date's parts do.
    EXPECT_EQ(ISODate::FormatIsoDate(Date(Date::FromParts(2025, 1, 1).Serial() - 0.4 / 86400)),
              "2025-01-01T00:00:00Z");
}

TEST_F(IsoDateTest, BiasShiftsALocalCutoffToUtc) {
    struct Case {
        const char* bias;
        double want;
        const char* cutoffUtc;  // nullptr: no date to compare
    };
    const Case cases[] = {
        {"-60", -60, "2004-03-05T09:00:00Z"},
        {"300", 300, "2004-03-05T15:00:00Z"},
        {"0", 0, "2004-03-05T10:00:00Z"},
        {"bytes:3C 00 00 00", 60, "2004-03-05T11:00:00Z"},
        // Bytes are summed little-endian, without a sign.
        {"bytes:C4 FF FF FF", 4294967236.0, nullptr},
    };
    const Date cutoff = Date::FromParts(2004, 3, 5, 10, 0, 0);
    for (const Case& c : cases) {
        SetBias(c.bias);
        const double bias = ISODate::GetTimeZoneBias();
        EXPECT_EQ(bias, c.want) << c.bias;
        if (c.cutoffUtc != nullptr) {
            EXPECT_EQ(ISODate::FormatIsoDate(cutoff.AddMinutes(bias)), c.cutoffUtc) << c.bias;
        }
    }
}

// What both the cleanup run and the setup program use: a day either way,
// and not a minute more.
TEST_F(IsoDateTest, UsableBiasLiesWithinADay) {
    const struct {
        const char* bias;
        std::optional<double> want;  // nothing: refused
    } cases[] = {
        {"1440", 1440},
        {"-1440", -1440},
        {"bytes:A0 05 00 00", 1440},
        {"1441", std::nullopt},
        {"-1441", std::nullopt},
        {"bytes:C4 FF FF FF", std::nullopt},  // the sum as it stands: no zone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bias);
        SetBias(c.bias);
        try {
            const double bias = ISODate::GetUsableTimeZoneBias();
            EXPECT_EQ(std::optional<double>(bias), c.want);
        } catch (const platform::Error& e) {
            EXPECT_FALSE(c.want) << e.Description();
            EXPECT_EQ(e.Number(), platform::err::kUnrecognizedData);
            EXPECT_EQ(e.Source(), "ActiveTimeBias");
            EXPECT_NE(e.Description().find("out of range"), std::string::npos) << e.Description();
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

TEST_F(IsoDateTest, UnrecognisedTypeRaises) {
    SetBias("sixty minutes");
    try {
        (void)ISODate::GetTimeZoneBias();
        FAIL() << "text accepted as a bias";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040001));
        EXPECT_EQ(e.Source(), "ActiveTimeBias");
        EXPECT_EQ(e.Description(), "Can't recognize type of data: sixty minutes");
    }
}

TEST(ConvertTimeZone, EqualZonesGiveTheValueUnchanged) {
    // The sweep's call: both identifiers 13 and no names.
    for (const Date d :
         {Date::FromParts(2004, 3, 5, 7, 8, 9), Date::FromParts(2024, 3, 10, 2, 30, 0),
          Date(Date::FromParts(2024, 11, 3, 1, 30, 0).Serial() + 0.25 / 86400)}) {
        EXPECT_EQ(ISODate::ConvertTimeZone(d, 13, 13, "", "").Serial(), d.Serial());
    }
    const Date d = Date::FromParts(2010, 6, 1, 12, 0, 0);
    EXPECT_EQ(ISODate::ConvertTimeZone(d, 0, 0, "Europe/Paris", "Europe/Paris").Serial(),
              d.Serial());
}

// A host whose tz database lacks the zone (TZDIR naming an empty folder):
// equal zones still convert. Run in a fresh process, whose zone cache holds
// nothing yet.
TEST(ConvertTimeZone, EqualZonesNeedNoTimeZoneDatabase) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string empty = testing::TempDir() + "no-zones-" + std::to_string(getpid());
    std::filesystem::create_directories(empty);
    EXPECT_EXIT(
        {
            setenv("TZDIR", empty.c_str(), 1);
            const Date d = Date::FromParts(2004, 3, 5, 7, 8, 9);
            bool same = false;
            try {
                same = ISODate::ConvertTimeZone(d, 13, 13, "", "").Serial() == d.Serial();
            } catch (const platform::Error& e) {
                std::fprintf(stderr, "%s\n", e.Description().c_str());
            }
            std::exit(same ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    std::filesystem::remove_all(empty);
}

TEST(ConvertTimeZone, BetweenRealZones) {
    struct Case {
        const char* name;
        Date value;
        int32_t to, from;
        const char* fromName;
        const char* toName;
        const char* want;
    };
    const Case cases[] = {
        {"EasternToGmtBeforeDst", Date::FromParts(2024, 3, 10, 1, 0, 0), 1, 10, "", "",
         "2024-03-10T06:00:00Z"},
        {"EasternToGmtAfterDst", Date::FromParts(2024, 3, 10, 4, 0, 0), 1, 10, "", "",
         "2024-03-10T08:00:00Z"},
        {"GmtToEasternAcrossLondonDst", Date::FromParts(2024, 3, 31, 12, 0, 0), 10, 1, "", "",
         "2024-03-31T07:00:00Z"},
        {"NamesWinOverIds", Date::FromParts(2024, 7, 1, 12, 0, 0), 13, 13, "Europe/Berlin", "UTC",
         "2024-07-01T10:00:00Z"},
        {"OneNameIsEnoughToUseNames", Date::FromParts(2024, 7, 1, 12, 0, 0), 0, 0,
         "America/Chicago", "Asia/Tokyo", "2024-07-02T02:00:00Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ISODate::FormatIsoDate(
                      ISODate::ConvertTimeZone(c.value, c.to, c.from, c.fromName, c.toName)),
                  c.want)
            << c.name;
    }
}

TEST(ConvertTimeZone, UnknownZoneRaises) {
    EXPECT_THROW((void)ISODate::ConvertTimeZone(Date(), 13, 999, "", ""), platform::Error);
    EXPECT_THROW((void)ISODate::ConvertTimeZone(Date(), 0, 0, "Nowhere/Atlantis", "UTC"),
                 platform::Error);
}

}  // namespace
