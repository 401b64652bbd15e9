#include "registration/timer_schedule.h"

namespace registration {

namespace {

// floor(a / b) for b > 0, whatever the sign of a.
int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

}  // namespace

std::optional<int64_t> LatestFiring(const TimerSchedule& s, int64_t after, int64_t upTo) {
    if (upTo < s.start || upTo <= after) return std::nullopt;
    if (s.intervalSeconds <= 0) {
        if (s.start > after) return s.start;
        return std::nullopt;
    }
    const int64_t t = s.start + FloorDiv(upTo - s.start, s.intervalSeconds) * s.intervalSeconds;
    if (t > after) return t;
    return std::nullopt;
}

std::optional<int64_t> NextFiring(const TimerSchedule& s, int64_t t) {
    if (t < s.start) return s.start;
    if (s.intervalSeconds <= 0) return std::nullopt;
    return s.start + (FloorDiv(t - s.start, s.intervalSeconds) + 1) * s.intervalSeconds;
}

}  // namespace registration
