// Benchmark support: the lines a benchmark prints.
//  - ReportLine: one line of key=value fields after an optional leading
//    word, the form scripts/bench-*.sh read a figure from by its key
//    ("store_sweep_bench floor ..." prints "floor folders=.. deleted=..
//    seconds=.. cpu_seconds=.. peak_rss_kib=..").
//  - FloorLine: a figure beside its floor measured in the same run, with
//    their ratio and the goal when there is one, for people to read.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform::testing {

class ReportLine {
public:
    explicit ReportLine(std::string word = "") : text_(std::move(word)) {}

    ReportLine& Add(std::string_view key, std::string_view value);
    // Seconds and other measures, with three decimals.
    ReportLine& Add(std::string_view key, double value);
    template <std::integral T>
    ReportLine& Add(std::string_view key, T value) {
        return Add(key, std::string_view(std::to_string(value)));
    }

    [[nodiscard]] const std::string& Text() const { return text_; }
    // Prints the line on stdout.
    void Print() const;

private:
    std::string text_;
};

// A figure beside its floor, printed as "<what>  <figure> <unit>  (goal <
// <goal> <unit>, met|MISSED)  <floor name> <floor> <unit>  ratio <figure /
// floor>  <notes>"; the goal and the notes only when given.
class FloorLine {
public:
    FloorLine(std::string what, double figure, double floor)
        : what_(std::move(what)), figure_(figure), floor_(floor) {}

    // "s" unless given, e.g. "ns/op".
    FloorLine& Unit(std::string unit) { return Set(unit_, std::move(unit)); }
    // What the floor is; "floor" unless given, e.g. "bare search".
    FloorLine& FloorName(std::string name) { return Set(floorName_, std::move(name)); }
    // The figure must stay under it, in the unit.
    FloorLine& Goal(double goal) {
        goal_ = goal;
        return *this;
    }
    // Counts that show figure and floor did the same work.
    FloorLine& Notes(std::string notes) { return Set(notes_, std::move(notes)); }

    // Prints the line on stdout.
    void Print() const;

private:
    FloorLine& Set(std::string& field, std::string value) {
        field = std::move(value);
        return *this;
    }

    std::string what_;
    double figure_;
    double floor_;
    std::string unit_ = "s";
    std::string floorName_ = "floor";
    std::optional<double> goal_;
    std::string notes_;
};

}  // namespace platform::testing
