// The calendar service's time zones on the system tz database. Zone files
// (TZif, RFC 8536) are read and parsed here, once per zone, and kept for the
// life of the process; nothing touches the process-wide TZ variable, so
// conversions are safe on any number of threads at once.
#include "platform/calendar.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "platform/calendar_internal.h"

namespace platform {
namespace {

// The messaging library's numeric time-zone identifiers (CdoTimeZoneId), each
// with the IANA zone that keeps the same civil time today. Values and their
// meanings follow the library's published enumeration. Identifier 2 is
// "Lisbon, Warsaw (GMT+01:00)" there, a zone one hour east of UTC, so it is
// Warsaw; Lisbon itself keeps UTC+0 with identifier 1's rules. Identifier 39
// (Eniwetok, Kwajalein, GMT-12:00) has no inhabited zone left, so it is the
// fixed Etc/GMT+12. Identifier 52 (floating time) names no zone and is absent.
struct ZoneIdEntry {
    int32_t id;
    const char* iana;
};
constexpr std::array<ZoneIdEntry, 81> kZoneIds{{
    {0, "UTC"},
    {1, "Europe/London"},
    {2, "Europe/Warsaw"},
    {3, "Europe/Paris"},
    {4, "Europe/Berlin"},
    {5, "Europe/Bucharest"},
    {6, "Europe/Prague"},
    {7, "Europe/Athens"},
    {8, "America/Sao_Paulo"},
    {9, "America/Halifax"},
    {10, "America/New_York"},
    {11, "America/Chicago"},
    {12, "America/Denver"},
    {13, "America/Los_Angeles"},
    {14, "America/Anchorage"},
    {15, "Pacific/Honolulu"},
    {16, "Pacific/Midway"},
    {17, "Pacific/Auckland"},
    {18, "Australia/Brisbane"},
    {19, "Australia/Adelaide"},
    {20, "Asia/Tokyo"},
    {21, "Asia/Singapore"},
    {22, "Asia/Bangkok"},
    {23, "Asia/Kolkata"},
    {24, "Asia/Dubai"},
    {25, "Asia/Tehran"},
    {26, "Asia/Baghdad"},
    {27, "Asia/Jerusalem"},
    {28, "America/St_Johns"},
    {29, "Atlantic/Azores"},
    {30, "Atlantic/South_Georgia"},
    {31, "Africa/Monrovia"},
    {32, "America/Argentina/Buenos_Aires"},
    {33, "America/Caracas"},
    {34, "America/Indiana/Indianapolis"},
    {35, "America/Bogota"},
    {36, "America/Regina"},
    {37, "America/Mexico_City"},
    {38, "America/Phoenix"},
    {39, "Etc/GMT+12"},
    {40, "Pacific/Fiji"},
    {41, "Asia/Magadan"},
    {42, "Australia/Hobart"},
    {43, "Pacific/Guam"},
    {44, "Australia/Darwin"},
    {45, "Asia/Shanghai"},
    {46, "Asia/Almaty"},
    {47, "Asia/Karachi"},
    {48, "Asia/Kabul"},
    {49, "Africa/Cairo"},
    {50, "Africa/Harare"},
    {51, "Europe/Moscow"},
    {53, "Atlantic/Cape_Verde"},
    {54, "Asia/Yerevan"},
    {55, "America/Guatemala"},
    {56, "Africa/Nairobi"},
    {57, "Australia/Melbourne"},
    {58, "Asia/Yekaterinburg"},
    {59, "Europe/Helsinki"},
    {60, "America/Nuuk"},
    {61, "Asia/Yangon"},
    {62, "Asia/Kathmandu"},
    {63, "Asia/Irkutsk"},
    {64, "Asia/Krasnoyarsk"},
    {65, "America/Santiago"},
    {66, "Asia/Colombo"},
    {67, "Pacific/Tongatapu"},
    {68, "Asia/Vladivostok"},
    {69, "Africa/Lagos"},
    {70, "Asia/Yakutsk"},
    {71, "Asia/Dhaka"},
    {72, "Asia/Seoul"},
    {73, "Australia/Perth"},
    {74, "Asia/Riyadh"},
    {75, "Asia/Taipei"},
    {76, "Australia/Sydney"},
    {77, "America/Chihuahua"},
    {78, "Australia/Sydney"},    // Canberra, Commonwealth Games 2006 rules
    {79, "Australia/Adelaide"},  // Adelaide, Commonwealth Games 2006 rules
    {80, "Australia/Hobart"},    // Hobart, Commonwealth Games 2006 rules
    {81, "America/Tijuana"},
}};

constexpr int64_t kSecondsPerDay = 86400;

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int64_t YearOfDays(int64_t days) {
    int year = 0, month = 0, day = 0;
    platform::CivilFromDays(days, year, month, day);
    return year;
}

bool IsLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// One end of a daylight-saving period in a POSIX TZ rule ("M3.2.0/2",
// "J60", "59/-1"): a day of the year and a time of day in local time.
struct RuleDate {
    enum Kind { Julian1, Julian0, MonthWeekDay } kind = MonthWeekDay;
    int day = 0, month = 0, week = 0, weekday = 0;
    int64_t time = int64_t{2} * 3600;

