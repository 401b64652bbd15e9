// The messaging library's calendar service, reduced to what time-zone
// conversion needs: a Configuration names a zone, by name
// ("urn:schemas:calendar:timezone", an IANA name) or by the library's numeric
// identifier ("urn:schemas:calendar:timezoneid"); an Appointment's start time
// is read and written in the zone its configuration names at that moment.
// Zones come from the system tz database (TZDIR, else /usr/share/zoneinfo),
// are parsed once per process and may be used from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "base/date.h"
#include "base/variant.h"

namespace platform {

constexpr const char* cdoTimeZoneName = "urn:schemas:calendar:timezone";
constexpr const char* cdoTimeZoneId = "urn:schemas:calendar:timezoneid";

class Configuration {
public:
    // Sets a field; of the two zone fields the one set last counts at Update.
    void SetField(const std::string& name, Variant value);
    // A field's value as set, Null when never set.
    [[nodiscard]] Variant Field(const std::string& name) const;
    // Validates and activates the zone field set last; raises
    // kCdoInvalidTimeZone for an identifier missing from the table or a name
    // the tz database does not hold. An empty name is the host's own zone.
    void Update();
    // The IANA zone currently in force ("UTC" when none was set, "" for the
    // host's own zone).
    [[nodiscard]] const std::string& ZoneName() const { return zone_; }

private:
    std::map<std::string, Variant> pending_;
    std::string lastZoneField_;
    std::string zone_ = "UTC";
};

class Appointment {
public:
    // The appointment reads its zone from config (not owned; must outlive
    // it). Without a configuration it keeps UTC.
    void SetConfiguration(Configuration* config) { config_ = config; }
    // Interprets value as wall-clock time in the configuration's zone. A time
    // repeated when clocks go back is its first occurrence; a time skipped
    // when they go forward is read with the offset before the change.
    void SetStartTime(Date value);
    // The start instant as wall-clock time in the configuration's zone now;
    // in the zone it was set in, exactly the value that was set.
    [[nodiscard]] Date StartTime() const;

private:
    Configuration* config_ = nullptr;
    int64_t utcSeconds_ = 0;
    double fraction_ = 0;  // sub-second part of the start time
    Date setValue_;
    std::optional<std::string> setZone_;
};

// The library's numeric time-zone identifier for an IANA zone and back; an
// empty string / -1 when the table has no such entry.
std::string TimeZoneNameFromId(int32_t id);
int32_t TimeZoneIdFromName(const std::string& name);

}  // namespace platform
