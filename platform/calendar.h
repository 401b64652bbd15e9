// The messaging library's calendar service, reduced to what time-zone
// conversion needs: a Configuration names a zone, by name
// ("urn:schemas:calendar:timezone", an IANA name) or by the library's numeric
// identifier ("urn:schemas:calendar:timezoneid"); an Appointment's start time
// is read and written in the zone its configuration names at that moment.
#pragma once

#include <map>
#include <string>

#include "platform/base/date.h"
#include "platform/base/variant.h"

namespace platform {

constexpr const char* cdoTimeZoneName = "urn:schemas:calendar:timezone";
constexpr const char* cdoTimeZoneId = "urn:schemas:calendar:timezoneid";

class Configuration {
public:
    void SetField(const std::string& name, Variant value);
    [[nodiscard]] Variant Field(const std::string& name) const;
    // Validates and activates the pending fields; raises kCdoInvalidTimeZone
    // for an unknown zone identifier or name.
    void Update();
    // The IANA zone currently in force ("UTC" when none was set).
    [[nodiscard]] const std::string& ZoneName() const { return zone_; }

private:
    std::map<std::string, Variant> pending_;
    std::string zone_ = "UTC";
};

class Appointment {
public:
    void SetConfiguration(Configuration* config) { config_ = config; }
    // Interprets value as wall-clock time in the configuration's zone.
    void SetStartTime(Date value);
    // The start instant as wall-clock time in the configuration's zone now.
    [[nodiscard]] Date StartTime() const;

private:
    Configuration* config_ = nullptr;
    int64_t utcSeconds_ = 0;
};

// The library's numeric time-zone identifier for an IANA zone and back; an
// empty string / -1 when the table has no such entry.
std::string TimeZoneNameFromId(int32_t id);
int32_t TimeZoneIdFromName(const std::string& name);

}  // namespace platform
