#include "sink/mailboxes.h"

#include <malloc.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <vector>

#include "base/ordered_workers.h"
#include "platform/ado.h"
#include "selection/mailbox_selection.h"
#include "selection/run_text.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_record.h"
#include "sink/selected_mailboxes.h"
#include "sink/sweep.h"
#include "sink/sweep_commits.h"
#include "sink/windirs.h"

namespace quellix {

namespace {

// Sweeps the row's folder at the URL forms a run tries until one is not
// refused. A try by another name whose mailbox is another entry's is
// skipped, with a line naming both. A try that fails (rather than finding
// no folder) ends the tries, and its error is logged. When no try reaches
// the folder, the error logged is that of the last form by the row's own
// alias: a try by another name that finds nothing says nothing of this
// mailbox.
struct Sweep {
    const std::string& folderName;
    platform::Date cutoff;
    const std::string& searchRoot;
    const std::string& traversal;
};

std::string MailboxHeading(const MailboxRow& row, const std::string& folderName) {
    return std::string(kCrLf) + "Mailbox: " + VisibleText(row.name) + kCrLf +
           "Source folder: " + VisibleText(folderName);
}

void SweepMailbox(const RunState& run, const MailboxRow& row, const Sweep& sweep) {
    const std::string& searchRoot = sweep.searchRoot;
    const std::vector<FolderUrlTry> tries =
        FolderUrlTries(row, run.thread.server, sweep.folderName);
    platform::RunFolderRecord folder{row.address, {},      0, 0, !run.move.MoveTarget.empty(),
                                     {},          row.name};
    if (tries.empty()) {
        // Said in the log too: the mailbox is named there, and nothing else
        // would say why it was not swept.
        folder.error = kNoAddressReason;
        WriteLog(run.log, ErrorEntry(platform::err::kNotFound, kNoAddressReason) + " " +
                              VisibleText(row.name));
    }
    FolderSwept said;  // the failure that tells why the folder was not reached
    std::string saidUrl;
    bool reached = false;
    for (const FolderUrlTry& attempt : tries) {
        if (const auto owner =
                OtherOwnerOf(attempt, row, searchRoot, run.thread.server.ServerName)) {
            WriteLog(run.log, ErrorEntry(platform::err::kAccessDenied,
                                         AnotherOwnersMailboxText(attempt.url, *owner, row)));
            continue;
        }
        const FolderSwept swept =
            SweepFolder(run, attempt.url, sweep.cutoff, false, sweep.traversal);
        // What a failed try removed before it stopped stays removed: it counts.
        folder.count += swept.removed;
        folder.bytes += swept.bytes;
        if (swept.selected != -1) {
            folder.url = attempt.url;
            folder.error.clear();
            reached = true;
            break;
        }
        if (SaysWhyUnreached(attempt, row, !saidUrl.empty()) || IsSweepFailure(swept)) {
            said = swept;
            saidUrl = attempt.url;
        }
        // The store or its server failed (not reached, a session lost, a
        // refused login): another form of the mailbox reaches the same
        // server, and would only hide the failure, or repeat it.
        if (IsSweepFailure(swept)) break;
    }
    if (!reached && !saidUrl.empty()) {
        folder.url = saidUrl;
        folder.error = said.error;
        if (IsSweepFailure(said)) ++run.record.foldersFailed;
        WriteLog(run.log,
                 ErrorEntry(said.errorNumber, said.errorDescription) + " " + VisibleText(saidUrl));
    }
    run.record.Folder(folder);
}

// The entry of a directory failure that ended the mailbox loop.
void LogDirectoryFailure(const RunState& run, const platform::Error& e,
                         const std::string& searchRoot) {
    WriteLog(run.log, ErrorEntry(e.Number(), e.Description()) + " " + VisibleText(searchRoot));
}

// One mailbox as a worker swept it: what the run's log and record are to
// tell of it, in the directory's order.
struct MailboxSwept {
    explicit MailboxSwept(const RunRecord& run) : record(run.ForOneMailbox()) { HoldLog(log); }
    RunLog log;                           // held throughout: never opens the log file
    RunRecord record;                     // its folder, held
    std::optional<platform::Error> lost;  // the commit of its writes failed
    std::exception_ptr failed;            // what stopped the sweep
};

// Sweeps the selected mailboxes on `workers` threads, each with its own
// store handles (and so its own mail server sessions), committing each
// mailbox's writes when it ends. The log and the record are written here,
// a mailbox at a time in the directory's order, each as one run would have
// written it. A directory failure stops the mailboxes not begun: it is
// logged after the mailbox that met it, the mailboxes begun before it was
// told are told after it (their sweeps happened), and it is returned.
std::optional<platform::Error> SweepInParallel(const RunState& run, SelectedMailboxes& selected,
                                               const Sweep& sweep, size_t workers, int32_t& count) {
    const size_t ahead = 4 * workers;
    // Slot i % ahead holds mailbox i from before it starts until it is told:
    // its row is read here, in order, and the next row into a slot once its
    // mailbox is told (the item `ahead` on starts only after that).
    struct Slot {
        MailboxRow row;
        std::unique_ptr<MailboxSwept> swept;
    };
    std::vector<Slot> slots(ahead);
    const size_t total = selected.Size();
    for (size_t i = 0; i < std::min(ahead, total); ++i) (void)selected.Next(slots[i].row);
    std::optional<platform::Error> directoryFailure;
    platform::RunInOrder(
        total, workers, ahead, [] { platform::StartStoreRun(); },
        [&](size_t i) {
            Slot& slot = slots[i % ahead];
            auto swept = std::make_unique<MailboxSwept>(run.record);
            ThreadState thread = run.thread;
            const RunState mine{swept->log, thread, swept->record, run.move};
            try {
                const platform::StoreWriteGroup group;
                SweepMailbox(mine, slot.row, sweep);
            } catch (...) {
                swept->failed = std::current_exception();
            }
            // The group committed as it ended; a failure is kept till now.
            swept->lost = platform::StoreWriteGroup::TakeLost();
            slot.swept = std::move(swept);
        },
        [&](size_t i) {
            Slot& slot = slots[i % ahead];
            const std::unique_ptr<MailboxSwept> swept = std::move(slot.swept);
            // The history first, as a run that holds its log writes it.
            run.record.TakeHeldFolders(swept->record, swept->lost);
            WriteLog(run.log, MailboxHeading(slot.row, sweep.folderName));
            ++count;
            PassHeldLog(swept->log, run.log, swept->lost);
            bool more = true;
            if (swept->failed) {
                try {
                    std::rethrow_exception(swept->failed);
                } catch (const platform::Error& e) {
                    LogDirectoryFailure(run, e, sweep.searchRoot);
                    if (!directoryFailure) directoryFailure = e;
                }
                more = false;
            }
            if (more && i + ahead < total) (void)selected.Next(slot.row);
            return more;
        });
    return directoryFailure;
}

// The selection could not be kept (the temporary folder failed, not the
// directory): nothing is swept.
struct SelectionNotKept {
    platform::Error error;
};

// Asks the directory for the mailboxes the run treats, keeps them for the
// sweep, and records them in the history a page at a time: the selection
// is recorded whole before the first mailbox is swept, so the history
// knows what the run meant to treat, however it ends. Returns what cut the
// directory's rows short (see ForEachTreatedMailbox).
std::string SelectMailboxes(const RunState& run, const std::string& searchRoot,
                            int16_t allMailboxes, SelectedMailboxes& selected) {
    constexpr size_t kPage = 1000;
    std::vector<platform::RunSelectedMailbox> page;
    auto keep = [&](const MailboxRow& row) {
        try {
            selected.Add(row);
        } catch (const platform::Error& e) {
            throw SelectionNotKept{e};
        }
        page.push_back({row.address, row.name});
        if (page.size() < kPage) return;
        run.record.Selected(page, false);
        page.clear();
    };
    std::string cut =
        ForEachTreatedMailbox(searchRoot, run.thread.server.ServerName, allMailboxes, keep);
    run.record.Selected(page, true);
    return cut;
}

}  // namespace

MailboxesTreated ProcessMailboxes(const RunState& run, const std::string& searchRoot,
                                  const std::string& folderName, platform::Date cutoff,
                                  int16_t allMailboxes, const std::string& traversal) {
    MailboxesTreated treated;
    int32_t& count = treated.count;
    int workers = 1;
    try {
        workers = platform::StoreRunWorkers();
    } catch (const platform::Error& e) {
        // A setting the platform refuses (its description names the line):
        // no mailbox is swept with a guess.
        WriteLog(run.log, ErrorEntry(e.Number(), e.Description()));
        treated.failure = e;
        return treated;
    }
    try {
        SelectedMailboxes selected(GetTempDirectory());
        const std::string cut = SelectMailboxes(run, searchRoot, allMailboxes, selected);
        // The directory's rows were many small blocks, all free now: their
        // pages go back before the sweep, which needs memory of its own.
        ::malloc_trim(0);
        const Sweep sweep{folderName, cutoff, searchRoot, traversal};
        if (workers > 1 && selected.Size() > 1) {
            treated.failure =
                SweepInParallel(run, selected, sweep, static_cast<size_t>(workers), count);
            if (treated.failure) return treated;
        } else {
            // The folders' writes are committed together; what the log and
            // the history tell of them waits for the commit.
            SweepCommits commits(run);
            for (MailboxRow row; selected.Next(row);) {
                WriteLog(run.log, MailboxHeading(row, folderName));
                ++count;
                SweepMailbox(run, row, sweep);
                commits.AfterMailbox();
            }
            commits.Finish();
        }
        // Rows the directory left out are mailboxes not treated: say so.
        if (!cut.empty()) {
            WriteLog(run.log, ErrorEntry(platform::err::kDsSizeLimit, VisibleText(cut)) + " " +
                                  VisibleText(searchRoot));
        }
    } catch (const SelectionNotKept& notKept) {
        // Nothing was swept: the selection's file names itself.
        WriteLog(run.log, ErrorEntry(notKept.error.Number(), notKept.error.Description()));
        treated.failure = notKept.error;
    } catch (const platform::Error& e) {
        if (run.log.Failure()) throw;  // the log, not the directory, failed
        // The directory failed part-way: say so, and report the mailboxes
        // that were treated before it did.
        LogDirectoryFailure(run, e, searchRoot);
        treated.failure = e;
    }
    return treated;
}

}  // namespace quellix
