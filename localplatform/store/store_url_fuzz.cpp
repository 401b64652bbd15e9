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
    // Taken as a name, the text encoded into a URL reads back as itself
    // (names without "/" the store refuses anyway; "." and ".." are refused).
    if (text.find('/') == std::string::npos && text != "." && text != ".." && !text.empty()) {
        bool control = false;
        for (char c : text) control = control || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        try {
            const auto url = localplatform::ParseStoreUrl(
                "file://./backofficestorage/ns/MBX/a/" + localplatform::EncodeUrlPath(text),
                "mail01.example.test");
            if (control || url.segments.size() != 4 || url.segments[3] != text) std::abort();
        } catch (const platform::Error&) {
            if (!control && text.find('\\') == std::string::npos) std::abort();
        }
    }
    return 0;
}
