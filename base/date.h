// The platform's date type: a point in time counted in days, and fractions of
// a day, from the zero date 30 December 1899 at midnight. "Now minus 14 days"
// is plain subtraction, a fractional age limit works, and a conversion that
// fails leaves the zero date, as the platform's date type does.
//
// A Date carries no zone: whether it is local time or UTC is the caller's
// knowledge, and the names of the functions below say which they produce.
// Dates before the zero date are treated as a plain number line.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct DateParts {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
};

class Date {
public:
    constexpr Date() = default;
    constexpr explicit Date(double serial) : serial_(serial) {}

    // Builds a date from calendar fields. Fields out of range roll over as in
    // the platform's DateSerial/TimeSerial (month 13 is January of next year).
    static Date FromParts(int year, int month, int day, int hour = 0, int minute = 0,
                          int second = 0);
    static Date FromUnixSeconds(int64_t seconds);

    // Current wall-clock time of this host, in its local zone or in UTC.
    static Date NowLocal();
    static Date NowUtc();

    [[nodiscard]] constexpr double Serial() const { return serial_; }
    // Calendar fields, rounded to the nearest second.
    [[nodiscard]] DateParts Parts() const;
    [[nodiscard]] int64_t UnixSeconds() const;
    // 1 = Sunday ... 7 = Saturday.
    [[nodiscard]] int Weekday() const;

    [[nodiscard]] Date AddDays(double days) const { return Date(serial_ + days); }
    [[nodiscard]] Date AddMinutes(double minutes) const { return Date(serial_ + minutes / 1440.0); }

    // Re-expresses a local time of this host as UTC and back, through the
    // system tz database (the offset in force at that instant).
    [[nodiscard]] Date LocalToUtc() const;
    [[nodiscard]] Date UtcToLocal() const;

    friend constexpr auto operator<=>(Date a, Date b) { return a.serial_ <=> b.serial_; }
    friend constexpr bool operator==(Date a, Date b) { return a.serial_ == b.serial_; }

private:
    double serial_ = 0.0;
};

// Proleptic Gregorian calendar arithmetic on days counted from 1970-01-01,
// for code that works in Unix time (time-zone rules, for one).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);
void CivilFromDays(int64_t days, int& year, int& month, int& day);

// The system's general date-and-time text form, used in every log line, report
// subject and error entry: "yyyy-mm-dd hh:mm:ss", 24-hour clock. It is chosen
// here, once, instead of following a locale, so that logs read the same on
// every server and sort as text.
std::string GeneralDateText(Date d);

// Parses "yyyy-mm-dd", optionally followed by "T" or a blank and
// "hh:mm[:ss]", optionally " AM"/" PM" (12-hour clock) and an optional "Z".
// Months and days may have one digit. Returns nothing for any other text or an
// impossible calendar date; then *why (when given) says which: the forms it
// takes, or what the calendar lacks ("there is no day 30: February 2026 has
// 28 days").
std::optional<Date> ParseDateText(std::string_view text);
std::optional<Date> ParseDateText(std::string_view text, std::string* why);

// Parses exactly "yyyy-mm-ddThh:mm:ssZ", an instant in UTC, and nothing
// else; *why (when given) says why not, as above.
std::optional<Date> ParseIsoUtcText(std::string_view text, std::string* why = nullptr);

}  // namespace platform
