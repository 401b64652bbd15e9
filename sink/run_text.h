// Small text helpers of the sink, with the system's rules: positions are
// found with or without regard to case, "trim" removes blanks only, and "now"
// is the system's general date-and-time text form.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"

namespace quellix {

inline constexpr const char* kCrLf = "\r\n";

// Blanks (" ") removed at both ends; other white space is kept.
std::string Trim(std::string_view s);
std::string Lower(std::string_view s);
std::string Upper(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
// 0-based position of needle in hay at or after from, without regard to
// case; npos when absent.
size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from = 0);

// The current local date and time in the system's general text form.
std::string NowText();

// The error entry of the run log: "[" + now + "] " + number + " " + description.
std::string ErrorEntry(int32_t number, const std::string& description);

// The error state of skip-and-continue code: Run(step) performs the step and,
// when it raises, records the error and returns false so that the caller
// continues with the next step. Number() is 0 while no step has failed since
// Clear().
class ErrorState {
public:
    template <class Step>
    bool Run(Step&& step) {
        try {
            step();
            return true;
        } catch (const platform::Error& e) {
            Set(e.Number(), e.Description());
        } catch (const std::bad_alloc&) {
            Set(platform::err::kOutOfMemory, "Out of memory");
        } catch (const std::exception& e) {
            Set(platform::err::kFail, e.what());
        }
        return false;
    }
    void Set(int32_t number, std::string description) {
        number_ = number;
        description_ = std::move(description);
    }
    void Clear() { Set(0, {}); }
    [[nodiscard]] int32_t Number() const { return number_; }
    [[nodiscard]] const std::string& Description() const { return description_; }

private:
    int32_t number_ = 0;
    std::string description_;
};

}  // namespace quellix
