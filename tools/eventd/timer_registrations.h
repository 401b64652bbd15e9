// The timer registrations of the store: items of content class
// "urn:content-class:storeeventreg" in the "StoreEvents/GlobalEvents" folder
// of system mailboxes whose event method is "onTimer". Finding them reads
// the mailbox rows and those folders only, never the mail below them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "registration/timer_schedule.h"

namespace localplatform {
class ItemStore;
}

namespace eventd {

// The schedule arithmetic lives beside the registration's layout, where the
// setup program reads it too.
using registration::LatestFiring;
using registration::NextFiring;
using registration::TimerSchedule;

struct TimerRegistration {
    int64_t itemId = 0;
    std::string url;        // file-scheme URL of the item, as OnTimer receives it
    std::string sinkClass;  // ProgID of the class to call
    bool enabled = false;
    TimerSchedule schedule;
    int64_t modified = 0;  // when the item was last written (Unix seconds)
    // Why the item cannot fire (a missing or unreadable start time, interval
    // or sink class); empty when it can.
    std::string defect;

    // Two scans found the same registration with the same settings.
    friend bool operator==(const TimerRegistration&, const TimerRegistration&) = default;
};

// Every timer registration of the store, enabled or not, in URL order.
// Raises platform::Error when the store cannot be read.
[[nodiscard]] std::vector<TimerRegistration> FindTimerRegistrations(
    localplatform::ItemStore& store);

}  // namespace eventd
