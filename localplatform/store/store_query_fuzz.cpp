// libFuzzer target: query text comes from callers and registration values.
// Parsing must succeed or raise platform::Error, never crash or recurse
// without bound; and any text quoted into a scope reads back as itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/error.h"
#include "localplatform/store/store_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        (void)localplatform::ParseQuery(
            std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const platform::Error&) {
    }
    const std::string value(reinterpret_cast<const char*>(data), size);
    if (!value.empty()) {
        using localplatform::QuoteQueryText;
        const auto q = localplatform::ParseQuery(
            "select \"a\" from scope(" +
            QuoteQueryText("deep traversal of " + QuoteQueryText(value, '"'), '\'') +
            ") where \"b\" = " + QuoteQueryText(value, '\''));
        if (q.scopeUrl != value || !q.deep) std::abort();
    }
    return 0;
}
