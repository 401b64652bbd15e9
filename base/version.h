// The system's version, the one its packages carry (the top line of
// debian/changelog, read when the build is configured), and the one way
// every program answers --version.
#pragma once

#include <string_view>

namespace platform {

// The version of this build, such as "0.1.0".
const char* Version();

// True for the words that ask a program for its version: "--version", "-V".
bool IsVersionOption(std::string_view word);

// Prints "<program> <version>" and a line break on standard output; returns
// the exit code of success.
int PrintVersion(const char* program);

}  // namespace platform
