// libFuzzer target: the TZif zone-file reader. Any bytes are either refused
// or give a zone whose offsets can be read at any instant; never a crash,
// a hang or undefined behaviour. The first eight bytes pick the instant.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/calendar_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int64_t instant = 0;
    if (size >= sizeof instant) {
        std::memcpy(&instant, data, sizeof instant);
        // Instants of the calendar's years 100 to 9999, as the conversions use.
        instant %= int64_t{253402300800};
        data += sizeof instant;
        size -= sizeof instant;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const int64_t t : {instant, int64_t{0}, int64_t{-2208988800}, int64_t{4102444800}})
        (void)platform::detail::ProbeZoneFile(bytes, t);
    return 0;
}
