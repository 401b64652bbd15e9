// Small text helpers of a cleanup run, with the system's rules: positions
// are found with or without regard to case, "trim" removes blanks only, and
// "now" is the system's general date-and-time text form.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/error_state.h"
#include "base/strfuncs.h"
#include "platform/system.h"

namespace quellix {

inline constexpr const char* kCrLf = "\r\n";

// Where the selection's own lines go: the run's log when a run selects, a
// list of notes when a preview does. A writer may raise (the run's log
// failing); the raise ends what is being done.
using LogLine = std::function<void(const std::string& line)>;

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

// Skip-and-continue (base/error_state.h).
using platform::ErrorState;

}  // namespace quellix
