#include "setup/core/undo_move.h"

#include <sstream>

#include "base/error.h"
#include "base/strfuncs.h"
#include "platform/move_manifest.h"
#include "platform/run_history.h"
#include "platform/run_lock.h"
#include "registration/registration.h"

namespace setup {

std::string UndoResultText(const UndoLine& line) {
    switch (line.result) {
        case UndoLine::Result::PutBack:
            return "put back";
        case UndoLine::Result::AlreadyPutBack:
            return "already put back";
        case UndoLine::Result::Gone:
            return "no longer in the destination Inbox: moved or deleted since";
        case UndoLine::Result::MovedLater:
            return "moved again by a later run (" + std::to_string(line.laterRun) + ") since";
        case UndoLine::Result::SourceFolderGone:
            return "source folder gone";
        case UndoLine::Result::Failed:
            return "failed: " + line.failure;
    }
    return {};
}

namespace {

// Entries read from the manifest at a time.
constexpr int64_t kPart = 1000;

UndoLine PutBack(const platform::MovedMessage& m) {
    using Outcome = platform::PutBackResult::Outcome;
    UndoLine line;
    line.sourceUrl = m.sourceUrl;
    line.destinationUrl = m.destinationUrl;
    line.size = m.size;
    line.received = m.received;
    line.laterRun = m.laterRun;
    try {
        const auto r = platform::PutBackMovedMessage(m);
        switch (r.outcome) {
            case Outcome::kPutBack:
                line.result = UndoLine::Result::PutBack;
                if (r.url != line.sourceUrl) line.putBackUrl = r.url;
                break;
            case Outcome::kAlreadyPutBack:
                line.result = UndoLine::Result::AlreadyPutBack;
                break;
            case Outcome::kGone:
                line.result = UndoLine::Result::Gone;
                break;
            case Outcome::kMovedLater:
                line.result = UndoLine::Result::MovedLater;
                break;
            case Outcome::kSourceFolderGone:
                line.result = UndoLine::Result::SourceFolderGone;
                break;
        }
    } catch (const platform::Error& e) {
        line.result = UndoLine::Result::Failed;
        line.failure = std::to_string(e.Number()) + " " + e.Description();
    } catch (const std::exception& e) {
        line.result = UndoLine::Result::Failed;
        line.failure = e.what();
    }
    return line;
}

platform::RunLock TakeRunLockForUndo(const platform::StoreRunInfo& run) {
    const auto wait = platform::RunLock::ConfiguredWait();
    std::string heldBy;
    auto lock = platform::RunLock::Acquire(run.itemUrl, wait, &heldBy);
    if (lock) return std::move(*lock);
    throw platform::Error(
        platform::err::kResourceLocked,
        platform::Describe("undo run", std::to_string(run.id),
                           "a run of its registration " + platform::VisibleText(run.itemUrl) +
                               " holds the run lock past " + std::to_string(wait.count()) +
                               " ms (store.run_lock_wait_ms): " + heldBy,
                           platform::err::kResourceLocked));
}

}  // namespace

RunKind KindOfRun(int64_t run) {
    if (const auto known = platform::StoreRunOf(run))
        return known->moves ? RunKind::Move : RunKind::Delete;
    // A run from before the store handed identities out: its parameters say.
    const auto recorded = platform::RunHistoryReader::OpenCurrent().Run(run);
    if (!recorded) return RunKind::Unknown;
    const std::string key = std::string(registration::kMailboxToMove) + "=";
    std::istringstream lines(recorded->parameters);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(key))
            return line.size() > key.size() ? RunKind::Move : RunKind::Delete;
    }
    return RunKind::Unknown;
}

UndoReport UndoMoveRun(int64_t run, const std::optional<std::string>& mailboxAlias,
                       const std::function<void(const UndoLine&)>& done) {
    UndoReport report;
    report.run = run;
    // Undo takes the registration's run lock as a run does: a run of the
    // registration settles the moves an earlier one left under way, and the
    // two doing so at once could each keep a different copy of a message.
    std::optional<platform::RunLock> lock;
    if (const auto known = platform::StoreRunOf(run); known && known->moves)
        lock = TakeRunLockForUndo(*known);
    for (int64_t after = 0;;) {
        const auto part = platform::MovedMessagesOfRun(run, after, kPart);
        if (part.empty()) break;
        report.runKnown = true;
        after = part.back().entry;
        for (const auto& m : part) {
            if (mailboxAlias && !platform::EqualsNoCase(m.mailboxAlias, *mailboxAlias)) continue;
            const UndoLine line = PutBack(m);
            ++report.messages;
            ++report.counts[static_cast<size_t>(line.result)];
            if (done) done(line);
        }
    }
    if (!report.runKnown) {
        report.kind = KindOfRun(run);
        return report;
    }
    report.kind = RunKind::Move;
    const size_t putBack = report.Count(UndoLine::Result::PutBack);
    if (putBack > 0) {
        try {
            report.recorded = platform::RecordPutBack(run, static_cast<int64_t>(putBack));
        } catch (const platform::Error& e) {
            report.recordFailure = std::to_string(e.Number()) + " " + e.Description();
        }
    }
    return report;
}

}  // namespace setup
