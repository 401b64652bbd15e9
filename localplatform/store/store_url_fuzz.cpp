// libFuzzer target: store URLs are untrusted text (from registration items,
// directory values, callers). Parsing must raise platform::Error or succeed,
// and whatever it accepts must format and parse back to the same path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/error.h"
#include "localplatform/store/store_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto url = localplatform::ParseStoreUrl(text, "mail01.example.test");
        for (const auto& s : url.segments) {
            if (s.empty() || s == "." || s == ".." || s.find('/') != std::string::npos ||
                s.find('\\') != std::string::npos || s.find('\0') != std::string::npos) {
                std::abort();
            }
        }
        if (url.segments.size() >= 2) {
            const auto again = localplatform::ParseStoreUrl(
                localplatform::FormatStoreUrl(url.scheme, "mail01.example.test", url.segments),
                "mail01.example.test");
            if (again.segments.size() != url.segments.size()) std::abort();
        }
    } catch (const platform::Error&) {
    }
    return 0;
}
