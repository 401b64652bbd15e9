#include "sink/quellix_cls.h"

#include <new>

#include "platform/run_lock.h"
#include "platform/system.h"
#include "selection/run_text.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_record.h"

namespace quellix {

using platform::HRESULT;

const platform::CLSID CLSID_QuellixCls = {
    0xB6E1C0D2, 0x5A47, 0x4F8E, {0x9C, 0x3B, 0x7D, 0x2E, 0x4A, 0x1F, 0x6C, 0x01}};

HRESULT QuellixCls::QueryInterface(platform::REFIID iid, void** object) {
    if (!object) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == platform::IID_IExStoreSystemEvents) {
        *object = static_cast<platform::IExStoreSystemEvents*>(this);
    } else if (iid == platform::IID_ICreateRegistration) {
        *object = static_cast<platform::ICreateRegistration*>(this);
    } else {
        *object = nullptr;
        return platform::E_NOINTERFACE;
    }
    AddRef();
    return platform::S_OK;
}

uint32_t QuellixCls::AddRef() {
    return ++refs_;
}

uint32_t QuellixCls::Release() {
    const uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT QuellixCls::OnMDBShutDown(const char*, int32_t) {
    return platform::S_OK;
}
HRESULT QuellixCls::OnMDBStartUp(const char*, const char*, int32_t) {
    return platform::S_OK;
}

namespace {

// Says in the event log that the run of itemUrl, or its report, failed.
void ReportFailure(const char* itemUrl, const std::string& what, const std::string& cause) {
    platform::ReportEvent("Quellix",
                          what + " of " + (itemUrl ? itemUrl : "") + " failed: " + cause);
}

// How a firing went, as its record in the history and its caller learn it:
// every failure goes to the event log; the first one is the record's reason.
class FiringOutcome {
public:
    explicit FiringOutcome(const char* itemUrl) : itemUrl_(itemUrl) {}
    // what: "run", "report" or "history"; reason: what the record keeps.
    void Fail(const std::string& what, const std::string& cause, const std::string& reason) {
        failed_ = true;
        if (because_.empty()) because_ = reason;
        ReportFailure(itemUrl_, what, cause);
    }
    void Fail(const std::string& what, const std::string& cause) { Fail(what, cause, cause); }
    [[nodiscard]] bool Failed() const { return failed_; }
    [[nodiscard]] const std::string& Because() const { return because_; }

private:
    const char* itemUrl_;
    bool failed_ = false;
    std::string because_;
};

// The registration's run lock. Runs of one registration take turns: its lock
// lives in the store, so a run in another process, account or temporary
// folder meets it too. The wait is bounded. Returns false when another run
// holds the lock past the bound: the run does not take place, and the log,
// the event log and the history say so. A store that cannot hold the lock
// leaves lockFailure set; the run then reports it in its log.
bool TakeRunLock(const std::string& itemUrl, RunRecord& record, FiringOutcome& outcome,
                 std::optional<platform::RunLock>& lock,
                 std::optional<platform::Error>& lockFailure) {
    if (!IsMailboxItemUrl(itemUrl)) return true;  // the run itself refuses it
    std::string heldBy;
    try {
        lock = platform::RunLock::Acquire(itemUrl, platform::RunLock::ConfiguredWait(), &heldBy);
    } catch (const platform::Error& e) {
        lockFailure = e;
    }
    if (lock || lockFailure) return true;
    const std::string why = "another run of the registration holds its lock (" + heldBy + ")";
    // Added to the log as it stands: it may be the holder's.
    try {
        AppendToLog(ErrorEntry(platform::err::kResourceLocked, "run skipped: " + why) + " " +
                    VisibleText(itemUrl));
    } catch (const platform::Error&) {
        // The event log says it all the same.
    }
    platform::ReportEvent("Quellix", "run of " + itemUrl + " skipped: " + why);
    record.End(itemUrl, "skipped", why);
    if (record.Failure()) outcome.Fail("history", record.Failure()->Description());
    return false;
}

// The run between its log's first and last lines; the log is closed after
// it. Returns the failure that stopped the run or part of it.
std::optional<platform::Error> RunAndLog(ThreadState& kept, RunLog& log, RunRecord& record,
                                         const std::string& itemUrl, int32_t flags,
                                         const std::optional<platform::Error>& lockFailure) {
    std::optional<platform::Error> failure;
    try {
        WriteLog(log, "Started at: " + NowText());
        WriteLog(log, "");
        if (lockFailure) {
            // The store cannot hold the lock: it cannot be cleaned either.
            failure = lockFailure;
            WriteLog(log, ErrorEntry(lockFailure->Number(), lockFailure->Description()) + " " +
                              VisibleText(itemUrl));
        } else {
            failure = RunCleanup(kept, log, record, itemUrl, flags);
        }
        WriteLog(log, "");
        WriteLog(log, "Completed at: " + NowText());
    } catch (const platform::Error& e) {
        // Only the log raises this far.
        failure = e;
    }
    CloseLog(log);
    return failure;
}

// Mails the closed log to the run's recipient. A log that failed is not
// mailed: it is cut short, or it is not the run's own file.
void MailReport(RunLog& log, const std::string& recipient, FiringOutcome& outcome) {
    if (log.Failure()) return;
    try {
        SendReport(log, recipient);
    } catch (const platform::Error& e) {
        outcome.Fail("report", e.Description(), "report: " + e.Description());
    }
}

}  // namespace

HRESULT QuellixCls::OnTimer(const char* bstrURLItem, int32_t lFlags) {
    // What this thread keeps for a run (the class is apartment-threaded: a
    // run only sees its own thread's).
    static thread_local ThreadState kept;
    const std::string itemUrl = bstrURLItem ? bstrURLItem : "";
    FiringOutcome outcome(bstrURLItem);
    // The run's record in the history, ended whatever the run's course.
    RunRecord record;
    try {
        std::optional<platform::RunLock> lock;  // held until the report is out
        std::optional<platform::Error> lockFailure;
        if (!TakeRunLock(itemUrl, record, outcome, lock, lockFailure)) return platform::E_FAIL;
        RunLog log;  // not open: the first entry of this run creates the log afresh
        if (auto failure = RunAndLog(kept, log, record, itemUrl, lFlags, lockFailure))
            outcome.Fail("run", failure->Description());
        MailReport(log, kept.ReportRecipient, outcome);
    } catch (const std::exception& e) {
        outcome.Fail("run", e.what());
    } catch (...) {
        outcome.Fail("run", "unknown failure");
    }
    // A run that went to its end but failed to sweep some folders is no
    // success: the history, the metrics and the caller all learn so.
    const bool partly = !outcome.Failed() && record.foldersFailed > 0;
    const std::string failedFolders =
        std::to_string(record.foldersFailed) + " folders could not be swept";
    if (partly) {
        platform::ReportEvent("Quellix", "run of " + itemUrl + " completed with failures: " +
                                             failedFolders + " (its log says why)");
    }
    record.End(itemUrl,
               outcome.Failed() ? "failed"
               : partly         ? "completed with failures"
               : record.due     ? "completed"
                                : "not a run day",
               partly ? failedFolders : outcome.Because());
    if (record.Failure()) outcome.Fail("history", record.Failure()->Description(), "");
    // The history says it was no full success; the caller learns the same.
    const bool metricsLost = !outcome.Failed() && record.MetricsFailure().has_value();
    if (metricsLost) {
        platform::ReportEvent("Quellix", "run of " + itemUrl + " completed with failures: " +
                                             record.MetricsFailure()->Description());
    }
    // The store's event service takes no notice of the result; a host that
    // fires the timer by hand learns from it that the run failed, or
    // (S_FALSE, a success code) that it completed with failures.
    if (outcome.Failed()) return platform::E_FAIL;
    return partly || metricsLost ? platform::S_FALSE : platform::S_OK;
}

HRESULT QuellixCls::Register(platform::IExStoreEventInfo*, const char*, int32_t,
                             int32_t* plResult) {
    if (plResult) *plResult = 0;
    return platform::S_OK;
}

HRESULT QuellixClsFactory::QueryInterface(platform::REFIID iid, void** object) {
    if (!object) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == platform::IID_IClassFactory) {
        *object = static_cast<platform::IClassFactory*>(this);
        return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
}

// The factory is a static object of the module: counting is not needed.
uint32_t QuellixClsFactory::AddRef() {
    return 2;
}
uint32_t QuellixClsFactory::Release() {
    return 1;
}

HRESULT QuellixClsFactory::CreateInstance(platform::IUnknown* outer, platform::REFIID iid,
                                          void** object) {
    if (!object) return platform::E_POINTER;
    *object = nullptr;
    if (outer) return platform::CLASS_E_NOAGGREGATION;
    // A component owns itself: its last Release deletes it.
    auto* cls = new (std::nothrow) QuellixCls();  // NOLINT(cppcoreguidelines-owning-memory)
    if (!cls) return platform::E_OUTOFMEMORY;
    const HRESULT hr = cls->QueryInterface(iid, object);
    cls->Release();  // the caller's reference, if any, is the one QueryInterface took
    return hr;
}

HRESULT QuellixClsFactory::LockServer(bool) {
    return platform::S_OK;
}

}  // namespace quellix
