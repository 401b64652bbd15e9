#include "setup/cli/command_line.h"

#include <iostream>

#include "base/date.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"

namespace setup {

using platform::kExitUsage;

int UsageError(const std::string& message) {
    std::cerr << "quellix-setup: " << message << "\n"
              << "Run 'quellix-setup --help' for the commands and their options.\n";
    return kExitUsage;
}

// Prints the error log (newest first) to standard error: its lines with
// their control characters made visible (the entries carry values from the
// directory and the store), ended by LF.
void PrintLog(const ErrorLog& log) {
    if (log.Empty()) return;
    const std::string& text = log.Text();
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        out += platform::VisibleText(text.substr(at, end - at)) + "\n";
        at = end + 2;
    }
    std::cerr << "Error log:\n" << out;
}

// "yyyy-mm-dd hh:mm:ss UTC" of a Unix instant.
std::string UtcText(int64_t seconds) {
    return platform::GeneralDateText(platform::Date::FromUnixSeconds(seconds)) + " UTC";
}

}  // namespace setup
