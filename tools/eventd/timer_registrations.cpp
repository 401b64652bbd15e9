#include "tools/eventd/timer_registrations.h"

#include <algorithm>

#include "base/strfuncs.h"
#include "base/variant.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"
#include "registration/registration.h"

namespace eventd {

namespace {

using localplatform::ItemRow;
using localplatform::ItemStore;

// Reads the schedule and the class; a property that is absent or of a type
// that cannot be converted makes the registration defective, not the scan.
void ReadSettings(ItemStore& store, TimerRegistration& reg) {
    using platform::Variant;
    auto value = [&](const char* name) { return store.CustomValue(reg.itemId, name); };
    try {
        reg.sinkClass = value(registration::kSinkClassProperty).ToStringOrEmpty();
        const Variant enabled = value(registration::kEnabled);
        // The event service treats an absent flag as enabled.
        reg.enabled = enabled.IsNull() || enabled.ToBool();
        const Variant start = value(registration::kTimerStartTime);
        const Variant interval = value(registration::kTimerInterval);
        if (start.IsNull()) {
            reg.defect = "no TimerStartTime";
        } else {
            reg.schedule.start = localplatform::ToStoreTime(start.ToDate());
        }
        if (!interval.IsNull()) reg.schedule.intervalSeconds = int64_t{interval.ToInt32()} * 60;
        if (reg.sinkClass.empty() && reg.defect.empty()) reg.defect = "no SinkClass";
    } catch (const platform::Error& e) {
        reg.defect = e.Description();
    }
}

}  // namespace

std::vector<TimerRegistration> FindTimerRegistrations(ItemStore& store) {
    std::vector<TimerRegistration> found;
    const std::string fqdn = localplatform::ThisServerFqdn();
    for (const std::string& ns : store.Namespaces()) {
        const auto mbx = store.Lookup({ns, "MBX"});
        if (!mbx) continue;
        // Only mailboxes that have a "StoreEvents" folder can hold
        // registrations: one indexed probe per mailbox row.
        const auto mailboxes = store.MailboxesHaving(mbx->id, "StoreEvents");
        for (const ItemRow& mailbox : mailboxes) {
            const auto folder =
                store.Lookup({ns, "MBX", mailbox.name, "StoreEvents", "GlobalEvents"});
            if (!folder) continue;
            const auto items =
                store.ItemsOfContentClass(folder->id, registration::kContentClassStoreEventReg);
            for (const ItemRow& item : items) {
                const std::string method =
                    store.CustomValue(item.id, registration::kEventMethod).ToStringOrEmpty();
                if (!platform::EqualsNoCase(method, registration::kEventMethodOnTimer)) continue;
                TimerRegistration reg;
                reg.itemId = item.id;
                reg.url = localplatform::FormatStoreUrl(
                    localplatform::UrlScheme::kFile, fqdn,
                    {ns, "MBX", mailbox.name, "StoreEvents", "GlobalEvents", item.name});
                reg.modified = item.modified;
                ReadSettings(store, reg);
                found.push_back(std::move(reg));
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const TimerRegistration& a, const TimerRegistration& b) { return a.url < b.url; });
    return found;
}

}  // namespace eventd