    // Local seconds since the epoch at which this rule date occurs in year y.
    [[nodiscard]] int64_t LocalSeconds(int64_t y) const {
        int64_t days = 0;
        switch (kind) {
            case Julian1:  // 1..365, 29 February never counted
                days =
                    platform::DaysFromCivil(y, 1, 1) + day - 1 + ((IsLeap(y) && day >= 60) ? 1 : 0);
                break;
            case Julian0:  // 0..365, 29 February counted
                days = platform::DaysFromCivil(y, 1, 1) + day;
                break;
            case MonthWeekDay: {
                const int64_t first = platform::DaysFromCivil(y, month, 1);
                const int64_t firstWeekday = ((first + 4) % 7 + 7) % 7;  // 1970-01-01: Thursday
                int64_t d = first + ((weekday - firstWeekday) % 7 + 7) % 7 + int64_t{week - 1} * 7;
                static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30,
                                                     31, 31, 30, 31, 30, 31};
                const int64_t monthDays =
                    kMonthDays[month - 1] + ((month == 2 && IsLeap(y)) ? 1 : 0);
                while (d >= first + monthDays) d -= 7;  // week 5 = the last such weekday
                days = d;
                break;
            }
        }
        return days * kSecondsPerDay + time;
    }
};

// The footer rule of a zone file: how the zone keeps time after its last
// recorded transition ("EST5EDT,M3.2.0,M11.1.0").
struct PosixRule {
    int32_t stdOffset = 0;  // seconds east of UTC
    bool hasDst = false;
    int32_t dstOffset = 0;
    RuleDate start, end;

    [[nodiscard]] int32_t OffsetAt(int64_t utc) const {
        if (!hasDst) return stdOffset;
        const int64_t year = YearOfDays(FloorDiv(utc + stdOffset, kSecondsPerDay));
        const int64_t s = start.LocalSeconds(year) - stdOffset;  // start given in standard time
        const int64_t e = end.LocalSeconds(year) - dstOffset;    // end given in daylight time
        const bool inDst = s < e ? (utc >= s && utc < e) : !(utc >= e && utc < s);
        return inDst ? dstOffset : stdOffset;
    }
};

// A small cursor over a POSIX TZ string; each Parse* returns false on text
// it cannot read, and the whole rule is then ignored.
class PosixParser {
public:
    explicit PosixParser(std::string_view s) : s_(s) {}

