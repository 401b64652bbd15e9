#include "setup/core/run_health.h"

#include <map>

#include "base/date.h"
#include "base/strfuncs.h"
#include "registration/registration.h"
#include "registration/timer_schedule.h"

namespace setup {

namespace {

constexpr int64_t kDay = 86400;

// What happened to a mailbox in one run: nothing recorded, swept, or the
// error of its first failing folder.
struct Treatment {
    bool recorded = false;
    std::string failure;  // "<folder URL>: <error>"
};

std::map<std::string, Treatment> Treatments(const DueRun& due) {
    std::map<std::string, Treatment> out;
    for (const auto& f : due.folders) {
        auto& t = out[platform::Lower(f.mailbox)];
        t.recorded = true;
        if (!f.error.empty() && t.failure.empty()) t.failure = f.url + ": " + f.error;
    }
    return out;
}

}  // namespace

bool IsDueRun(const platform::RunSummary& run) {
    return run.outcome != "not a run day" && run.outcome != "skipped" && run.outcome != "running";
}

std::vector<MailboxFlag> FlagMailboxes(const std::vector<DueRun>& lastTwo,
                                       const std::vector<std::string>& selected) {
    if (lastTwo.size() < 2) return {};
    const std::map<std::string, Treatment> runs[2] = {Treatments(lastTwo[0]),
                                                      Treatments(lastTwo[1])};
    // Every address that failed somewhere or that the run selects, with the
    // spelling first seen.
    std::map<std::string, std::string> candidates;
    std::map<std::string, bool> isSelected;
    for (const auto& address : selected) {
        candidates.emplace(platform::Lower(address), address);
        isSelected[platform::Lower(address)] = true;
    }
    for (const auto& due : lastTwo) {
        for (const auto& f : due.folders) {
            if (!f.error.empty()) candidates.emplace(platform::Lower(f.mailbox), f.mailbox);
        }
    }
    std::vector<MailboxFlag> flags;
    for (const auto& [key, address] : candidates) {
        MailboxFlag flag{address, {}};
        for (int i = 0; i < 2; ++i) {
            const auto it = runs[i].find(key);
            const std::string run = "run " + std::to_string(lastTwo[i].run.id) + ": ";
            if (it == runs[i].end() || !it->second.recorded) {
                // Only a mailbox the run selects can be missed by it.
                if (isSelected.count(key)) flag.reasons.push_back(run + "not reached");
            } else if (!it->second.failure.empty()) {
                flag.reasons.push_back(run + it->second.failure);
            }
        }
        if (flag.reasons.size() == 2) flags.push_back(std::move(flag));
    }
    return flags;
}

std::optional<int64_t> LastDueInstant(int run, std::string_view timeToRun, int64_t now,
                                      double biasMinutes) {
    if (run < 1 || run > 8) return std::nullopt;
    const platform::Date nowLocal = platform::Date::FromUnixSeconds(now).AddMinutes(-biasMinutes);
    // The timer's schedule as the registration writes it: daily from its
    // first firing instant.
    const auto first = registration::ComputeTimerStartTime(nowLocal, timeToRun, biasMinutes);
    if (!first) return std::nullopt;
    const registration::TimerSchedule schedule{first->UnixSeconds(), kDay};
    auto firing = registration::LatestFiring(schedule, now - 8 * kDay, now);
    // The newest firing that fell on a run day, as the sink judges it: by
    // the local weekday when it fires.
    while (firing) {
        const platform::Date local =
            platform::Date::FromUnixSeconds(*firing).AddMinutes(-biasMinutes);
        if (run == 1 || local.Weekday() == run - 1) return firing;
        firing = registration::LatestFiring(schedule, now - 8 * kDay, *firing - 1);
    }
    return std::nullopt;
}

RunHealth CheckRunHealth(const platform::RunHistoryReader& history,
                         const std::vector<std::string>& selected, int run,
                         std::string_view timeToRun, int64_t now, double biasMinutes) {
    RunHealth health;
    const auto runs = history.Runs();
    health.historyEmpty = runs.empty();
    std::vector<DueRun> lastTwo;
    for (const auto& r : runs) {
        if (lastTwo.size() == 2) break;
        if (IsDueRun(r)) lastTwo.push_back({r, history.Folders(r.id)});
    }
    health.mailboxes = FlagMailboxes(lastTwo, selected);
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
