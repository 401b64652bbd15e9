// What every command of quellix-setup shares: the usage error and the
// error log printed to standard error.
#pragma once

#include <cstdint>
#include <string>

#include "setup/core/error_log.h"

namespace setup {

// "quellix-setup: message" and where to find the usage, on standard error;
// returns the exit code of bad usage.
int UsageError(const std::string& message);

// Prints the error log (newest first) to standard error, LF line ends, the
// control characters of its entries made visible.
void PrintLog(const ErrorLog& log);

// "yyyy-mm-dd hh:mm:ss UTC" of a Unix instant.
std::string UtcText(int64_t seconds);

}  // namespace setup