    std::optional<PosixRule> Parse() {
        PosixRule r;
        int64_t off = 0;
        if (!Name() || !Offset(off)) return std::nullopt;
        r.stdOffset = static_cast<int32_t>(-off);
        if (AtEnd()) return r;
        if (!Name()) return std::nullopt;
        r.hasDst = true;
        r.dstOffset = r.stdOffset + 3600;
        if (!AtEnd() && Peek() != ',') {
            if (!Offset(off)) return std::nullopt;
            r.dstOffset = static_cast<int32_t>(-off);
        }
        if (AtEnd()) {
            // No rule given: the customary United States rule.
            r.start = RuleDate{RuleDate::MonthWeekDay, 0, 3, 2, 0, 7200};
            r.end = RuleDate{RuleDate::MonthWeekDay, 0, 11, 1, 0, 7200};
            return r;
        }
        if (!Eat(',') || !Date(r.start) || !Eat(',') || !Date(r.end) || !AtEnd())
            return std::nullopt;
        return r;
    }

private:
    [[nodiscard]] bool AtEnd() const { return i_ >= s_.size(); }
    [[nodiscard]] char Peek() const { return AtEnd() ? '\0' : s_[i_]; }
    bool Eat(char c) {
        if (Peek() != c) return false;
        ++i_;
        return true;
    }
    bool Name() {
        if (Eat('<')) {
            const size_t close = s_.find('>', i_);
            if (close == std::string_view::npos || close - i_ < 3) return false;
            i_ = close + 1;
            return true;
        }
        const size_t start = i_;
        while (!AtEnd() && std::isalpha(static_cast<unsigned char>(Peek()))) ++i_;
        return i_ - start >= 3;
    }
    bool Number(int64_t& v, int maxDigits) {
        const size_t start = i_;
        v = 0;
        while (!AtEnd() && std::isdigit(static_cast<unsigned char>(Peek())) &&
               i_ - start < static_cast<size_t>(maxDigits)) {
            v = v * 10 + (s_[i_++] - '0');
        }
        return i_ > start;
    }
    // [+-]hh[:mm[:ss]] as seconds; hours up to 167 (RFC 8536 extension).
    bool Offset(int64_t& seconds) {
        int64_t sign = 1;
        if (Eat('-'))
            sign = -1;
        else
            Eat('+');
        int64_t h = 0, m = 0, sec = 0;
        if (!Number(h, 3) || h > 167) return false;
        if (Eat(':')) {
            if (!Number(m, 2) || m > 59) return false;
            if (Eat(':') && (!Number(sec, 2) || sec > 59)) return false;
        }
        seconds = sign * (h * 3600 + m * 60 + sec);
        return true;
    }
    bool Date(RuleDate& d) {
        int64_t a = 0, b = 0, c = 0;
        if (Eat('J')) {
            if (!Number(a, 3) || a < 1 || a > 365) return false;
            d.kind = RuleDate::Julian1;
            d.day = static_cast<int>(a);
        } else if (Eat('M')) {
            if (!Number(a, 2) || a < 1 || a > 12 || !Eat('.') || !Number(b, 1) || b < 1 || b > 5 ||
                !Eat('.') || !Number(c, 1) || c > 6) {
                return false;
            }
            d.kind = RuleDate::MonthWeekDay;
            d.month = static_cast<int>(a);
            d.week = static_cast<int>(b);
            d.weekday = static_cast<int>(c);
        } else {
            if (!Number(a, 3) || a > 365) return false;
            d.kind = RuleDate::Julian0;
            d.day = static_cast<int>(a);
        }
        d.time = int64_t{2} * 3600;
        if (Eat('/') && !Offset(d.time)) return false;
        return true;
    }

    std::string_view s_;
    size_t i_ = 0;
};

// One zone of the tz database: its transitions and the footer rule that
// continues them.
class Zone {
public:
    // Parses a TZif file (versions 1 to 4). Returns nothing for bytes that are
    // not a well-formed zone file.
    static std::optional<Zone> Parse(std::string_view bytes);
    static Zone Utc() {
        Zone z;
        z.offsets_.push_back(0);
        return z;
    }

