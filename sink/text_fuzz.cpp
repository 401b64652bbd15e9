// Fuzz target for the texts the sink takes apart: recipient and destination
// texts of the registration item, the timer's time of day, class
// identifiers of the class registry.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com.h"
#include "registration/registration.h"
#include "selection/destination.h"
#include "sink/run_log.h"
#include "sink/windirs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string address = quellix::ExtractReportAddress(text);
    if (address.size() > text.size()) __builtin_trap();
    const std::string destination = quellix::DestinationAddress(text);
    if (destination.size() > text.size()) __builtin_trap();
    (void)quellix::TrimAtNul(text);
    (void)registration::ComputeTimerStartTime(platform::Date::FromParts(2026, 1, 1), text, 0);
    if (auto guid = platform::GuidFromString(text)) {
        if (platform::GuidFromString(platform::GuidToString(*guid)) != guid) __builtin_trap();
    }
    return 0;
}
