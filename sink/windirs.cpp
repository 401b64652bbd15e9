#include "sink/windirs.h"

#include "base/error.h"
#include "platform/system.h"

namespace quellix {

std::string TrimAtNul(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

std::string GetTempDirectory() {
    char buffer[256] = {};
    const uint32_t length = platform::GetTempPathA(sizeof buffer, buffer);
    if (length == 0) {
        const std::string why = platform::GetTempPathFailure();
        throw platform::Error(
            platform::err::kPathFileAccess,
            why.empty() ? platform::Describe("GetTempPathA", "", "no temporary directory", 0) : why,
            "GetTempPathA");
    }
    if (length >= sizeof buffer) {
        // Asked again with room enough, only to name the path in the error.
        std::string path(length, '\0');
        if (platform::GetTempPathA(length, path.data()) == 0) path.clear();
        throw platform::Error(
            platform::err::kPathFileAccess,
            platform::Describe("GetTempPathA", TrimAtNul(path),
                               "path longer than " + std::to_string(sizeof buffer - 1) + " bytes",
                               static_cast<long>(length)),
            "GetTempPathA");
    }
    return TrimAtNul(std::string_view(buffer, sizeof buffer));
}

}  // namespace quellix