    // Seconds east of UTC in force at the UTC instant utc.
    [[nodiscard]] int32_t OffsetAt(int64_t utc) const {
        if (transitions_.empty() || utc < transitions_.front()) {
            if (transitions_.empty() && footer_) return footer_->OffsetAt(utc);
            return offsets_[0];
        }
        if (utc >= transitions_.back() && footer_) return footer_->OffsetAt(utc);
        // Last transition at or before utc.
        size_t lo = 0, hi = transitions_.size();
        while (hi - lo > 1) {
            const size_t mid = (lo + hi) / 2;
            if (transitions_[mid] <= utc)
                lo = mid;
            else
                hi = mid;
        }
        return offsets_[types_[lo]];
    }

    // The UTC instant of a wall-clock time. Of a time that occurs twice (the
    // hour repeated when clocks go back) the first occurrence is taken; a time
    // that never occurs (skipped when clocks go forward) is read with the
    // offset in force before the change, so it lands after the gap by its
    // length, as a clock that was not yet put forward would show it.
    [[nodiscard]] int64_t LocalToUtc(int64_t local) const {
        // Transitions lie more than a day apart, so the offsets 30 hours
        // either side of the wall time are the candidates.
        constexpr int64_t kReach = int64_t{30} * 3600;
        const int32_t before = OffsetAt(local - kReach);
        const std::array<int32_t, 3> candidates{before, OffsetAt(local), OffsetAt(local + kReach)};
        std::optional<int32_t> best;
        for (int32_t o : candidates) {
            if (OffsetAt(local - o) == o && (!best || o > *best)) best = o;
        }
        return local - (best ? *best : before);
    }

private:
    std::vector<int64_t> transitions_;
    std::vector<uint8_t> types_;    // per transition: index into offsets_
    std::vector<int32_t> offsets_;  // per local time type: seconds east of UTC
    std::optional<PosixRule> footer_;
};

uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
int64_t Be64(const unsigned char* p) {
    return static_cast<int64_t>((uint64_t{Be32(p)} << 32) | Be32(p + 4));
}

std::optional<Zone> Zone::Parse(std::string_view bytes) {
    const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    constexpr size_t kHeader = 44;
    struct Counts {
        uint32_t isut, isstd, leap, time, type, chars;
    };
    auto header = [&](size_t at, Counts& c) {
        if (size < at + kHeader || std::memcmp(base + at, "TZif", 4) != 0) return false;
        const unsigned char* p = base + at + 20;
        c = {Be32(p), Be32(p + 4), Be32(p + 8), Be32(p + 12), Be32(p + 16), Be32(p + 20)};
        // Bounds far above any real zone keep the size arithmetic exact.
        return c.type >= 1 && c.type <= 256 && c.time <= 100000 && c.leap <= 10000 &&
               c.chars <= 100000 && c.isut <= c.type && c.isstd <= c.type;
    };
    auto blockSize = [](const Counts& c, size_t timeSize) {
        return size_t{c.time} * timeSize + c.time + size_t{c.type} * 6 + c.chars +
               size_t{c.leap} * (timeSize + 4) + c.isstd + c.isut;
    };

    Counts c{};
    if (!header(0, c)) return std::nullopt;
    const char version = static_cast<char>(base[4]);
    size_t at = kHeader;
    size_t timeSize = 4;
    if (version >= '2') {
        at += blockSize(c, 4);  // skip the 32-bit block: the 64-bit one follows
        if (!header(at, c)) return std::nullopt;
        at += kHeader;
        timeSize = 8;
    }
    const size_t block = blockSize(c, timeSize);
    if (size < at + block) return std::nullopt;

    Zone z;
    const unsigned char* p = base + at;
    z.transitions_.reserve(c.time);
    for (uint32_t i = 0; i < c.time; ++i, p += timeSize) {
        const int64_t t = timeSize == 8 ? Be64(p) : static_cast<int32_t>(Be32(p));
        if (!z.transitions_.empty() && t <= z.transitions_.back()) return std::nullopt;
        z.transitions_.push_back(t);
    }
    z.types_.assign(p, p + c.time);
    p += c.time;
    for (uint8_t idx : z.types_) {
        if (idx >= c.type) return std::nullopt;
    }
    for (uint32_t i = 0; i < c.type; ++i, p += 6) {
        const int32_t off = static_cast<int32_t>(Be32(p));
        if (off < -25 * 3600 || off > 26 * 3600) return std::nullopt;
        z.offsets_.push_back(off);
    }
    at += block;

    if (version >= '2' && at < size && base[at] == '\n') {
        const size_t end = bytes.find('\n', at + 1);
        if (end != std::string_view::npos && end > at + 1) {
            z.footer_ = PosixParser(bytes.substr(at + 1, end - at - 1)).Parse();
        }
    }
    return z;
}

// A zone name is a relative path below the tz database; anything that could
// leave it ("..", an absolute path, odd characters) names no zone.
bool IsZoneNameSafe(const std::string& name) {
    if (name.empty() || name.size() > 255 || name.front() == '/') return false;
    for (char ch : name) {
        const auto u = static_cast<unsigned char>(ch);
        if (!std::isalnum(u) && ch != '/' && ch != '_' && ch != '-' && ch != '+' && ch != '.')
            return false;
    }
    std::string_view rest(name);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view seg = rest.substr(0, slash);
        if (seg.empty() || seg == "." || seg == "..") return false;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return name.back() != '/';
}

std::string ZoneInfoDir() {
    // TZDIR is read, never written: reading the environment is safe while no
    // thread changes it.
    const char* env = std::getenv("TZDIR");
    return (env != nullptr && *env != '\0') ? env : "/usr/share/zoneinfo";
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes;
    constexpr size_t kMax = 1 << 20;
    char buf[8192];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        bytes.append(buf, static_cast<size_t>(in.gcount()));
        if (bytes.size() > kMax) return std::nullopt;
    }
    return bytes;
}

