// libFuzzer target: any text read as LDIF either parses or raises
// platform::Error; what parses is written back as LDIF that parses again to
// the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/error.h"
#include "localplatform/directory/directory_ldif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace localplatform::directory;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<Entry> entries;
    try {
        entries = ParseLdif(text);
    } catch (const platform::Error&) {
        return 0;
    }
    std::string again;
    for (const Entry& e : entries) again += ToLdif(e);
    std::vector<Entry> back;
    try {
        back = ParseLdif(again);
    } catch (const platform::Error&) {
        std::abort();  // what we write must read back
    }
    if (back.size() != entries.size()) std::abort();
    for (size_t i = 0; i < back.size(); ++i) {
        if (back[i].dn != entries[i].dn) std::abort();
    }
    return 0;
}
