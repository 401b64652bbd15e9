// libFuzzer target: any text read as a platform configuration file either
// parses or raises platform::Error; every value then reads back through the
// typed getters without crashing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"
#include "localplatform/config/platform_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto cfg = localplatform::PlatformConfig::Parse(text, "fuzz.conf");
        for (const char* key : {"state_dir", "directory", "mail.transport", "mail.timeout",
                                "directory.starttls", "timezone.active_time_bias", "temp_dir"}) {
            (void)cfg.GetOr(key, "");
            try {
                (void)cfg.GetBool(key, false);
            } catch (const platform::Error&) {
            }
        }
        (void)cfg.DirectoryUri();
        (void)cfg.ComputerName();
        (void)cfg.DomainDnsName();
    } catch (const platform::Error&) {
    }
    return 0;
}
