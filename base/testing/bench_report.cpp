#include "base/testing/bench_report.h"

#include <cstdio>

namespace platform::testing {

ReportLine& ReportLine::Add(std::string_view key, std::string_view value) {
    if (!text_.empty()) text_ += ' ';
    text_.append(key).append("=").append(value);
    return *this;
}

ReportLine& ReportLine::Add(std::string_view key, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return Add(key, std::string_view(buffer));
}

void ReportLine::Print() const {
    std::printf("%s\n", text_.c_str());
    std::fflush(stdout);
}

void FloorLine::Print() const {
    std::string goal;
    if (goal_) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "  (goal < %.1f %s, %s)", *goal_, unit_.c_str(),
                      figure_ < *goal_ ? "met" : "MISSED");
        goal = buffer;
    }
    std::printf("%-38s %9.3f %s%s  %s %9.3f %s  ratio %5.2f%s%s\n", what_.c_str(), figure_,
                unit_.c_str(), goal.c_str(), floorName_.c_str(), floor_, unit_.c_str(),
                floor_ > 0 ? figure_ / floor_ : 0.0, notes_.empty() ? "" : "  ", notes_.c_str());
    std::fflush(stdout);
}

}  // namespace platform::testing
