#include "base/strfuncs.h"

namespace platform {

std::string Trim(std::string_view s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    const size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

std::string TrimSpace(std::string_view s) {
    constexpr std::string_view kSpace = " \t\r\n";
    const size_t b = s.find_first_not_of(kSpace);
    if (b == std::string_view::npos) return {};
    const size_t e = s.find_last_not_of(kSpace);
    return std::string(s.substr(b, e - b + 1));
}

char LowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerChar(c);
    return out;
}

char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperChar(c);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerChar(a[i]) != LowerChar(b[i])) return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from) {
    if (from > hay.size() || needle.size() > hay.size()) return std::string_view::npos;
    for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
        if (EqualsNoCase(hay.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

std::string WithoutUserInfo(std::string_view url) {
    const size_t start = url.find("://");
    const size_t at = url.rfind('@');
    if (start == std::string_view::npos || at == std::string_view::npos || at < start + 3)
        return std::string(url);
    return std::string(url.substr(0, start + 3)).append(url.substr(at + 1));
}

std::string VisibleText(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            AppendHexByte(out, u);
        }
    }
    return out;
}

void AppendHexByte(std::string& out, unsigned char byte, bool lower) {
    const char* const digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

}  // namespace platform
