// Test support: whether a text holds a part, as an assertion result that
// shows both when it fails (or, negated, when it holds), so that a check of
// a log or a program's output needs no message of its own.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

namespace platform::testing {

// Success when part occurs in text; either way the result names part and text.
inline ::testing::AssertionResult Contains(std::string_view text, std::string_view part) {
    const bool found = text.find(part) != std::string_view::npos;
    auto result = found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
    return result << "\"" << part << "\"" << (found ? " is in:\n" : " is not in:\n") << text;
}

}  // namespace platform::testing
