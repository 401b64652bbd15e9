#include "sink/sweep.h"

#include "platform/ado.h"
#include "platform/move_manifest.h"
#include "selection/folder_selection.h"
#include "selection/run_text.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_record.h"

namespace quellix {

namespace {

#ifdef QUELLIX_MOVE_FAULTS
std::function<void(const std::string&)>& MoveFaultHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}
#endif

// Moves the current row's message (at href) into the destination Inbox of
// the run (the one of its URL's scheme), keeping its bytes and received
// time, its manifest entry recorded first: it is then in the Inbox and gone
// from the folder, or still in the folder only; a move cut short (a copy
// between two stores, an outcome not heard) leaves its entry under way,
// and the registration's next run or undo keeps exactly one copy.
// False when the message was no longer in its folder to move.
bool MoveMessage(platform::Recordset& rs, const std::string& href, const MoveDestination& move,
                 int64_t run) {
    const std::string& dest =
        StartsWithNoCase(href, "http:") ? move.DestHttpFolderUrl : move.DestFileFolderUrl;
    // No move without its manifest entry: the run stops before it moves
    // anything without an identity from the store.
    if (run == 0) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe("move", href, "the run has no identity to record the move under",
                               platform::err::kFail),
            "SweepFolder");
    }
#ifdef QUELLIX_MOVE_FAULTS
    if (MoveFaultHook()) MoveFaultHook()(href);
#endif
    return platform::MoveCurrentForRun(rs, dest, run);
}

}  // namespace

#ifdef QUELLIX_MOVE_FAULTS
void SetMoveFaultHook(std::function<void(const std::string&)> hook) {
    MoveFaultHook() = std::move(hook);
}
#endif

bool IsSweepFailure(const FolderSwept& swept) {
    const bool noFolder = swept.errorNumber == platform::err::kNotFound ||
                          swept.errorNumber == platform::err::kTableNotFound;
    return swept.selected == -1 && (swept.reached || !noFolder);
}

FolderSwept SweepFolder(const RunState& run, const std::string& folderUrl, platform::Date cutoff,
                        bool logErrors, const std::string& traversal) {
    using namespace platform;
    FolderSwept swept;
    int32_t& result = swept.selected;
    const int64_t runId = run.record.StoreId();
    int32_t skipped = 0;
    int32_t missing = 0;  // selected, then no longer found to delete or move
    ErrorState err;
    (void)TakeDeletesFoundGone();  // another folder's, told there
    err.Run([&] {
        result = ForEachExpiredMessage(folderUrl, cutoff, traversal, [&](Recordset& rs) {
            swept.reached = true;
            // Of the row's values the sweep needs its URL and size; the
            // names and dates the query also selects are not read.
            SelectedMessage message;
            try {
                message = ReadSelectedMessage(rs);
            } catch (const Error& e) {
                // One message the store cannot read is passed over and said;
                // the rest of the folder is swept.
                if (e.Number() != err::kCantConvert) throw;
                ++skipped;
                WriteLog(run.log, ErrorEntry(e.Number(), "message skipped: " + e.Description()) +
                                      " " + VisibleText(folderUrl));
                return;
            }
            if (run.move.MoveTarget.empty()) {
#ifdef QUELLIX_MOVE_FAULTS
                if (MoveFaultHook()) MoveFaultHook()(message.href);
#endif
                if (!DeleteCurrent(rs)) {
                    ++missing;
                    return;
                }
            } else {
                try {
                    if (!MoveMessage(rs, message.href, run.move, runId)) {
                        ++missing;
                        return;
                    }
                } catch (const Error& e) {
                    // Too large for a copy between stores: it stays, said,
                    // and the rest of the folder moves.
                    if (e.Number() != err::kFileTooLarge) throw;
                    ++skipped;
                    WriteLog(run.log,
                             ErrorEntry(e.Number(), "message skipped: " + e.Description()) + " " +
                                 VisibleText(folderUrl));
                    return;
                }
            }
            ++swept.removed;
            swept.bytes += message.size;
        });
    });
    // Messages another program took or renamed past finding since the
    // query (a mail server that deletes in batches tells of them when the
    // folder's deletes are made): not deleted by this run, and said, so
    // that none is left without a word.
    missing += static_cast<int32_t>(TakeDeletesFoundGone());
    if (missing > 0) {
        WriteLog(run.log, std::to_string(missing) +
                              (run.move.MoveTarget.empty()
                                   ? " selected messages were no longer found to delete in "
                                   : " selected messages were no longer found to move from ") +
                              VisibleText(folderUrl));
    }
    if (err.Number() != 0) {
        result = -1;
        swept.error = std::to_string(err.Number()) + " " + err.Description();
        swept.errorNumber = err.Number();
        swept.errorDescription = err.Description();
        if (logErrors) {
            WriteLog(run.log,
                     ErrorEntry(err.Number(), err.Description()) + " " + VisibleText(folderUrl));
        }
    } else if (!run.move.MoveTarget.empty()) {
        // The count is of what was selected, less what was passed over.
        WriteClaim(run.log,
                   std::to_string(result - skipped - missing) + " messages has been moved from " +
                       VisibleText(folderUrl) + " to " + VisibleText(run.move.MoveTarget),
                   VisibleText(folderUrl));
    } else {
        WriteClaim(run.log,
                   std::to_string(result - skipped - missing) + " messages has been deleted in " +
                       VisibleText(folderUrl),
                   VisibleText(folderUrl));
    }
    return swept;
}

}  // namespace quellix
