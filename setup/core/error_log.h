// The setup program's error log: entries newest first, each
//   "[" + date and time + "] " + where + " - ERROR: " + number + " " +
//   description + CR LF CR LF
// followed by the previous log. The operations return entries; the window
// and the command line prepend them to the log they show. Every entry is
// built here, and nowhere else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/date.h"
#include "base/error.h"

namespace setup {

// The line break of the log: carriage return and line feed.
inline constexpr const char* kLogLineBreak = "\r\n";

struct ErrorEntry {
    platform::Date when;  // local date and time
    std::string where;    // the URL or path worked on, or empty
    int32_t number = 0;   // printed in decimal, negative with its sign
    std::string description;

    // An entry for a caught platform error, dated now (local time).
    static ErrorEntry FromError(const platform::Error& error, std::string where);
    static ErrorEntry FromError(const platform::Error& error, std::string where,
                                platform::Date when);

    // The entry's text, with its two line breaks and without the previous log.
    [[nodiscard]] std::string Text() const;

    friend bool operator==(const ErrorEntry&, const ErrorEntry&) = default;
};

// The fixed entry of a missing component module:
//   "[" + date and time + "] File " + modulePath + " not found. " +
//   "COM+ object installation is impossible." + CR LF CR LF
// modulePath is the current directory, "/", the application name and this
// platform's module suffix ("Quellix.so").
std::string DllMissingEntryText(platform::Date when, std::string_view modulePath);

// The text of the log box: entries are prepended, so the newest is first.
class ErrorLog {
public:
    void Prepend(const ErrorEntry& entry) { PrependText(entry.Text()); }
    void PrependText(std::string_view entryText);
    [[nodiscard]] const std::string& Text() const { return text_; }
    [[nodiscard]] bool Empty() const { return text_.empty(); }
    void Clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace setup
