#include "setup/cli/command_line.h"

#include <iostream>

#include "base/date.h"
#include "base/exit_codes.h"

namespace setup {

using platform::kExitUsage;

int UsageError(const std::string& message) {
    std::cerr << "quellix-setup: " << message << "\n"
              << "Run 'quellix-setup --help' for the commands and their options.\n";
    return kExitUsage;
}

// Prints the error log (newest first) to standard error.
void PrintLog(const ErrorLog& log) {
    if (log.Empty()) return;
    std::string text = log.Text();
    for (size_t p; (p = text.find("\r\n")) != std::string::npos;) text.replace(p, 2, "\n");
    std::cerr << "Error log:\n" << text;
}

// "yyyy-mm-dd hh:mm:ss UTC" of a Unix instant.
std::string UtcText(int64_t seconds) {
    return platform::GeneralDateText(platform::Date::FromUnixSeconds(seconds)) + " UTC";
}

}  // namespace setup
