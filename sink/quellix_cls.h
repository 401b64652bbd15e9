// QuellixCls: the store event sink. The store calls OnTimer with the URL of
// the registration item that fired; each call is one cleanup run. The class
// has no fields; each call makes its run's state (QuellixModule).
#pragma once

#include <atomic>

#include "platform/com.h"

namespace quellix {

inline constexpr const char* kProgId = "Quellix.QuellixCls";
// The class identifier of QuellixCls, chosen for this module.
extern const platform::CLSID CLSID_QuellixCls;

class QuellixCls final : public platform::IExStoreSystemEvents,
                         public platform::ICreateRegistration {
public:
    QuellixCls() = default;
    QuellixCls(const QuellixCls&) = delete;
    QuellixCls& operator=(const QuellixCls&) = delete;

    platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    // Do nothing; success.
    platform::HRESULT OnMDBShutDown(const char* bstrMDBGuid, int32_t lFlags) override;
    platform::HRESULT OnMDBStartUp(const char* bstrMDBGuid, const char* bstrMDBName,
                                   int32_t lFlags) override;
    // One cleanup run: takes the registration's run lock in the store,
    // frames the run with "Started at: " and "Completed at: ", closes the log
    // and mails it. A run that cannot get the lock within the configured wait
    // is skipped, which the log (added to, not started afresh) and the event
    // log say, naming the holder; it returns E_FAIL. Returns S_OK when the run and its report
    // went their way; E_FAIL when a failure stopped the run or its report,
    // after saying what failed, and where, in the event log (one line each
    // for the run and the report). Never raises.
    platform::HRESULT OnTimer(const char* bstrURLItem, int32_t lFlags) override;
    // Accepts every registration: *plResult = 0.
    platform::HRESULT Register(platform::IExStoreEventInfo* pEventInfo, const char* bstrURLItem,
                               int32_t lFlags, int32_t* plResult) override;

private:
    ~QuellixCls() = default;
    std::atomic<uint32_t> refs_{1};
};

// The class factory of QuellixCls.
class QuellixClsFactory final : public platform::IClassFactory {
public:
    platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    platform::HRESULT CreateInstance(platform::IUnknown* outer, platform::REFIID iid,
                                     void** object) override;
    // The module never unloads (DllCanUnloadNow): locks change nothing.
    platform::HRESULT LockServer(bool lock) override;
};

}  // namespace quellix