// The host's own zone: $TZ when it names a zone of the database (":Zone" or
// "Zone"), else /etc/localtime, else UTC.
std::shared_ptr<const Zone> LoadHostZone();

// Zones by name, parsed once. A name that failed is remembered as failed.
std::shared_ptr<const Zone> FindZone(const std::string& name) {
    static std::mutex mu;
    static std::unordered_map<std::string, std::shared_ptr<const Zone>> cache;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (auto it = cache.find(name); it != cache.end()) return it->second;
    }
    std::shared_ptr<const Zone> zone;
    if (name.empty()) {
        zone = LoadHostZone();
    } else if (name == "UTC" || name == "Etc/UTC") {
        zone = std::make_shared<const Zone>(Zone::Utc());
    } else if (IsZoneNameSafe(name)) {
        if (auto bytes = ReadSmallFile(ZoneInfoDir() + "/" + name)) {
            if (auto z = Zone::Parse(*bytes)) zone = std::make_shared<const Zone>(std::move(*z));
        }
    }
    std::lock_guard<std::mutex> lock(mu);
    return cache.emplace(name, zone).first->second;
}

std::shared_ptr<const Zone> LoadHostZone() {
    const char* tz = std::getenv("TZ");
    if (tz != nullptr && *tz != '\0') {
        std::string name = tz[0] == ':' ? tz + 1 : tz;
        if (IsZoneNameSafe(name)) {
            if (auto bytes = ReadSmallFile(ZoneInfoDir() + "/" + name)) {
                if (auto z = Zone::Parse(*bytes))
                    return std::make_shared<const Zone>(std::move(*z));
            }
        }
    }
    if (auto bytes = ReadSmallFile("/etc/localtime")) {
        if (auto z = Zone::Parse(*bytes)) return std::make_shared<const Zone>(std::move(*z));
    }
    return std::make_shared<const Zone>(Zone::Utc());
}

