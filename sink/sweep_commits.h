// What a run tells of its sweeps follows the store's commits. The store
// commits a run's deletes and moves together over many folders (one commit
// per folder wrote the pages the folders share again and again); the log's
// entries and the history's folders of the sweeps are held meanwhile, and
// written once the writes they tell of are committed. A crash thus loses
// writes and what would have told of them together, never only the writes.
#pragma once

#include <cstddef>
#include <optional>

#include "base/error.h"
#include "platform/ado.h"
#include "sink/quellix_module.h"

namespace quellix {

class SweepCommits {
public:
    // Holds run's log and record from now on.
    explicit SweepCommits(const RunState& run);
    // Finish, when it was not called (a failure left early): the writes
    // are committed and what is held is written where it still can be.
    ~SweepCommits();
    SweepCommits(const SweepCommits&) = delete;
    SweepCommits& operator=(const SweepCommits&) = delete;

    // After a mailbox: commits the store's writes when they are due; once
    // none waits for its commit, writes what is held and holds again. A
    // commit that failed turns what is held into error entries (the
    // store's path and cause) and folders with nothing removed. Raises the
    // log's failure.
    void AfterMailbox();
    // Commits every write and writes what is held; nothing is held after.
    // Raises the log's failure.
    void Finish();

private:
    void WriteHeld(const std::optional<platform::Error>& lost, bool holdAgain);

    const RunState& run_;
    platform::StoreWriteGroup group_;
    size_t mailboxesHeld_ = 0;  // swept since what is held was last written
    bool finished_ = false;
};

}  // namespace quellix
