// The zone-file reader of the calendar service, open to its fuzz target.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform::detail {

// Parses bytes as a TZif zone file (RFC 8536, versions 1 to 4) and, when
// they are one, reads the offset at instant (seconds since 1970, UTC) and
// the UTC instant of that wall time. False for bytes that are no zone file.
bool ProbeZoneFile(std::string_view bytes, int64_t instant);

}  // namespace platform::detail
