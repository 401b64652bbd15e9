// libFuzzer target: the "bytes:" form of a configured time-zone bias. Any
// text is either refused or gives bytes whose little-endian sum is the bias.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/system_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (auto bytes = platform::detail::ParseBiasBytes(text)) {
        double bias = 0, weight = 1;
        for (uint8_t b : *bytes) {
            bias += b * weight;
            weight *= 256;
        }
        (void)bias;
    }
    return 0;
}