const Zone& RequireZone(const std::string& name) {
    // Zones found once stay in the shared cache for the life of the process,
    // so each thread may keep plain pointers to them and skip the lock.
    thread_local std::unordered_map<std::string, const Zone*> known;
    if (auto it = known.find(name); it != known.end()) return *it->second;
    auto zone = FindZone(name);
    if (!zone) {
        throw Error(err::kCdoInvalidTimeZone,
                    Describe("Configuration.Update", std::string(cdoTimeZoneName) + "=" + name,
                             "no such zone in the time-zone database", err::kCdoInvalidTimeZone));
    }
    known.emplace(name, zone.get());
    return *zone;
}

// Splits a date into whole seconds since the epoch and the remaining
// fraction of a second, so that conversion keeps sub-second parts.
void SplitSeconds(Date value, int64_t& whole, double& fraction) {
    constexpr double kZeroDateUnixSeconds = -2209161600.0;  // 1899-12-30T00:00:00
    const double total = value.Serial() * kSecondsPerDay + kZeroDateUnixSeconds;
    const double floored = std::floor(total);
    whole = static_cast<int64_t>(floored);
    fraction = total - floored;
}

Date FromSeconds(int64_t whole, double fraction) {
    return Date(Date::FromUnixSeconds(whole).Serial() + fraction / kSecondsPerDay);
}

}  // namespace

std::string TimeZoneNameFromId(int32_t id) {
    for (const auto& e : kZoneIds) {
        if (e.id == id) return e.iana;
    }
    return {};
}

int32_t TimeZoneIdFromName(const std::string& name) {
    for (const auto& e : kZoneIds) {
        if (name == e.iana) return e.id;
    }
    return -1;
}

namespace detail {

bool ProbeZoneFile(std::string_view bytes, int64_t instant) {
    const std::optional<Zone> zone = Zone::Parse(bytes);
    if (!zone) return false;
    (void)zone->OffsetAt(instant);
    (void)zone->LocalToUtc(instant);
    return true;
}

}  // namespace detail

void Configuration::SetField(const std::string& name, Variant value) {
    if (name == cdoTimeZoneName || name == cdoTimeZoneId) lastZoneField_ = name;
    pending_[name] = std::move(value);
}

Variant Configuration::Field(const std::string& name) const {
    auto it = pending_.find(name);
    return it == pending_.end() ? Variant() : it->second;
}

void Configuration::Update() {
    if (lastZoneField_.empty()) return;
    const Variant& v = pending_[lastZoneField_];
    std::string zone;
    if (lastZoneField_ == cdoTimeZoneId) {
        int32_t id = -1;
        try {
            id = v.ToInt32();
        } catch (const Error&) {
            id = -1;  // not a number: reported below as an unknown identifier
        }
        zone = TimeZoneNameFromId(id);
        if (zone.empty()) {
            throw Error(err::kCdoInvalidTimeZone,
                        Describe("Configuration.Update",
                                 std::string(cdoTimeZoneId) + "=" + v.ToStringOrEmpty(),
                                 "no such time-zone identifier", err::kCdoInvalidTimeZone));
        }
    } else {
        zone = v.IsNull() ? std::string() : v.ToString();
    }
    (void)RequireZone(zone);
    zone_ = zone;
}

void Appointment::SetStartTime(Date value) {
    const std::string& zone = config_ != nullptr ? config_->ZoneName() : std::string("UTC");
    int64_t whole = 0;
    double fraction = 0;
    SplitSeconds(value, whole, fraction);
    utcSeconds_ = RequireZone(zone).LocalToUtc(whole);
    fraction_ = fraction;
    setValue_ = value;
    setZone_ = zone;
}

Date Appointment::StartTime() const {
    const std::string& zone = config_ != nullptr ? config_->ZoneName() : std::string("UTC");
    // Read in the zone it was written in, the start time is what was written,
    // even a wall time that the zone skips or repeats.
    if (setZone_ && *setZone_ == zone) return setValue_;
    const int64_t local = utcSeconds_ + RequireZone(zone).OffsetAt(utcSeconds_);
    return FromSeconds(local, fraction_);
}

}  // namespace platform
