#include "base/date.h"

#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>

#include "base/strfuncs.h"

namespace platform {
namespace {

// 1899-12-30 counted from 1970-01-01.
constexpr int64_t kZeroDateUnixDays = -25569;
constexpr int64_t kSecondsPerDay = 86400;

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

// Days from 1970-01-01 to the civil date (proleptic Gregorian); H. Hinnant.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

Date Date::FromParts(int year, int month, int day, int hour, int minute, int second) {
    // Roll months into years first, then let day and time arithmetic carry.
    int64_t y = year + FloorDiv(month - 1, 12);
    int64_t m = month - 1 - 12 * FloorDiv(month - 1, 12) + 1;
    const int64_t days = DaysFromCivil(y, m, 1) + (day - 1) - kZeroDateUnixDays;
    const int64_t secs = int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    return Date(static_cast<double>(days) + static_cast<double>(secs) / kSecondsPerDay);
}

Date Date::FromUnixSeconds(int64_t seconds) {
    return Date(static_cast<double>(seconds) / kSecondsPerDay -
                static_cast<double>(kZeroDateUnixDays));
}

int64_t Date::UnixSeconds() const {
    return std::llround(serial_ * kSecondsPerDay) + kZeroDateUnixDays * kSecondsPerDay;
}

DateParts Date::Parts() const {
    const int64_t total = std::llround(serial_ * kSecondsPerDay);
    const int64_t days = FloorDiv(total, kSecondsPerDay);
    const int64_t secs = total - days * kSecondsPerDay;
    DateParts p;
    CivilFromDays(days + kZeroDateUnixDays, p.year, p.month, p.day);
    p.hour = static_cast<int>(secs / 3600);
    p.minute = static_cast<int>(secs / 60 % 60);
    p.second = static_cast<int>(secs % 60);
    return p;
}

int Date::Weekday() const {
    const int64_t total = std::llround(serial_ * kSecondsPerDay);
    const int64_t days = FloorDiv(total, kSecondsPerDay);
    // Day 0, 30 December 1899, was a Saturday (7).
    return static_cast<int>(((days + 6) % 7 + 7) % 7) + 1;
}

Date Date::NowUtc() {
    const auto now = std::chrono::system_clock::now();
    return FromUnixSeconds(
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

Date Date::NowLocal() {
    return NowUtc().UtcToLocal();
}

Date Date::UtcToLocal() const {
    const time_t t = static_cast<time_t>(UnixSeconds());
    struct tm tm {};
    localtime_r(&t, &tm);
    return FromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec);
}

Date Date::LocalToUtc() const {
    const DateParts p = Parts();
    struct tm tm {};
    tm.tm_year = p.year - 1900;
    tm.tm_mon = p.month - 1;
    tm.tm_mday = p.day;
    tm.tm_hour = p.hour;
    tm.tm_min = p.minute;
    tm.tm_sec = p.second;
    tm.tm_isdst = -1;
    return FromUnixSeconds(static_cast<int64_t>(mktime(&tm)));
}

std::string GeneralDateText(Date d) {
    const DateParts p = d.Parts();
    char buf[40];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
             p.minute, p.second);
    return buf;
}

namespace {

// The fields of a date text, before they are checked against the calendar.
struct DateFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool time = false;     // a time of day was given
    bool seconds = false;  // with seconds
    bool twelveHour = false;
    bool zulu = false;   // ends in "Z"
    char separator = 0;  // 'T' or ' ' before the time
};

// Reads "yyyy-mm-dd", optionally "T" or a blank and "hh:mm[:ss]", an
// optional " AM"/" PM" and an optional "Z"; nothing for other text. The
// values are not checked here.
std::optional<DateFields> ReadDateFields(std::string_view s) {
    size_t i = 0;
    auto number = [&](size_t minDigits, size_t maxDigits) -> std::optional<int> {
        size_t start = i;
        int v = 0;
        while (i < s.size() && i - start < maxDigits &&
               std::isdigit(static_cast<unsigned char>(s[i]))) {
            v = v * 10 + (s[i] - '0');
            ++i;
        }
        if (i - start < minDigits) return std::nullopt;
        return v;
    };
    auto expect = [&](char c) {
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    };
    DateFields f;
    auto y = number(4, 4);
    if (!y || !expect('-')) return std::nullopt;
    auto mo = number(1, 2);
    if (!mo || !expect('-')) return std::nullopt;
    auto d = number(1, 2);
    if (!d) return std::nullopt;
    f.year = *y;
    f.month = *mo;
    f.day = *d;
    if (i < s.size() && (s[i] == 'T' || s[i] == ' ')) {
        f.separator = s[i];
        ++i;
        f.time = true;
        auto hh = number(1, 2);
        if (!hh || !expect(':')) return std::nullopt;
        auto mm = number(2, 2);
        if (!mm) return std::nullopt;
        f.hour = *hh;
        f.minute = *mm;
        if (expect(':')) {
            auto ss = number(2, 2);
            if (!ss) return std::nullopt;
            f.second = *ss;
            f.seconds = true;
        }
        if (i + 2 < s.size() && s[i] == ' ' && (i + 3 == s.size() || s[i + 3] == 'Z')) {
            const char a = UpperChar(s[i + 1]);
            const char m = UpperChar(s[i + 2]);
            if ((a != 'A' && a != 'P') || m != 'M') return std::nullopt;
            if (f.hour < 1 || f.hour > 12) return std::nullopt;
            f.hour = (f.hour % 12) + (a == 'P' ? 12 : 0);
            f.twelveHour = true;
            i += 3;
        }
        f.zulu = expect('Z');
    }
    if (i != s.size()) return std::nullopt;
    return f;
}

constexpr std::array<const char*, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

// Why the fields name no instant of the calendar; empty when they do.
std::string ImpossibleDate(const DateFields& f) {
    char text[128];
    if (f.month < 1 || f.month > 12) {
        std::snprintf(text, sizeof text, "there is no month %d (months go from 1 to 12)", f.month);
        return text;
    }
    static constexpr int kDaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (f.year % 4 == 0 && f.year % 100 != 0) || f.year % 400 == 0;
    const int days = f.month == 2 && !leap ? 28 : kDaysIn[f.month - 1];
    if (f.day < 1 || f.day > days) {
        std::snprintf(text, sizeof text, "there is no day %d: %s %04d has %d days", f.day,
                      kMonthNames[static_cast<size_t>(f.month - 1)], f.year, days);
        return text;
    }
    if (f.hour > 23 || f.minute > 59 || f.second > 59) {
        std::snprintf(text, sizeof text,
                      "there is no time %02d:%02d:%02d (hours go to 23, minutes and seconds to 59)",
                      f.hour, f.minute, f.second);
        return text;
    }
    return {};
}

// The date the fields name when they are of the accepted form (formWhy
// says what form otherwise) and the calendar has it (ImpossibleDate says
// what it lacks otherwise); *why, when given, gets the reason for nothing.
std::optional<Date> DateOf(const std::optional<DateFields>& f, bool form, const char* formWhy,
                           std::string* why) {
    const std::string impossible = f && form ? ImpossibleDate(*f) : formWhy;
    if (!impossible.empty()) {
        if (why) *why = impossible;
        return std::nullopt;
    }
    return Date::FromParts(f->year, f->month, f->day, f->hour, f->minute, f->second);
}

}  // namespace

std::optional<Date> ParseDateText(std::string_view s, std::string* why) {
    const auto f = ReadDateFields(s);
    return DateOf(f, f.has_value(),
                  "not a date and time of the form yyyy-mm-dd hh:mm (or hh:mm:ss, or h:mm AM|PM)",
                  why);
}

std::optional<Date> ParseDateText(std::string_view s) {
    return ParseDateText(s, nullptr);
}

std::optional<Date> ParseIsoUtcText(std::string_view s, std::string* why) {
    const auto f = ReadDateFields(s);
    // Exactly the one form: "T", seconds, the 24-hour clock, "Z", and two
    // digits for every field but the year.
    const bool exact =
        f && s.size() == 20 && f->separator == 'T' && f->seconds && !f->twelveHour && f->zulu;
    return DateOf(f, exact,
                  "not a time of the form yyyy-mm-ddThh:mm:ssZ (UTC, for example "
                  "2026-12-08T03:00:00Z)",
                  why);
}

}  // namespace platform
