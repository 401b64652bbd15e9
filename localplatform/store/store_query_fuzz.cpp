// libFuzzer target: query text comes from callers and registration values.
// Parsing must succeed or raise platform::Error, never crash or recurse
// without bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/error.h"
#include "localplatform/store/store_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        (void)localplatform::ParseQuery(
            std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const platform::Error&) {
    }
    return 0;
}
