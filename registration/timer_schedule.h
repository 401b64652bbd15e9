// The schedule of a timer registration: it fires at its start time plus a
// whole number of intervals. All instants are Unix seconds, UTC.
#pragma once

#include <cstdint>
#include <optional>

namespace registration {

struct TimerSchedule {
    int64_t start = 0;            // the first firing
    int64_t intervalSeconds = 0;  // > 0: repeats; <= 0: fires once, at start
};

// The latest firing instant t with after < t <= upTo, if there is one.
[[nodiscard]] std::optional<int64_t> LatestFiring(const TimerSchedule& s, int64_t after,
                                                  int64_t upTo);

// The first firing instant strictly after t; nothing when a one-shot timer
// has already fired.
[[nodiscard]] std::optional<int64_t> NextFiring(const TimerSchedule& s, int64_t t);

}  // namespace registration
