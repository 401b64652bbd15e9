// Benchmark support: wall-clock seconds since an instant, and the median of
// repeated runs (the figure the benchmark scripts report beside their floor).
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

// The median of runs of f, in seconds; f returns what it counted (rows,
// entries), left in counted from the last run.
inline double MedianSeconds(int runs, const std::function<size_t()>& f, size_t& counted) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = BenchClock::now();
        counted = f();
        times.push_back(SecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace platform::testing
