#include "setup/core/run_health.h"

#include <map>

#include "base/date.h"
#include "base/strfuncs.h"
#include "platform/ado.h"
#include "registration/registration.h"
#include "registration/timer_schedule.h"

namespace setup {

namespace {

constexpr int64_t kDay = 86400;

// What tells one mailbox from another in the history: its address, without
// regard to case; one without an address, its name.
std::string MailboxKey(const std::string& address, const std::string& name) {
    return address.empty() ? "\n" + name : platform::Lower(address);
}

// What happened to a mailbox in one run: selected, swept, or the error of
// its first failing folder.
struct Treatment {
    bool selected = false;
    bool recorded = false;
    std::string failure;  // "<folder URL>: <error>"
};

struct Named {
    std::string address, name;
};

std::map<std::string, Treatment> Treatments(const DueRun& due,
                                            std::map<std::string, Named>& names) {
    std::map<std::string, Treatment> out;
    if (due.selection) {
        for (const auto& m : *due.selection) {
            const std::string key = MailboxKey(m.mailbox, m.name);
            out[key].selected = true;
            names.emplace(key, Named{m.mailbox, m.name});
        }
    }
    for (const auto& f : due.folders) {
        const std::string key = MailboxKey(f.mailbox, f.name);
        auto& t = out[key];
        t.recorded = true;
        if (!f.error.empty() && t.failure.empty())
            t.failure = (f.url.empty() ? std::string() : f.url + ": ") + f.error;
        names.emplace(key, Named{f.mailbox, f.name});
    }
    return out;
}

// The schedule of the registration's timer as the registration writes it:
// daily from its first firing instant.
std::optional<registration::TimerSchedule> Schedule(int run, std::string_view timeToRun,
                                                    int64_t now, double biasMinutes) {
    if (run < 1 || run > 8) return std::nullopt;
    const platform::Date nowLocal = platform::Date::FromUnixSeconds(now).AddMinutes(-biasMinutes);
    const auto first = registration::ComputeTimerStartTime(nowLocal, timeToRun, biasMinutes);
    if (!first) return std::nullopt;
    return registration::TimerSchedule{first->UnixSeconds(), kDay};
}

// Whether a firing falls on a run day, as the sink judges it: by the local
// weekday when it fires.
bool OnRunDay(int run, int64_t firing, double biasMinutes) {
    const platform::Date local = platform::Date::FromUnixSeconds(firing).AddMinutes(-biasMinutes);
    return run == 1 || local.Weekday() == run - 1;
}

}  // namespace

bool IsDueRun(const platform::RunSummary& run) {
    return run.outcome != "not a run day" && run.outcome != "skipped" && run.outcome != "running";
}

std::vector<MailboxFlag> FlagMailboxes(const std::vector<DueRun>& lastTwo) {
    if (lastTwo.size() < 2) return {};
    std::map<std::string, Named> names;  // every mailbox either run knows, first spelling
    const std::map<std::string, Treatment> runs[2] = {Treatments(lastTwo[0], names),
                                                      Treatments(lastTwo[1], names)};
    std::vector<MailboxFlag> flags;
    for (const auto& [key, named] : names) {
        MailboxFlag flag{named.address, named.name, {}};
        for (int i = 0; i < 2; ++i) {
            const std::string run = "run " + std::to_string(lastTwo[i].run.id) + ": ";
            const auto it = runs[i].find(key);
            if (it == runs[i].end()) continue;  // not selected then: nothing to judge
            if (!it->second.failure.empty()) {
                flag.reasons.push_back(run + it->second.failure);
            } else if (it->second.selected && !it->second.recorded) {
                flag.reasons.push_back(run + "not reached");
            }
        }
        if (flag.reasons.size() == 2) flags.push_back(std::move(flag));
    }
    return flags;
}

std::optional<int64_t> LastDueInstant(int run, std::string_view timeToRun, int64_t now,
                                      double biasMinutes) {
    const auto schedule = Schedule(run, timeToRun, now, biasMinutes);
    if (!schedule) return std::nullopt;
    // The newest firing within the last week and a day that fell on a run day.
    for (auto firing = registration::LatestFiring(*schedule, now - 8 * kDay, now); firing;
         firing = registration::LatestFiring(*schedule, now - 8 * kDay, *firing - 1)) {
        if (OnRunDay(run, *firing, biasMinutes)) return firing;
    }
    return std::nullopt;
}

std::optional<int64_t> NextDueInstant(int run, std::string_view timeToRun, int64_t now,
                                      double biasMinutes) {
    const auto schedule = Schedule(run, timeToRun, now, biasMinutes);
    if (!schedule) return std::nullopt;
    // A run day comes within a week.
    for (auto firing = registration::NextFiring(*schedule, now);
         firing && *firing <= now + 8 * kDay;
         firing = registration::NextFiring(*schedule, *firing)) {
        if (OnRunDay(run, *firing, biasMinutes)) return firing;
    }
    return std::nullopt;
}

RunHealth CheckRunHealth(const platform::RunHistoryReader& history, const std::string& itemUrl,
                         int run, std::string_view timeToRun, int64_t now, double biasMinutes) {
    RunHealth health;
    // The registration's own runs, newest first: a run of another item (a
    // firing by hand, an item since removed) says nothing of this one.
    std::vector<platform::RunSummary> runs;
    for (auto& r : history.Runs()) {
        if (platform::SameStoreItem(r.itemUrl, itemUrl)) runs.push_back(std::move(r));
    }
    health.historyEmpty = runs.empty();
    if (!runs.empty()) health.lastRun = runs.front();
    std::vector<DueRun> lastTwo;
    for (const auto& r : runs) {
        if (lastTwo.size() == 2) break;
        if (IsDueRun(r)) lastTwo.push_back({r, history.Folders(r.id), history.Selection(r.id)});
    }
    health.mailboxes = FlagMailboxes(lastTwo);
    if (!runs.empty()) {
        const auto due = LastDueInstant(run, timeToRun, now, biasMinutes);
        // The newest run comes first: did any start since the due instant?
        if (due && now >= *due + kDueRunGraceSeconds && runs.front().started < *due) {
            health.missedRun = due;
        }
    }
    return health;
}

}  // namespace setup
