#include "tools/eventd/event_service.h"

#include <algorithm>
#include <thread>

#include "base/date.h"
#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/store/item_store.h"

namespace eventd {

namespace {

using platform::VisibleText;

std::string Seconds(std::chrono::steady_clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

}  // namespace

std::string IsoUtc(int64_t unixSeconds) {
    const platform::DateParts p = platform::Date::FromUnixSeconds(unixSeconds).Parts();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
    return text;
}

std::optional<int64_t> ParseIsoUtc(const std::string& text, std::string* why) {
    const auto d = platform::ParseIsoUtcText(text, why);
    if (!d) return std::nullopt;
    return d->UnixSeconds();
}

EventService::EventService(ServiceOptions options, HostingLookup hosting, LogLine log)
    : options_(std::move(options)), hosting_(std::move(hosting)), log_(std::move(log)) {
    record_ = FiringRecord::Load(options_.recordPath);
}

EventService::~EventService() = default;

void EventService::Log(platform::LogPriority priority, const std::string& line) const {
    if (log_) log_(priority, line);
}

void EventService::Scan() {
    auto store = localplatform::ItemStore::ForThisThread();
    // One read snapshot: the registrations are seen as one state.
    const localplatform::ItemStore::ScopedRead snapshot(*store);
    registrations_ = FindTimerRegistrations(*store);
}

int64_t EventService::Baseline(const TimerRegistration& r) const {
    // A registration written anew starts its schedule from that moment: the
    // setup program rewrites the item on every change.
    return std::max(record_.LastFiring(r.url).value_or(r.modified), r.modified);
}

std::vector<ListedRegistration> EventService::List(int64_t now) {
    Scan();
    std::vector<ListedRegistration> out;
    for (const auto& r : registrations_) {
        ListedRegistration l{r, record_.LastFiring(r.url), std::nullopt};
        if (r.enabled && r.defect.empty())
            l.nextFiring = NextFiring(r.schedule, std::max(now, Baseline(r)));
        out.push_back(std::move(l));
    }
    return out;
}

std::optional<Surrogate> EventService::Launch(const TimerRegistration& r, int64_t due) {
    const std::string what = VisibleText(r.sinkClass) + "(" + VisibleText(r.url) + ")";
    std::string why;
    const std::optional<Hosting> hosting = hosting_ ? hosting_(r.sinkClass, &why) : Hosting{};
    if (!hosting) {
        Log(platform::LogPriority::kErr,
            "not fired " + what + " due " + IsoUtc(due) + ": " + VisibleText(why));
        ++failures_;
        return std::nullopt;
    }
    SurrogateCall call{options_.hostPath,          options_.configPath, r.sinkClass,      r.url,
                       hosting->constructorString, hosting->identity,   options_.runLimit};
    SurrogateOutcome refused;
    auto surrogate = Surrogate::Start(call, &refused);
    if (!surrogate) {
        Log(platform::LogPriority::kErr,
            "not fired " + what + " due " + IsoUtc(due) + ": " + VisibleText(refused.detail));
        ++failures_;
        return std::nullopt;
    }
    const std::string as = hosting->identity.empty() ? CurrentAccountName() : hosting->identity;
    Log(platform::LogPriority::kInfo, "fired " + what + " due " + IsoUtc(due) + " as " +
                                          VisibleText(as) + " (pid " +
                                          std::to_string(surrogate->Pid()) + ")");
    return surrogate;
}

void EventService::Reap(bool wait) {
    for (auto it = running_.begin(); it != running_.end();) {
        auto& run = it->second;
        const std::optional<SurrogateOutcome> outcome =
            wait ? std::optional<SurrogateOutcome>(run.surrogate.Wait()) : run.surrogate.Poll();
        if (!outcome) {
            ++it;
            continue;
        }
        const auto took = std::chrono::steady_clock::now() - run.started;
        std::string line = VisibleText(outcome->detail) + " after " + Seconds(took);
        if (outcome->kind == SurrogateOutcome::Kind::kTimedOut) {
            line += " (limit " + std::to_string(options_.runLimit.count()) + " s)";
        }
        const bool succeeded = outcome->kind == SurrogateOutcome::Kind::kSucceeded;
        Log(succeeded ? platform::LogPriority::kInfo : platform::LogPriority::kErr, line);
        if (!succeeded) ++failures_;
        it = running_.erase(it);
    }
}

int EventService::FireDue(int64_t at, int64_t now) {
    failures_ = 0;
    at = std::min(at, now);
    Scan();
    for (const auto& r : registrations_) {
        if (!r.enabled) continue;
        if (!r.defect.empty()) {
            Log(platform::LogPriority::kErr,
                "cannot fire " + VisibleText(r.url) + ": " + VisibleText(r.defect));
            continue;
        }
        const auto due = LatestFiring(r.schedule, Baseline(r), at);
        if (!due) continue;
        // Recorded before the call: a firing is attempted once, whatever
        // becomes of it (the sink's next firing is the retry).
        record_.SetLastFiring(r.url, *due);
        record_.Save();
        if (auto surrogate = Launch(r, *due)) {
            running_.emplace(
                r.url, Running{std::move(*surrogate), *due, std::chrono::steady_clock::now()});
            Reap(true);
        }
    }
    return failures_;
}

void EventService::NoteClockJump(LoopState& loop, int64_t now) const {
    // The schedule is worked out from the wall clock each time round; a jump
    // only needs saying.
    const auto steadyNow = std::chrono::steady_clock::now();
    const int64_t expected =
        loop.lastWall +
        std::chrono::duration_cast<std::chrono::seconds>(steadyNow - loop.lastSteady).count();
    if (loop.started && (now - expected > 2 || expected - now > 2)) {
        Log(platform::LogPriority::kWarning,
            "clock changed by " + std::to_string(now - expected) + " s; schedule recomputed");
    }
    loop.lastWall = now;
    loop.lastSteady = steadyNow;
}

void EventService::ScanOrSayStoreDown(LoopState& loop) {
    try {
        Scan();
        if (loop.storeDown) Log(platform::LogPriority::kInfo, "store available again");
        loop.storeDown = false;
    } catch (const platform::Error& e) {
        if (!loop.storeDown) {
            Log(platform::LogPriority::kErr, "store unavailable: " + VisibleText(e.Description()) +
                                                 " (" + std::to_string(e.Number()) +
                                                 "); trying again every " +
                                                 std::to_string(options_.poll.count()) + " ms");
        }
        loop.storeDown = true;
    }
}

std::optional<int64_t> EventService::FireWhatIsDue(LoopState& loop, int64_t now) {
    std::optional<int64_t> soonest;
    std::map<std::string, bool> present;
    bool changed = false;
    for (const auto& r : registrations_) {
        present[r.url] = true;
        if (!r.enabled || !r.defect.empty()) continue;
        if (const auto due = LatestFiring(r.schedule, Baseline(r), now)) {
            changed = true;
            record_.SetLastFiring(r.url, *due);
            const std::string what = VisibleText(r.sinkClass) + "(" + VisibleText(r.url) + ")";
            if (!loop.started && !options_.catchUp) {
                Log(platform::LogPriority::kWarning,
                    "missed " + what + " due " + IsoUtc(*due) +
                        " while the service was not running (catch_up = no)");
            } else if (auto it = running_.find(r.url); it != running_.end()) {
                Log(platform::LogPriority::kWarning,
                    "skipped " + what + " due " + IsoUtc(*due) + ": the run due " +
                        IsoUtc(it->second.due) + " (pid " +
                        std::to_string(it->second.surrogate.Pid()) + ") still runs");
            } else if (auto surrogate = Launch(r, *due)) {
                running_.emplace(
                    r.url, Running{std::move(*surrogate), *due, std::chrono::steady_clock::now()});
            }
        }
        if (const auto next = NextFiring(r.schedule, std::max(now, Baseline(r)))) {
            soonest = soonest ? std::min(*soonest, *next) : *next;
        }
    }
    record_.Keep(present);
    if (changed || !loop.started) {
        try {
            record_.Save();
        } catch (const platform::Error& e) {
            Log(platform::LogPriority::kErr, VisibleText(e.Description()));
        }
    }
    loop.started = true;
    return soonest;
}

void EventService::SleepUntilNext(const std::atomic<bool>& stop, const WallClock& clock,
                                  std::optional<int64_t> soonest) {
    using std::chrono::steady_clock;
    auto wake = steady_clock::now() + options_.poll;
    if (soonest) {
        const auto untilDue = std::chrono::seconds(std::max<int64_t>(0, *soonest - clock()));
        wake = std::min(wake, steady_clock::now() + untilDue);
    }
    while (!stop.load() && steady_clock::now() < wake) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Reap(false);
    }
}

void EventService::Run(const std::atomic<bool>& stop, const WallClock& clock) {
    LoopState loop;
    loop.lastWall = clock();
    loop.lastSteady = std::chrono::steady_clock::now();
    while (!stop.load()) {
        const int64_t now = clock();
        NoteClockJump(loop, now);
        Reap(false);
        ScanOrSayStoreDown(loop);
        const std::optional<int64_t> soonest =
            loop.storeDown ? std::nullopt : FireWhatIsDue(loop, now);
        SleepUntilNext(stop, clock, soonest);
    }
    for (auto& [url, run] : running_) {
        Log(platform::LogPriority::kWarning, "ending " + VisibleText(url) + " (pid " +
                                                 std::to_string(run.surrogate.Pid()) +
                                                 "): the service stops");
    }
    running_.clear();
}

}  // namespace eventd
