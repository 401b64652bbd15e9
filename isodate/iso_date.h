// Module ISODate: local dates turned into the UTC values and ISO texts that
// the store compares. Both deliverables use it: the sink for its cutoff, the
// setup program for the timer's start time.
#pragma once

#include <cstdint>
#include <string>

#include "base/date.h"

namespace ISODate {

// "yyyy-mm-ddThh:mm:ssZ" of value, formatted unchanged (the caller has
// already shifted it to UTC); seconds are rounded to the nearest.
std::string FormatIsoDate(platform::Date value);

// The active time-zone bias in minutes, UTC = local time + bias, read from the
// registry value ActiveTimeBias: a 32-bit integer as it is, an array of bytes
// as the plain little-endian sum of its bytes. Raises platform::Error
// 0x80040001 (source "ActiveTimeBias") for a value of any other type, and
// passes on the error of a value that cannot be read.
double GetTimeZoneBias();

// The largest bias, either way, that a real zone can have: a day.
inline constexpr double kMaxTimeZoneBiasMinutes = 24 * 60;

// The bias both deliverables use: GetTimeZoneBias, refused (platform::Error
// 0x80040001, source "ActiveTimeBias", naming the value) when it lies beyond
// a day either way. Such a value (four bytes summed as they stand, say) is no
// zone: it would move a cutoff or a start time by years. The cleanup run and
// the setup program read the bias only here, so a value one of them refuses
// the other refuses too.
double GetUsableTimeZoneBias();

// Re-expresses value, a wall-clock time in one zone, in another zone through
// the messaging library's calendar service. The zones are given by name when
// fromZoneName or toZoneName is non-empty, else by numeric identifier; equal
// zones give value unchanged. Raises platform::Error for an unknown zone.
platform::Date ConvertTimeZone(platform::Date value, int32_t toZoneId, int32_t fromZoneId,
                               const std::string& fromZoneName, const std::string& toZoneName);

}  // namespace ISODate
