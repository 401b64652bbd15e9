// The run history of the cleanup runs, kept in the platform's state: what
// each run did, however it ended, for the setup program to show, and the
// metrics file written after each run. The sink records through
// RunRecorder; the setup program reads through RunHistoryReader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"

namespace localplatform {
class RunHistory;
}

namespace platform {

struct RunFolderRecord {
    std::string mailbox;  // the mailbox's address
    std::string url;      // the folder URL as the run built it
    int64_t count = 0;    // messages deleted or moved
    int64_t bytes = 0;    // their total size
    bool moved = false;
    std::string error;   // empty when the folder was swept
    std::string name{};  // the mailbox's name: it names one without an address
};

// A mailbox a run selected, recorded before it swept any.
struct RunSelectedMailbox {
    std::string mailbox;  // its address; empty when it has none
    std::string name;
};

// The history record of one cleanup run, kept in the platform's history.
// Folders are written in batches (every few hundred folders or every second,
// and at End), so a run that is killed loses at most its last batch and
// reads as "interrupted".
class RunRecorder {
public:
    // Opens the configured history to record one run. Raises platform::Error.
    static RunRecorder Open();
    // The highest id a run of the history ever had (0: none), so that a
    // run's identity from elsewhere can be chosen above it.
    [[nodiscard]] int64_t HighestId() const;
    // Prunes old records and records the start of a run of itemUrl by this
    // process (outcome "running") under id, the identity the store gave the
    // run, or the history's own next number when id is 0. Once. Raises
    // platform::Error (err::kResourceExists when the history has that id).
    void Start(const std::string& itemUrl, const std::string& parameters, int64_t id = 0);
    // Open, then Start under the history's own number.
    static RunRecorder Begin(const std::string& itemUrl, const std::string& parameters);
    RunRecorder(RunRecorder&&) noexcept;
    RunRecorder& operator=(RunRecorder&&) noexcept;
    // A run that was begun and not ended is ended "interrupted" here (errors
    // are swallowed: a destructor does not raise).
    ~RunRecorder();

    [[nodiscard]] int64_t Id() const;
    // Records mailboxes the run selected, before it sweeps them: a page at
    // a time, the selection read as recorded once the last page is (a run
    // stopped before it has none). Raises platform::Error.
    void Selected(const std::vector<RunSelectedMailbox>& mailboxes, bool last = true);
    // Records one folder as the run treats it. Raises platform::Error.
    void Folder(const RunFolderRecord& folder);
    // Records the end (outcome "completed", "failed", "not a run day",
    // "skipped"), the mailboxes processed, and the totals summed from the
    // folders; then writes the metrics file when one is configured
    // ("metrics.textfile"). Raises platform::Error when the history fails.
    // A metrics file that cannot be written is returned, and the history
    // says so too: a "completed" run is then "completed with failures",
    // its detail naming the file and why, so the history, the caller's
    // result and the status all tell the same run.
    std::optional<Error> End(const std::string& outcome, const std::string& detail,
                             int64_t mailboxes);

    struct State;  // defined in run_history.cpp

private:
    explicit RunRecorder(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

// One run as the history tells it.
struct RunSummary {
    int64_t id = 0;
    std::string itemUrl;  // the registration item that fired
    int64_t started = 0;  // Unix seconds, UTC
    std::optional<int64_t> ended;
    // "running", "completed", "failed", "not a run day", "skipped", or
    // "interrupted" for a run whose process is gone without an end.
    std::string outcome;
    std::string detail;
    std::string parameters;
    int64_t pid = 0;
    std::string host;
    int64_t mailboxes = 0;
    int64_t deleted = 0;
    int64_t moved = 0;
    int64_t bytes = 0;
    int64_t errors = 0;
    int64_t putBack = 0;               // messages undo put back since
    std::optional<int64_t> putBackAt;  // when undo last put one back
};

// Reads the history named by the platform configuration. A history that was
// never written reads as empty (and is not created). Raises platform::Error.
class RunHistoryReader {
public:
    static RunHistoryReader OpenCurrent();
    RunHistoryReader(RunHistoryReader&&) noexcept;
    RunHistoryReader& operator=(RunHistoryReader&&) noexcept;
    ~RunHistoryReader();

    // The newest runs first, at most last (0 = all); with a mailbox, only
    // the runs with a folder of that address (without regard to case).
    [[nodiscard]] std::vector<RunSummary> Runs(size_t last = 0,
                                               const std::string& mailbox = "") const;
    // The folders of a run in the order recorded; with a mailbox, only its.
    [[nodiscard]] std::vector<RunFolderRecord> Folders(int64_t run,
                                                       const std::string& mailbox = "") const;
    // One run; nothing when the history has none of that id.
    [[nodiscard]] std::optional<RunSummary> Run(int64_t id) const;
    // The mailboxes a run selected; nothing when it recorded none (it
    // stopped before it selected, or ran before selections were recorded).
    [[nodiscard]] std::optional<std::vector<RunSelectedMailbox>> Selection(int64_t run) const;
    [[nodiscard]] const std::string& Path() const { return path_; }

private:
    RunHistoryReader(std::unique_ptr<localplatform::RunHistory> history, std::string path);
    std::unique_ptr<localplatform::RunHistory> history_;  // null: no history yet
    std::string path_;
};

// Records in the configured history that undo put messages of run back.
// Returns false, recording nothing, when the history has no such run (or
// was never written). Raises platform::Error when it cannot be written.
bool RecordPutBack(int64_t run, int64_t messages);

}  // namespace platform
