#include "sink/quellix_module.h"

#include "base/date.h"
#include "platform/ado.h"
#include "platform/move_manifest.h"
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

namespace {

using platform::Error;
using platform::ErrorState;

// The first failure that stops a run or part of it; the run goes on past it
// where it can, as it always has, so that its log says what it did.
class FirstFailure {
public:
    void Fail(int32_t number, const std::string& description) {
        if (!first_) first_.emplace(number, description, "RunCleanup");
    }
    [[nodiscard]] const std::optional<Error>& First() const { return first_; }

private:
    std::optional<Error> first_;
};

// This server's names and the store's base URLs; a store that cannot be
// read is logged (the run goes on, and finds nothing).
void LearnServerNames(RunState& state, FirstFailure& failure) {
    if (const std::optional<Error> unreadable = FindServerNames(state.thread.server)) {
        failure.Fail(unreadable->Number(), unreadable->Description());
        ErrorState ignored;
        ignored.Run([&] {
            WriteLog(state.log, ErrorEntry(unreadable->Number(), unreadable->Description()) + " " +
                                    kStoreShare);
        });
    }
}

// Opens the registration item; false, logged, when it cannot be. An item
// that does not exist is no registration: the firing is not a run of one.
bool OpenRegistrationItem(RunState& state, const std::string& itemUrl, platform::Connection& cnn,
                          platform::Record& rec, FirstFailure& failure) {
    using namespace platform;
    ErrorState err;
    err.Run([&] {
        cnn.SetProvider("exoledb.datasource");
        cnn.SetConnectionString(itemUrl);
        cnn.Open(itemUrl, "", "", -1);
    });
    err.Run([&] {
        rec.Open(itemUrl, nullptr, adModeUnknown, adFailIfNotExists, adOpenRecordUnspecified, "",
                 "");
    });
    if (err.Number() == 0) return true;
    if (err.Number() == err::kNotFound) state.record.NotARegistration();
    failure.Fail(err.Number(), err.Description());
    WriteLog(state.log, ErrorEntry(err.Number(), err.Description()) + " " + VisibleText(itemUrl));
    return false;
}

// Where a moving run moves to: its destination Inbox, resolved through the
// directory. A destination that cannot be read, or found, means no run
// (the search root is cleared): deleting instead is not the same risk.
void ResolveMoveTarget(RunState& state, const std::string& itemUrl, RunParameters& params,
                       FirstFailure& failure) {
    const ServerNames& server = state.thread.server;
    state.move.MoveTarget = params.mailboxToMove;
    if (params.mailboxToMoveUnreadable) {
        const Error& e = *params.mailboxToMoveUnreadable;
        const std::string why = UnreadableDestinationText(e);
        failure.Fail(e.Number(), why);
        WriteLog(state.log, ErrorEntry(e.Number(), why) + " " + VisibleText(itemUrl));
        params.searchRoot.clear();
        return;
    }
    if (state.move.MoveTarget.empty()) return;
    ErrorState err;
    const bool searched = err.Run([&] {
        state.move = ResolveDestination(
            [&](const std::string& line) { WriteLog(state.log, line); }, params.searchRoot,
            state.move.MoveTarget, server.StoreHttpBase, server.StoreFileBase, server.ServerFqdn);
    });
    if (!searched) {
        // The directory failed: there is no destination, so no run.
        failure.Fail(err.Number(), err.Description());
        WriteLog(state.log, ErrorEntry(err.Number(), err.Description()) + " " +
                                VisibleText(params.searchRoot));
    } else if (!state.move.Found()) {
        failure.Fail(platform::err::kNotFound,
                     "Destination folder 'Inbox' is not found in " + state.move.MoveTarget);
    }
    if (!state.move.Found()) params.searchRoot.clear();
}

// Begins the run's record with its parameters. Every move is recorded under
// the identity the store gives the run, so that it can be put back: a
// moving run without one moves nothing (the search root is cleared).
void BeginRecord(RunState& state, const std::string& itemUrl, RunParameters& params,
                 FirstFailure& failure) {
    RunRecord& record = state.record;
    record.Begin(itemUrl, ParametersText(params),
                 !params.mailboxToMove.empty() || params.mailboxToMoveUnreadable);
    if (record.Failure() && record.StoreId() != 0) {
        // The run goes on; its log says under which identity its moves are
        // kept, which the history cannot tell.
        WriteLog(state.log, ErrorEntry(record.Failure()->Number(),
                                       "the run history cannot be written (" +
                                           record.Failure()->Description() + "); this is run " +
                                           std::to_string(record.StoreId()) + " of the store") +
                                " " + VisibleText(itemUrl));
    }
    if (state.move.Found() && record.StoreId() == 0) {
        const Error why = record.StoreFailure().value_or(
            Error(platform::err::kFail, "the store gave the run no identity", "RunCleanup"));
        const std::string text =
            "the run has no identity from the store to record its moves under, so nothing is "
            "moved: " +
            why.Description();
        failure.Fail(why.Number(), text);
        WriteLog(state.log, ErrorEntry(why.Number(), text) + " " + VisibleText(itemUrl));
        params.searchRoot.clear();
    } else {
        if (state.move.Found()) record.PruneManifest();
        // A move between two stores that an earlier run of this registration
        // left under way (killed, crashed) keeps one copy before this run
        // selects its messages, so none is copied twice. A delete run settles
        // them too: it would otherwise delete a source whose copy no entry
        // then leads undo to, and after a switch to deleting nothing else
        // would. A failure is said; those entries stay under way for the
        // next run or undo.
        ErrorState settle;
        if (!settle.Run([&] { (void)platform::SettleInterruptedMoves(itemUrl); })) {
            WriteLog(state.log, ErrorEntry(settle.Number(),
                                           "moves an earlier run left under way "
                                           "are not settled: " +
                                               settle.Description()) +
                                    " " + VisibleText(itemUrl));
        }
    }
}

// On a run day, sweeps the mailboxes up to the cutoff; how many it treated.
int32_t SweepWhenDue(RunState& state, const RunParameters& params, FirstFailure& failure) {
    if (!params.Runnable()) return 0;
    const platform::Date now = platform::Date::NowLocal();
    if (!IsRunDay(params.run, now)) return 0;
    state.record.due = true;
    ErrorState err;
    const platform::Date cutoff = RunCutoff(now, params.ageLimit, err);
    int32_t count = 0;
    err.Run([&] {
        MailboxesTreated treated = ProcessMailboxes(state, params.searchRoot, params.folderName,
                                                    cutoff, params.allMailboxes, params.traversal);
        count = treated.count;
        if (treated.failure) {
            failure.Fail(treated.failure->Number(),
                         treated.failure->Description() + " " + params.searchRoot);
        }
    });
    return count;
}

}  // namespace

