// Time-zone conversion and ISO formatting speed. The sweep converts its
// cutoff once per folder URL it tries, so a whole run makes up to eight
// conversions per mailbox. Each figure is printed beside a floor measured in
// the same run: the C library converting the same wall times with its own
// zone (TZ set for this single-threaded program, which the library itself
// never does), and snprintf of the same fields.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "isodate/iso_date.h"

namespace {

using Clock = platform::testing::BenchClock;
using platform::testing::FloorLine;

double NsPerOp(Clock::time_point start, long n) {
    return platform::testing::SecondsSince(start) * 1e9 / static_cast<double>(n);
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv, "iso_date_bench [OPERATIONS]");
    const long n = args.NumberWord("OPERATIONS", 1000000, 1);
    if (auto exit = args.Done()) return *exit;
    const platform::Date base = platform::Date::FromParts(2024, 1, 1);
    volatile double sink = 0;

    // Warm the zone cache, as the first call of a run does.
    sink = sink + ISODate::ConvertTimeZone(base, 0, 10, "", "").Serial();

    auto t = Clock::now();
    for (long i = 0; i < n; ++i) {
        sink = sink + ISODate::ConvertTimeZone(base.AddMinutes(static_cast<double>(i % 525600)), 0,
                                               10, "", "")
                          .Serial();
    }
    const double convert = NsPerOp(t, n);

    t = Clock::now();
    for (long i = 0; i < n; ++i) {
        sink = sink + ISODate::ConvertTimeZone(base.AddMinutes(static_cast<double>(i % 525600)), 13,
                                               13, "", "")
                          .Serial();
    }
    const double same = NsPerOp(t, n);

    setenv("TZ", ":America/New_York", 1);
    tzset();
    t = Clock::now();
    for (long i = 0; i < n; ++i) {
        const platform::DateParts p = base.AddMinutes(static_cast<double>(i % 525600)).Parts();
        struct tm tm {};
        tm.tm_year = p.year - 1900;
        tm.tm_mon = p.month - 1;
        tm.tm_mday = p.day;
        tm.tm_hour = p.hour;
        tm.tm_min = p.minute;
        tm.tm_sec = p.second;
        tm.tm_isdst = -1;
        const time_t utc = mktime(&tm);
        sink = sink + platform::Date::FromUnixSeconds(static_cast<int64_t>(utc)).Serial();
    }
    const double libc = NsPerOp(t, n);

    size_t chars = 0;
    t = Clock::now();
    for (long i = 0; i < n; ++i)
        chars += ISODate::FormatIsoDate(base.AddMinutes(static_cast<double>(i))).size();
    const double format = NsPerOp(t, n);

    t = Clock::now();
    for (long i = 0; i < n; ++i) {
        const platform::DateParts p = base.AddMinutes(static_cast<double>(i)).Parts();
        char buf[48];
        chars +=
            static_cast<size_t>(std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                                              p.year, p.month, p.day, p.hour, p.minute, p.second));
    }
    const double formatFloor = NsPerOp(t, n);

    std::printf("operations                             %ld\n", n);
    FloorLine("ConvertTimeZone Eastern->UTC", convert, libc)
        .Unit("ns/op")
        .FloorName("floor (libc mktime)")
        .Print();
    FloorLine("ConvertTimeZone 13->13 (the sweep)", same, libc)
        .Unit("ns/op")
        .FloorName("floor (libc mktime)")
        .Print();
    FloorLine("FormatIsoDate", format, formatFloor)
        .Unit("ns/op")
        .FloorName("floor (snprintf)")
        .Print();
    return (sink == 0.5 && chars == 0) ? 1 : 0;
}
