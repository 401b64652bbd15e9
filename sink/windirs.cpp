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
    if (length == 0 || length >= sizeof buffer) {
        throw platform::Error(platform::err::kPathFileAccess,
                              platform::Describe("GetTempPathA", "",
                                                 length == 0 ? "no temporary directory"
                                                             : "path longer than the buffer",
                                                 static_cast<long>(length)));
    }
    return TrimAtNul(std::string_view(buffer, sizeof buffer));
}

}  // namespace quellix
