#include "base/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

std::string JournalPrefix(LogPriority priority) {
    // Asked each time: a test or a caller may point standard error elsewhere.
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return {};
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return {};
    const std::string ours = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                             std::to_string(static_cast<unsigned long long>(st.st_ino));
    if (ours != stream) return {};
    return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

}  // namespace platform
