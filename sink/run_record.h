// A run's record: its identity, which the store that keeps the move
// manifest hands out, and its record in the platform's run history, begun
// once the run knows its parameters, the mailboxes it selected, one folder
// added as each mailbox is swept, ended by OnTimer with the run's outcome.
// Writing it never stops the run: the first failure of the history is kept,
// the recording stops, and OnTimer reports it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/run_history.h"

namespace quellix {

class RunRecord {
public:
    // Begins the record of a run of itemUrl (once; later calls do nothing):
    // the store gives the run its identity (above every id the history
    // knows), and the history records the run under it. When the store
    // gives none (StoreFailure says why), the history records the run under
    // a number of its own; when the history fails, Failure says why.
    void Begin(const std::string& itemUrl, const std::string& parameters, bool moves);
    // The firing names no registration item (no item of a mailbox, or none
    // at that URL): it is no run of a registration, and nothing is recorded.
    void NotARegistration() { begun_ = true; }
    // Records mailboxes the run selected, before it sweeps them, a page at
    // a time; the selection is whole once the last page is recorded.
    void Selected(const std::vector<platform::RunSelectedMailbox>& mailboxes, bool last = true);
    // Adds a folder as the run treated it (kept while folders are held).
    void Folder(const platform::RunFolderRecord& folder);
    // From now on, until WriteHeldFolders, folders are kept in order instead
    // of written: what a run tells of its store writes waits for their commit.
    void HoldFolders() { holding_ = true; }
    // Adds the kept folders and stops holding. With lost (the store's commit
    // failed), each is added with nothing removed and that failure as its
    // error, for what it removed may be back in place.
    void WriteHeldFolders(const std::optional<platform::Error>& lost);
    // A record of one mailbox of this run, for a worker that sweeps it:
    // the run's store identity, its folders held until the run takes them
    // (TakeHeldFolders); it writes nothing to the history itself.
    [[nodiscard]] RunRecord ForOneMailbox() const;
    // Adds part's held folders as WriteHeldFolders adds its own, and its
    // failed folders to this run's.
    void TakeHeldFolders(RunRecord& part, const std::optional<platform::Error>& lost);
    // Ends the record: "completed", "failed" (detail: why), "not a run day"
    // or "skipped"; begins it first when nothing did.
    void End(const std::string& itemUrl, const std::string& outcome, const std::string& detail);

    // The run's id: the store's, else the history's; 0 while there is none.
    [[nodiscard]] int64_t Id() const;
    // The identity the store gave the run; its moves are recorded in the
    // manifest under it. 0 when the store gave none: a move run then moves
    // nothing, for no move may lack its manifest entry.
    [[nodiscard]] int64_t StoreId() const { return storeId_; }
    // Why the store gave the run no identity, if it did not.
    [[nodiscard]] const std::optional<platform::Error>& StoreFailure() const {
        return storeFailure_;
    }
    // Forgets the store's manifest entries of moves older than it keeps them
    // (a move run's upkeep, when it begins to move).
    void PruneManifest();
    // The first failure to write the history, if any.
    [[nodiscard]] const std::optional<platform::Error>& Failure() const { return failure_; }
    // Why the metrics file was not written at the end, if it was not: the
    // history recorded the run as completed with failures, saying why.
    [[nodiscard]] const std::optional<platform::Error>& MetricsFailure() const {
        return metricsFailure_;
    }

    bool due = false;       // a run day: the run looked for its mailboxes
    int64_t mailboxes = 0;  // mailboxes processed
    // Folders the run failed to sweep (a server, a login, a setting or the
    // store failed; not a folder that does not exist): the run then
    // completed with failures.
    int64_t foldersFailed = 0;

private:
    template <class Step>
    void Write(Step&& step);

    bool holding_ = false;
    std::vector<platform::RunFolderRecord> held_;
    std::optional<platform::RunRecorder> recorder_;
    std::optional<platform::Error> failure_;
    std::optional<platform::Error> storeFailure_;
    std::optional<platform::Error> metricsFailure_;
    int64_t storeId_ = 0;
    bool begun_ = false;
};

}  // namespace quellix
