#include "sink/quellix_module.h"

#include "base/date.h"
#include "platform/ado.h"
#include "platform/system.h"
#include "selection/destination.h"
#include "selection/run_parameters.h"
#include "selection/run_text.h"
#include "selection/server_names.h"
#include "sink/mailboxes.h"
#include "sink/run_log.h"
#include "sink/run_record.h"

namespace quellix {

bool IsMailboxItemUrl(const std::string& itemUrl) {
    const size_t p = FindNoCase(itemUrl, "/MBX/");
    if (p == std::string::npos) return false;
    if (FindNoCase(itemUrl, "/", p + 5) == std::string::npos) return false;
    return itemUrl.rfind('/') != std::string::npos;
}

std::optional<platform::Error> RunCleanup(ThreadState& thread, RunLog& log, RunRecord& record,
                                          const std::string& itemUrl, int32_t /*flags*/) {
    using namespace platform;
    RunState state{log, thread, record, {}};
    // The report goes to this run's recipient or to nobody: a recipient left
    // by an earlier run on this thread may be another registration's.
    thread.ReportRecipient.clear();
    // The first failure that stops the run; the run goes on past it where it
    // can, as it always has, so that its log says what it did.
    std::optional<Error> failure;
    const auto fail = [&](int32_t number, const std::string& description) {
        if (!failure) failure.emplace(number, description, "RunCleanup");
    };
    ServerNames& server = thread.server;
    StartStoreBusyBudget();  // this run's waits for a busy store are bounded afresh
    // Skip-and-continue: each step runs under err; a failing step leaves what
    // it would have set at the value it had, and the next step runs.
    ErrorState err;
    if (const std::optional<Error> unreadable = FindServerNames(server)) {
        // The store cannot be read.
        fail(unreadable->Number(), unreadable->Description());
        err.Run([&] {
            WriteLog(log, ErrorEntry(unreadable->Number(), unreadable->Description()) + " " +
                              kStoreShare);
        });
    }

    if (!IsMailboxItemUrl(itemUrl)) {
        record.NotARegistration();
        fail(err::kInvalidArg,
             Describe("OnTimer", itemUrl, "not the URL of an item in a mailbox", 0));
        return failure;
    }

    Connection cnn;
    Record rec;
    err.Clear();
    err.Run([&] {
        cnn.SetProvider("exoledb.datasource");
        cnn.SetConnectionString(itemUrl);
        cnn.Open(itemUrl, "", "", -1);
    });
    err.Run([&] {
        rec.Open(itemUrl, nullptr, adModeUnknown, adFailIfNotExists, adOpenRecordUnspecified, "",
                 "");
    });

    if (err.Number() != 0) {
        // No registration item, no parameters: no run. An item that does
        // not exist is no registration: the firing is not a run of one.
        if (err.Number() == err::kNotFound) record.NotARegistration();
        fail(err.Number(), err.Description());
        WriteLog(log, ErrorEntry(err.Number(), err.Description()) + " " + VisibleText(itemUrl));
    }

    RunParameters params;
    if (err.Number() == 0) {
        params = ReadRunParameters(rec, err);
        if (params.reportRecipient) thread.ReportRecipient = *params.reportRecipient;
        state.move.MoveTarget = params.mailboxToMove;
        if (params.mailboxToMoveUnreadable) {
            // The administrator meant to move, to a destination that cannot
            // be read: deleting instead is not the same risk. No run.
            const Error& e = *params.mailboxToMoveUnreadable;
            const std::string why = UnreadableDestinationText(e);
            fail(e.Number(), why);
            WriteLog(log, ErrorEntry(e.Number(), why) + " " + VisibleText(itemUrl));
            params.searchRoot.clear();
        } else if (!state.move.MoveTarget.empty()) {
            const bool searched = err.Run([&] {
                state.move = ResolveDestination(
                    [&](const std::string& line) { WriteLog(log, line); }, params.searchRoot,
                    state.move.MoveTarget, server.StoreHttpBase, server.StoreFileBase,
                    server.ServerFqdn);
            });
            if (!searched) {
                // The directory failed: there is no destination, so no run.
                fail(err.Number(), err.Description());
                WriteLog(log, ErrorEntry(err.Number(), err.Description()) + " " +
                                  VisibleText(params.searchRoot));
            } else if (!state.move.Found()) {
                fail(err::kNotFound,
                     "Destination folder 'Inbox' is not found in " + state.move.MoveTarget);
            }
            if (!state.move.Found()) params.searchRoot.clear();
        }
    }
    {
        ErrorState ignored;
        if (rec.State() == adStateOpen) ignored.Run([&] { rec.Close(); });
        if (cnn.State() == adStateOpen) ignored.Run([&] { cnn.Close(); });
    }
    record.Begin(itemUrl, ParametersText(params),
                 !params.mailboxToMove.empty() || params.mailboxToMoveUnreadable);
    if (record.Failure() && record.StoreId() != 0) {
        // The run goes on; its log says under which identity its moves are
        // kept, which the history cannot tell.
        WriteLog(log, ErrorEntry(record.Failure()->Number(),
                                 "the run history cannot be written (" +
                                     record.Failure()->Description() + "); this is run " +
                                     std::to_string(record.StoreId()) + " of the store") +
                          " " + VisibleText(itemUrl));
    }
    if (state.move.Found() && record.StoreId() == 0) {
        // Every move is recorded under the identity the store gives the run,
        // so that it can be put back: without one nothing is moved.
        const Error why = record.StoreFailure().value_or(
            Error(err::kFail, "the store gave the run no identity", "RunCleanup"));
        const std::string text =
            "the run has no identity from the store to record its moves under, so nothing is "
            "moved: " +
            why.Description();
        fail(why.Number(), text);
        WriteLog(log, ErrorEntry(why.Number(), text) + " " + VisibleText(itemUrl));
        params.searchRoot.clear();
    } else if (state.move.Found()) {
        record.PruneManifest();
    }

    int32_t count = 0;
    if (params.Runnable()) {
        const Date now = Date::NowLocal();
        if (IsRunDay(params.run, now)) {
            record.due = true;
            const Date cutoff = RunCutoff(now, params.ageLimit, err);
            err.Run([&] {
                MailboxesTreated treated =
                    ProcessMailboxes(state, params.searchRoot, params.folderName, cutoff,
                                     params.allMailboxes, params.traversal);
                count = treated.count;
                if (treated.failure) {
                    fail(treated.failure->Number(),
                         treated.failure->Description() + " " + params.searchRoot);
                }
            });
        }
    }
    record.mailboxes = count;
    WriteLog(log, std::string(kCrLf) + "Mailboxes processed: " + std::to_string(count));
    return failure;
}

}  // namespace quellix
