#include "base/date.h"

#include <gtest/gtest.h>

using platform::Date;
using platform::ParseDateText;

TEST(Date, ZeroDateAndCalendarRoundTrip) {
    EXPECT_EQ(Date().Serial(), 0.0);
    EXPECT_EQ(platform::GeneralDateText(Date()), "1899-12-30 00:00:00");
    const Date d = Date::FromParts(2004, 3, 5, 7, 8, 9);
    EXPECT_EQ(platform::GeneralDateText(d), "2004-03-05 07:08:09");
    EXPECT_NEAR(Date::FromParts(1900, 1, 1).Serial(), 2.0, 1e-12);
    // Month and time overflow carries like DateSerial/TimeSerial.
    EXPECT_EQ(platform::GeneralDateText(Date::FromParts(2003, 13, 1, 24, 0, 0)),
              "2004-01-02 00:00:00");
    EXPECT_EQ(platform::GeneralDateText(Date::FromParts(2004, 3, 1).AddDays(-1)),
              "2004-02-29 00:00:00");
}

TEST(Date, WeekdayCountsFromSunday) {
    EXPECT_EQ(Date().Weekday(), 7);                                    // 1899-12-30 was a Saturday
    EXPECT_EQ(Date::FromParts(2026, 12, 6).Weekday(), 1);              // Sunday
    EXPECT_EQ(Date::FromParts(2026, 12, 8, 23, 59, 59).Weekday(), 3);  // Tuesday, late
}

TEST(Date, FractionalDaysAndSecondsRounding) {
    const Date d = Date::FromParts(2026, 1, 10, 12, 0, 0).AddDays(-1.5);
    EXPECT_EQ(platform::GeneralDateText(d), "2026-01-09 00:00:00");
    EXPECT_EQ(platform::GeneralDateText(Date::FromParts(2026, 1, 1).AddMinutes(-60)),
              "2025-12-31 23:00:00");
    EXPECT_EQ(Date::FromUnixSeconds(0).UnixSeconds(), 0);
    EXPECT_EQ(platform::GeneralDateText(Date::FromUnixSeconds(1700000000)), "2023-11-14 22:13:20");
}

// Dates from a command line: the one UTC form, or the local forms; a date
// the calendar lacks is refused saying what it lacks.
TEST(Date, ParseIsoUtcTakesOneFormAndSaysWhyNot) {
    std::string why;
    const auto d = platform::ParseIsoUtcText("2026-12-07T10:00:00Z", &why);
    ASSERT_TRUE(d.has_value()) << why;
    EXPECT_EQ(platform::GeneralDateText(*d), "2026-12-07 10:00:00");
    struct Case {
        const char* text;
        const char* why;
    } cases[] = {
        {"2026-12-07 10:00", "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {"2026-12-01", "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {"2026-12-07T10:00:00", "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {"2026-12-07T10:00Z", "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {"2026-2-7T10:00:00Z", "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {"2026-12-07 10:00:00Z", "not a time of the form yyyy-mm-ddThh:mm:ssZ"},
        {"2026-02-30T10:00:00Z", "there is no day 30: February 2026 has 28 days"},
        {"2024-02-30T10:00:00Z", "there is no day 30: February 2024 has 29 days"},
        {"2026-04-31T00:00:00Z", "there is no day 31: April 2026 has 30 days"},
        {"2026-13-01T00:00:00Z", "there is no month 13"},
        {"2026-12-00T00:00:00Z", "there is no day 0"},
        {"2026-12-07T24:00:00Z", "there is no time 24:00:00"},
        {"2026-12-07T10:60:00Z", "there is no time 10:60:00"},
    };
    for (const auto& c : cases) {
        why.clear();
        EXPECT_FALSE(platform::ParseIsoUtcText(c.text, &why).has_value()) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
    }
    why.clear();
    EXPECT_FALSE(ParseDateText("2026-02-30 03:00", &why).has_value());
    EXPECT_EQ(why, "there is no day 30: February 2026 has 28 days");
    EXPECT_FALSE(ParseDateText("the 30th", &why).has_value());
    EXPECT_NE(why.find("yyyy-mm-dd hh:mm"), std::string::npos) << why;
}

TEST(Date, ParseAcceptsIsoAndTwelveHourForms) {
    struct Case {
        const char* text;
        const char* want;
    } cases[] = {
        {"2004-03-05T07:08:09Z", "2004-03-05 07:08:09"},
        {"2004-03-05 07:08:09", "2004-03-05 07:08:09"},
        {"2004-03-05", "2004-03-05 00:00:00"},
        {"2026-11-21 12:00 AM", "2026-11-21 00:00:00"},
        {"2026-11-21 12:00 PM", "2026-11-21 12:00:00"},
        {"2026-1-2 1:05 pm", "2026-01-02 13:05:00"},
        {"2024-02-29T23:59:59Z", "2024-02-29 23:59:59"},
    };
    for (const auto& c : cases) {
        auto d = ParseDateText(c.text);
        ASSERT_TRUE(d.has_value()) << c.text;
        EXPECT_EQ(platform::GeneralDateText(*d), c.want) << c.text;
    }
    for (const char* bad :
         {"", "2004", "2004-13-01", "2023-02-29", "2004-03-05T25:00:00Z", "2004-03-05 13:00 PM",
          "2004-03-05x", "yesterday", "2004-03-05T07:08:09ZZ"}) {
        EXPECT_FALSE(ParseDateText(bad).has_value()) << bad;
    }
}

TEST(Date, LocalUtcRoundTripUnderFixedZone) {
    setenv("TZ", "America/New_York", 1);
    tzset();
    const Date local = Date::FromParts(2026, 1, 15, 10, 0, 0);
    EXPECT_EQ(platform::GeneralDateText(local.LocalToUtc()), "2026-01-15 15:00:00");
    EXPECT_EQ(platform::GeneralDateText(local.LocalToUtc().UtcToLocal()), "2026-01-15 10:00:00");
    unsetenv("TZ");
    tzset();
}
