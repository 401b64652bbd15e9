#include "isodate/iso_date.h"

#include <cstdio>

#include "base/error.h"
#include "base/variant.h"
#include "platform/calendar.h"
#include "platform/system.h"

namespace ISODate {

std::string FormatIsoDate(platform::Date value) {
    const platform::DateParts p = value.Parts();
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", p.year, p.month, p.day, p.hour,
                  p.minute, p.second);
    return buf;
}

double GetTimeZoneBias() {
    const platform::Variant value = platform::RegRead(
        "HKLM\\System\\CurrentControlSet\\Control\\"
        "TimeZoneInformation\\ActiveTimeBias");
    switch (value.Type()) {
        case platform::VariantType::Int32:
            return value.ToInt32();
        case platform::VariantType::Bytes: {
            // Summed as the bytes stand: no sign is read into the last one.
            double bias = 0;
            double weight = 1;
            for (uint8_t b : value.AsBytes()) {
                bias += b * weight;
                weight *= 256;
            }
            return bias;
        }
        default:
            throw platform::Error(platform::err::kUnrecognizedData,
                                  "Can't recognize type of data: " + value.ToStringOrEmpty(),
                                  "ActiveTimeBias");
    }
}

double GetUsableTimeZoneBias() {
    const double bias = GetTimeZoneBias();
    if (!(bias >= -kMaxTimeZoneBiasMinutes && bias <= kMaxTimeZoneBiasMinutes)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.0f", bias);
        throw platform::Error(platform::err::kUnrecognizedData,
                              std::string("ActiveTimeBias out of range: ") + text +
                                  " minutes (a zone lies within a day of UTC)",
                              "ActiveTimeBias");
    }
    return bias;
}

platform::Date ConvertTimeZone(platform::Date value, int32_t toZoneId, int32_t fromZoneId,
                               const std::string& fromZoneName, const std::string& toZoneName) {
    // Equal zones need no zone at all: the sweep asks for 13 to 13 on every
    // folder, and that must not depend on the tz database holding the zone.
    const bool byName = !fromZoneName.empty() || !toZoneName.empty();
    if (byName ? fromZoneName == toZoneName : fromZoneId == toZoneId) return value;
    platform::Appointment appointment;
    platform::Configuration config;
    appointment.SetConfiguration(&config);
    if (byName)
        config.SetField(platform::cdoTimeZoneName, fromZoneName);
    else
        config.SetField(platform::cdoTimeZoneId, fromZoneId);
    config.Update();
    appointment.SetStartTime(value);
    if (byName)
        config.SetField(platform::cdoTimeZoneName, toZoneName);
    else
        config.SetField(platform::cdoTimeZoneId, toZoneId);
    config.Update();
    return appointment.StartTime();
}

}  // namespace ISODate
