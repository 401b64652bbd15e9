// The store's event service for timer registrations: it finds the timer
// registrations of the store, works out when each is due (its start time plus
// a whole number of intervals), and at that instant calls the OnTimer of the
// registration's sink class with the item's URL, in a surrogate process under
// the identity of the class's component application.
//
// Each firing and its outcome is one line of the service's log. What fired
// last is kept in a firing record, so that a restart fires nothing twice; a
// firing that fell while the service was down is reported as missed, or fired
// once at start-up when the configuration says catch_up = yes. A registration
// whose previous run still runs is skipped when it falls due again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/journal.h"
#include "tools/eventd/firing_record.h"
#include "tools/eventd/surrogate.h"
#include "tools/eventd/timer_registrations.h"

namespace eventd {

// Where and how a sink class runs: the component application that holds it.
struct Hosting {
    std::string application;  // empty: the class is in no application
    std::string identity;     // the account to run as; empty = the service's own
    std::optional<std::string> constructorString;
};

// Finds the hosting of a ProgID; nothing, with *why set, when the class may
// not run (the caller logs why and fires nothing).
using HostingLookup =
    std::function<std::optional<Hosting>(const std::string& progId, std::string* why)>;
// Receives each line of the service's log, without its line end.
using LogLine = std::function<void(platform::LogPriority, const std::string&)>;
// The wall clock, in Unix seconds (tests drive the service with --once instead).
using WallClock = std::function<int64_t()>;

struct ServiceOptions {
    std::string hostPath;    // the component host program
    std::string configPath;  // passed on to the host; empty = its default
    std::string recordPath;  // the firing record
    bool catchUp = false;
    std::chrono::milliseconds poll{2000};  // how soon a changed registration is seen
    std::chrono::seconds runLimit{3600};   // a run is ended past this
};

// One line of --list.
struct ListedRegistration {
    TimerRegistration registration;
    std::optional<int64_t> lastFiring;
    std::optional<int64_t> nextFiring;  // nothing when disabled, defective or spent
};

class EventService {
public:
    EventService(ServiceOptions options, HostingLookup hosting, LogLine log);
    ~EventService();

    // Every registration with its next firing after now. Raises
    // platform::Error when the store or the record cannot be read.
    [[nodiscard]] std::vector<ListedRegistration> List(int64_t now);

    // Fires, one after another and each to its end, every registration that
    // is due at an instant in (its last firing, at] that has come (at or
    // before now: a firing ahead is not due, and is neither fired nor
    // recorded); a registration's last firing is where the record left it,
    // or when the item was last written, whichever is later. Records what
    // fired. Returns how many firings did not succeed. Raises platform::Error
    // when the store or the record cannot be read or written.
    int FireDue(int64_t at, int64_t now);

    // Runs until stop is set: fires what falls due while it runs, notices
    // registrations written, changed or removed within one poll interval,
    // survives a busy or missing store (logs it and tries again) and a
    // change of the wall clock (the schedule is worked out from the clock
    // each time round). Running surrogates are ended when it returns.
    void Run(const std::atomic<bool>& stop, const WallClock& clock);

private:
    struct Running {
        Surrogate surrogate;
        int64_t due = 0;
        std::chrono::steady_clock::time_point started;
    };

    void Scan();
    [[nodiscard]] int64_t Baseline(const TimerRegistration& r) const;
    // Starts the call; false (and logged) when it could not start.
    std::optional<Surrogate> Launch(const TimerRegistration& r, int64_t due);
    void Reap(bool wait);
    void Log(platform::LogPriority priority, const std::string& line) const;

    // The steps of one turn of Run, and what they keep from turn to turn.
    struct LoopState {
        bool started = false;    // the first turn with a readable store is done
        bool storeDown = false;  // the last scan could not read the store
        int64_t lastWall = 0;
        std::chrono::steady_clock::time_point lastSteady;
    };
    // Says when the wall clock moved otherwise than the steady clock did.
    void NoteClockJump(LoopState& loop, int64_t now) const;
    // Scans the registrations; says once when the store goes and comes back.
    void ScanOrSayStoreDown(LoopState& loop);
    // Fires what is due at now (or says why not) and records it; the
    // soonest next firing.
    std::optional<int64_t> FireWhatIsDue(LoopState& loop, int64_t now);
    // Sleeps until the soonest firing or the next poll, in short steps, so
    // that a stop request is seen at once.
    void SleepUntilNext(const std::atomic<bool>& stop, const WallClock& clock,
                        std::optional<int64_t> soonest);

    ServiceOptions options_;
    HostingLookup hosting_;
    LogLine log_;
    FiringRecord record_;
    std::vector<TimerRegistration> registrations_;
    std::map<std::string, Running> running_;  // by item URL
    int failures_ = 0;
};

// "yyyy-mm-ddThh:mm:ssZ" of a Unix time, for log lines and --list.
[[nodiscard]] std::string IsoUtc(int64_t unixSeconds);
// Parses that form exactly; nothing for any other text or an impossible
// date, with *why (when given) saying which.
[[nodiscard]] std::optional<int64_t> ParseIsoUtc(const std::string& text,
                                                 std::string* why = nullptr);

}  // namespace eventd
