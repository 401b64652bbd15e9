// libFuzzer target: any text handed to the directory query translator must
// either translate or raise platform::Error; never crash, hang or leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"
#include "localplatform/directory/directory_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    using namespace localplatform::directory;
    try {
        const DirectoryQuery q = ParseDirectoryQuery(text);
        // Every other attribute is "unknown", to reach the three-valued paths.
        FilterContext ctx{"CN=Schema,CN=Configuration,DC=example,DC=com",
                          [](const std::string& a) { return a.size() % 2 == 0; }};
        (void)ToLdapFilter(q.where.get(), ctx);
        (void)q.root.PathOf("CN=x,DC=y");
    } catch (const platform::Error&) {
    }
    try {
        (void)ParseAdsPath(text);
    } catch (const platform::Error&) {
    }
    (void)NormalizeDn(text);
    return 0;
}
