#include "sink/run_text.h"

#include <algorithm>
#include <cctype>

#include "base/date.h"

namespace quellix {

std::string Trim(std::string_view s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    const size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Lower(a) == Lower(b);
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from) {
    if (from > hay.size()) return std::string_view::npos;
    return Lower(hay).find(Lower(needle), from);
}

std::string NowText() {
    return platform::GeneralDateText(platform::Date::NowLocal());
}

std::string ErrorEntry(int32_t number, const std::string& description) {
    return "[" + NowText() + "] " + std::to_string(number) + " " + description;
}

}  // namespace quellix
