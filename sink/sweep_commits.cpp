#include "sink/sweep_commits.h"

#include "sink/run_log.h"
#include "sink/run_record.h"

namespace quellix {

SweepCommits::SweepCommits(const RunState& run) : run_(run) {
    HoldLog(run_.log);
    run_.record.HoldFolders();
}

SweepCommits::~SweepCommits() {
    if (finished_) return;
    try {
        Finish();
    } catch (const platform::Error&) {
        // The log failed, which the run reports already; the history got
        // its folders before the log was tried.
    }
}

void SweepCommits::AfterMailbox() {
    // A batch open over many mailboxes (most of them with nothing to
    // remove) is committed early: what is held waits for it, and must not
    // grow with the mailboxes one batch spans.
    constexpr size_t kMostMailboxesHeld = 256;
    try {
        if (++mailboxesHeld_ >= kMostMailboxesHeld) {
            platform::StoreWriteGroup::Commit();
        } else {
            platform::StoreWriteGroup::Tick();
        }
    } catch (const platform::Error&) {
        // TakeLost tells it below, for everything held.
    }
    const std::optional<platform::Error> lost = platform::StoreWriteGroup::TakeLost();
    if (lost || platform::StoreWriteGroup::Idle()) WriteHeld(lost, true);
}

void SweepCommits::Finish() {
    finished_ = true;
    try {
        platform::StoreWriteGroup::Commit();
    } catch (const platform::Error&) {
        // TakeLost tells it, for everything held.
    }
    WriteHeld(platform::StoreWriteGroup::TakeLost(), false);
}

void SweepCommits::WriteHeld(const std::optional<platform::Error>& lost, bool holdAgain) {
    // The history first: a log that fails stops the run, and the history
    // then still has every folder.
    run_.record.WriteHeldFolders(lost);
    WriteHeldLog(run_.log, lost);
    mailboxesHeld_ = 0;
    if (holdAgain) {
        HoldLog(run_.log);
        run_.record.HoldFolders();
    }
}

}  // namespace quellix
