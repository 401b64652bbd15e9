// Small text helpers of the sink, with the system's rules: positions are
// found with or without regard to case, "trim" removes blanks only, and "now"
// is the system's general date-and-time text form.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "base/strfuncs.h"
#include "platform/system.h"

namespace quellix {

inline constexpr const char* kCrLf = "\r\n";

using platform::EqualsNoCase;
using platform::FindNoCase;
using platform::Lower;
using platform::StartsWithNoCase;
using platform::Trim;
using platform::Upper;
// Every value taken from data (names, addresses, URLs, error texts) goes
// into a log line through VisibleText, so that it cannot start a new line.
using platform::VisibleText;

// The current local date and time in the system's general text form.
std::string NowText();

// The error entry of the run log: "[" + now + "] " + number + " " +
// description, the description made visible.
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
