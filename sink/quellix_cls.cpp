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

}  // namespace

HRESULT QuellixCls::OnTimer(const char* bstrURLItem, int32_t lFlags) {
    // What this thread keeps from one run to the next (the class is
    // apartment-threaded: a run only sees its own thread's).
    static thread_local ThreadState kept;
    bool failed = false;
    // The run's record in the history, ended whatever the run's course.
    RunRecord record;
    const std::string itemUrl = bstrURLItem ? bstrURLItem : "";
    std::string failedBecause;  // the first failure of the run or its report
    try {
        // Runs of one registration take turns: its lock lives in the store,
        // so a run in another process, account or temporary folder meets
        // it too. The wait is bounded; a run that does not get the lock in
        // time does not take place.
        std::optional<platform::RunLock> lock;
        std::optional<platform::Error> lockFailure;
        if (IsMailboxItemUrl(itemUrl)) {
            std::string heldBy;
            try {
                lock = platform::RunLock::Acquire(itemUrl, platform::RunLock::ConfiguredWait(),
                                                  &heldBy);
            } catch (const platform::Error& e) {
                lockFailure = e;
            }
            if (!lock && !lockFailure) {
                const std::string why =
                    "another run of the registration holds its lock (" + heldBy + ")";
                // Added to the log as it stands: it may be the holder's.
                try {
                    AppendToLog(ErrorEntry(platform::err::kResourceLocked, "run skipped: " + why) +
                                " " + VisibleText(itemUrl));
                } catch (const platform::Error&) {
                    // The event log says it all the same.
                }
                platform::ReportEvent("Quellix", "run of " + itemUrl + " skipped: " + why);
                record.End(itemUrl, "skipped", why);
                if (record.Failure()) {
                    ReportFailure(bstrURLItem, "history", record.Failure()->Description());
                }
                return platform::E_FAIL;
            }
        }

        RunLog log;  // not open: the first entry of this run creates the log afresh
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
                failure = RunCleanup(kept, log, record, itemUrl, lFlags);
            }
            WriteLog(log, "");
            WriteLog(log, "Completed at: " + NowText());
        } catch (const platform::Error& e) {
            // Only the log raises this far.
            failure = e;
        }
        CloseLog(log);
        if (failure) {
            failed = true;
            failedBecause = failure->Description();
            ReportFailure(bstrURLItem, "run", failure->Description());
        }
        // A log that failed is not mailed: it is cut short, or it is not the
        // run's own file.
        if (!log.Failure()) {
            try {
                SendReport(log, kept.ReportRecipient);
            } catch (const platform::Error& e) {
                failed = true;
                if (failedBecause.empty()) failedBecause = "report: " + e.Description();
                ReportFailure(bstrURLItem, "report", e.Description());
            }
        }
    } catch (const std::exception& e) {
        failed = true;
        if (failedBecause.empty()) failedBecause = e.what();
        ReportFailure(bstrURLItem, "run", e.what());
    } catch (...) {
        failed = true;
        if (failedBecause.empty()) failedBecause = "unknown failure";
        ReportFailure(bstrURLItem, "run", "unknown failure");
    }
    record.End(itemUrl,
               failed       ? "failed"
               : record.due ? "completed"
                            : "not a run day",
               failedBecause);
    if (record.Failure()) {
        failed = true;
        ReportFailure(bstrURLItem, "history", record.Failure()->Description());
    }
    // The store's event service takes no notice of the result; a host that
    // fires the timer by hand learns from it that the run failed.
    return failed ? platform::E_FAIL : platform::S_OK;
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
