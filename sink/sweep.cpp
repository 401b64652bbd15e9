#include "sink/sweep.h"

#include "platform/ado.h"
#include "selection/folder_selection.h"
#include "selection/run_text.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"

namespace quellix {

namespace {

std::function<void(const std::string&)>& MoveFaultHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

// Moves the current row's message into the destination Inbox of the run
// (the one of its URL's scheme). The store moves it in one step, keeping
// its bytes and received time: it is then in the Inbox and gone from the
// folder, or still in the folder only.
void MoveMessage(const std::string& href, const MoveDestination& move) {
    using namespace platform;
    const std::string& dest =
        StartsWithNoCase(href, "http:") ? move.DestHttpFolderUrl : move.DestFileFolderUrl;
    if (MoveFaultHook()) MoveFaultHook()(href);
    Record msgRec;
    (void)msgRec.MoveRecord(href, dest);
}

}  // namespace

void SetMoveFaultHook(std::function<void(const std::string&)> hook) {
    MoveFaultHook() = std::move(hook);
}

int32_t SweepFolder(const RunState& run, const std::string& folderUrl, platform::Date cutoff,
                    bool logErrors, const std::string& traversal) {
    using namespace platform;
    int32_t result = -1;
    ErrorState err;
    err.Run([&] {
        result = ForEachExpiredMessage(folderUrl, cutoff, traversal, [&](Recordset& rs) {
            const std::string href = rs.Fields("DAV:href").Value().ToStringOrEmpty();
            (void)rs.Fields("DAV:displayname").Value();
            (void)rs.Fields("DAV:creationdate").Value();
            (void)rs.Fields("DAV:getlastmodified").Value();
            if (run.move.MoveTarget.empty()) {
                rs.Delete(adAffectCurrent);
            } else {
                MoveMessage(href, run.move);
            }
        });
    });
    if (err.Number() != 0) {
        result = -1;
        if (logErrors) {
            WriteLog(run.log,
                     ErrorEntry(err.Number(), err.Description()) + " " + VisibleText(folderUrl));
        }
    } else if (!run.move.MoveTarget.empty()) {
        WriteLog(run.log, std::to_string(result) + " messages has been moved from " +
                              VisibleText(folderUrl) + " to " + VisibleText(run.move.MoveTarget));
    } else {
        WriteLog(run.log, std::to_string(result) + " messages has been deleted in " +
                              VisibleText(folderUrl));
    }
    return result;
}

}  // namespace quellix
