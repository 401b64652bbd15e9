// Benchmark support: wall-clock seconds since an instant, the median of
// repeated runs (the figure the benchmark scripts report beside their
// floor), and what this process used of the machine.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

namespace platform::testing {

using BenchClock = std::chrono::steady_clock;

inline double SecondsSince(BenchClock::time_point start) {
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// The middle value of times (the upper one of an even count); times must not
// be empty.
inline double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The median of runs of f, in seconds; f returns what it counted (rows,
// entries), left in counted from the last run.
inline double MedianSeconds(int runs, const std::function<size_t()>& f, size_t& counted) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = BenchClock::now();
        counted = f();
        times.push_back(SecondsSince(start));
    }
    return Median(std::move(times));
}

// CPU seconds this process has used so far, user and system.
double CpuSeconds();
// The largest resident set this process has had, in KiB.
long PeakRssKib();

}  // namespace platform::testing
