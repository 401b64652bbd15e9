// quellix-setup preview: what the next run would delete or move, shown
// without changing anything.
#pragma once

#include <optional>
#include <string>

#include "base/date.h"

namespace setup {

struct PreviewOptions {
    std::optional<platform::Date> at;  // local; now when absent
    bool json = false;
    bool messages = false;  // list each message in the text form
};

// Previews a run of the registration item at itemUrl and prints it to
// standard output; failures go to standard error. Returns the exit code.
int PreviewCommand(const std::string& itemUrl, const PreviewOptions& options);

}  // namespace setup