std::optional<platform::Error> RunCleanup(ThreadState& thread, RunLog& log, RunRecord& record,
                                          const std::string& itemUrl, int32_t /*flags*/) {
    RunState state{log, thread, record, {}};
    // The report goes to this run's recipient or to nobody: a recipient left
    // by an earlier run on this thread may be another registration's.
    thread.ReportRecipient.clear();
    FirstFailure failure;
    platform::StartStoreRun();  // its waits for a busy store bounded afresh, servers asked afresh
    LearnServerNames(state, failure);
    if (!IsMailboxItemUrl(itemUrl)) {
        record.NotARegistration();
        failure.Fail(
            platform::err::kInvalidArg,
            platform::Describe("OnTimer", itemUrl, "not the URL of an item in a mailbox", 0));
        return failure.First();
    }

    // Skip-and-continue: a parameter that cannot be read keeps its default
    // and the next one is read.
    RunParameters params;
    {
        platform::Connection cnn;
        platform::Record rec;
        if (OpenRegistrationItem(state, itemUrl, cnn, rec, failure)) {
            ErrorState unread;
            params = ReadRunParameters(rec, unread);
            if (params.reportRecipient) thread.ReportRecipient = *params.reportRecipient;
            ResolveMoveTarget(state, itemUrl, params, failure);
        }
        ErrorState ignored;
        if (rec.State() == platform::adStateOpen) ignored.Run([&] { rec.Close(); });
        if (cnn.State() == platform::adStateOpen) ignored.Run([&] { cnn.Close(); });
    }
    BeginRecord(state, itemUrl, params, failure);
    const int32_t count = SweepWhenDue(state, params, failure);
    record.mailboxes = count;
    WriteLog(log, std::string(kCrLf) + "Mailboxes processed: " + std::to_string(count));
    return failure.First();
}

}  // namespace quellix
