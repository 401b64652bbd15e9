// The run history: what every cleanup run did, kept by the platform so that
// an administrator can ask afterwards. A run is recorded when it starts
// (outcome "running", with the process that runs it), its folders as it
// treats them, and its end. A run without an end whose process (on this
// host; another host's cannot be checked) is gone reads as "interrupted".
// Runs that started more than "history.keep_days" (default 90; 0 keeps
// every run) days ago are pruned when a run begins.
//
// One SQLite database ("history", default <state_dir>/history.db) in WAL
// mode, readable by its owner only, shared by the processes that run
// cleanups and those that read; a writer waits for another up to
// "history.busy_timeout_ms" (default 10000), then fails with
// err::kResourceLocked naming the file and the wait. Every failure raises
// platform::Error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace localplatform {

class SqliteDb;

// Outcomes as recorded and read.
namespace run_outcome {
inline constexpr const char* kRunning = "running";
inline constexpr const char* kCompleted = "completed";
// Went to its end, but some folders could not be swept (its log says why).
inline constexpr const char* kCompletedWithFailures = "completed with failures";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kNotARunDay = "not a run day";
inline constexpr const char* kSkipped = "skipped";
inline constexpr const char* kInterrupted = "interrupted";  // running, its process gone
}  // namespace run_outcome

struct RunRecord {
    int64_t id = 0;
    std::string itemUrl;  // the registration item that fired
    int64_t started = 0;  // Unix seconds, UTC
    std::optional<int64_t> ended;
    std::string outcome;     // one of run_outcome
    std::string detail;      // why it failed or was skipped
    std::string parameters;  // the parameters it ran with
    int64_t pid = 0;
    std::string host;
    int64_t mailboxes = 0;             // mailboxes processed
    int64_t deleted = 0;               // messages deleted
    int64_t moved = 0;                 // messages moved
    int64_t bytes = 0;                 // their total size: what left the swept folders
    int64_t errors = 0;                // folders that failed
    int64_t putBack = 0;               // messages undo put back since
    std::optional<int64_t> putBackAt;  // the last undo that put one back
    bool selectionRecorded = false;    // it recorded the mailboxes it selected
};

struct FolderRecord {
    std::string mailbox;  // the mailbox's address
    std::string url;      // the folder URL as the run built it
    int64_t count = 0;    // messages deleted or moved
    int64_t bytes = 0;
    bool moved = false;
    std::string error;   // empty when the folder was swept
    std::string name{};  // the mailbox's name (it may have no address)
};

// A mailbox a run selected, before it swept any.
struct SelectedMailbox {
    std::string mailbox;  // its address, empty when it has none
    std::string name;
};

class RunHistory {
public:
    // Opens (creating it and its folder when missing) the history at path.
    // keepDays: age of the runs pruned by BeginRun; 0 keeps every run.
    static RunHistory Open(const std::string& path, int busyTimeoutMs = 10000, int keepDays = 90);
    // The history named by the platform configuration in force ("history",
    // "history.busy_timeout_ms", "history.keep_days").
    static RunHistory OpenCurrent();

    RunHistory(RunHistory&&) noexcept;
    RunHistory& operator=(RunHistory&&) noexcept;
    ~RunHistory();

    // Prunes the runs older than the kept age and records the start of a
    // run of itemUrl by this process (outcome "running"), in one
    // transaction, under id (the identity the store gave the run), or under
    // the history's own next number when id is 0. Returns the run's id;
    // raises err::kResourceExists when the history has a run of that id.
    int64_t BeginRun(const std::string& itemUrl, int64_t started, const std::string& parameters,
                     int64_t id = 0);
    // The highest id a run of this history ever had (pruned runs too); 0
    // when none.
    [[nodiscard]] int64_t HighestRunId() const;
    // Records mailboxes a run selected, before it sweeps them: a page of
    // them in one transaction. The selection reads as recorded once its
    // last page is; a run that stopped before has none.
    void RecordSelection(int64_t run, const std::vector<SelectedMailbox>& mailboxes,
                         bool last = true);
    // What a run selected, in order; nothing when it recorded no selection
    // (it stopped before, or ran before selections were recorded).
    [[nodiscard]] std::optional<std::vector<SelectedMailbox>> Selection(int64_t run) const;
    // Adds messages to what undo put back of run, at the instant at.
    // Returns false when the history has no such run.
    bool RecordPutBack(int64_t run, int64_t messages, int64_t at);
    // Records the folders of a run, in one transaction.
    void RecordFolders(int64_t run, const std::vector<FolderRecord>& folders);
    // Records the end of a run; the totals are summed from its folders.
    // Raises kNotFound when there is no such run (it was pruned).
    void EndRun(int64_t run, int64_t ended, const std::string& outcome, const std::string& detail,
                int64_t mailboxes);

    // The newest runs first, at most limit (0 = all); with a mailbox, only
    // the runs with a folder of that address (compared without regard to
    // case).
    [[nodiscard]] std::vector<RunRecord> Runs(size_t limit = 0,
                                              const std::string& mailbox = "") const;
    [[nodiscard]] std::optional<RunRecord> Run(int64_t id) const;
    // The folders of a run in the order recorded; with a mailbox, only its.
    [[nodiscard]] std::vector<FolderRecord> Folders(int64_t run,
                                                    const std::string& mailbox = "") const;
    // Per registration item, its newest ended run other than "not a run
    // day", in item order.
    [[nodiscard]] std::vector<RunRecord> LastRuns() const;
    // Removes the runs that started before the instant, with their folders.
    // Returns how many runs were removed.
    int Prune(int64_t before);

    [[nodiscard]] const std::string& Path() const;
    [[nodiscard]] int KeepDays() const { return keepDays_; }

private:
    RunHistory(std::unique_ptr<SqliteDb> db, int busyTimeoutMs, int keepDays);
    std::unique_ptr<SqliteDb> db_;
    int busyTimeoutMs_ = 10000;
    int keepDays_ = 90;
};

}  // namespace localplatform
