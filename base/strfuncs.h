// Text helpers every layer shares, with the system's rules: letters fold
// without regard to case in ASCII only (the locale never changes a name),
// "trim" removes blanks only, and positions are 0-based here.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Blanks (" ") removed at both ends; tabs and other white space are kept.
std::string Trim(std::string_view s);
// Leading and trailing spaces, tabs, CR and LF removed (configuration files,
// protocol lines).
std::string TrimSpace(std::string_view s);
// ASCII letters folded; every other byte unchanged.
std::string Lower(std::string_view s);
std::string Upper(std::string_view s);
char LowerChar(char c);
char UpperChar(char c);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
// 0-based position of needle in hay at or after from, without regard to
// case; npos when absent.
size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from = 0);

// A value taken from data, made harmless in a line of a log: every control
// character (below 0x20, and 0x7F) is shown as an escape ("\r", "\n", "\t",
// else "\xHH"), so that the value can never end the line or start another.
// Everything else, backslashes included (distinguished names escape with
// them), is kept as it is.
std::string VisibleText(std::string_view value);

// A URL as it may be shown: without its user information (a name and
// password before "@"). Everything from "://" to the last "@" goes, so a
// password holding "/" or "@" does not show either; text that is no URL is
// returned as it is.
std::string WithoutUserInfo(std::string_view url);

// Appends the two hexadecimal digits of byte to out, upper case unless
// lower: the one spelling of a byte for URL escapes, DN and filter escapes,
// log escapes and random names.
void AppendHexByte(std::string& out, unsigned char byte, bool lower = false);

}  // namespace platform
