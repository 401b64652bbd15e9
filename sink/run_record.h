// A run's record in the platform's run history: begun once the run knows its
// parameters, one folder added as each mailbox is swept, ended by OnTimer
// with the run's outcome. Writing it never stops the run: the first failure
// is kept, the recording stops, and OnTimer reports it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "platform/run_history.h"

namespace quellix {

class RunRecord {
public:
    // Begins the record of a run of itemUrl (once; later calls do nothing).
    void Begin(const std::string& itemUrl, const std::string& parameters);
    // Adds a folder as the run treated it.
    void Folder(const platform::RunFolderRecord& folder);
    // Ends the record: "completed", "failed" (detail: why), "not a run day"
    // or "skipped"; begins it first when nothing did.
    void End(const std::string& itemUrl, const std::string& outcome, const std::string& detail);

    // The run's id in the history; 0 while none was begun (its moves then
    // keep no manifest).
    [[nodiscard]] int64_t Id() const { return recorder_ ? recorder_->Id() : 0; }
    // Forgets the store's manifest entries of moves older than it keeps them
    // (a move run's upkeep, when it begins to move).
    void PruneManifest();
    // The first failure to write the history, if any.
    [[nodiscard]] const std::optional<platform::Error>& Failure() const { return failure_; }

    bool due = false;       // a run day: the run looked for its mailboxes
    int64_t mailboxes = 0;  // mailboxes processed

private:
    template <class Step>
    void Write(Step&& step);

    std::optional<platform::RunRecorder> recorder_;
    std::optional<platform::Error> failure_;
    bool begun_ = false;
};

}  // namespace quellix
