// The component vocabulary of the platform: result codes, class and interface
// identifiers, the base interfaces every component implements, the store's
// event interfaces that a store event sink implements, class activation by
// ProgID through the class registry, and the registry calls an in-process
// server's self-registration makes.
//
// Interfaces are C++ abstract classes whose methods stand in the platform's
// slot order. Text crosses an interface as NUL-terminated UTF-8 (the platform
// owns it for the length of the call). No C++ exception crosses an interface:
// every method reports by its result code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

constexpr bool Succeeded(HRESULT hr) {
    return hr >= 0;
}
constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

// A 128-bit class or interface identifier.
struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
std::string GuidToString(const GUID& g);
// Parses the form above (braces required, hex of either case); nothing for
// any other text.
std::optional<GUID> GuidFromString(const std::string& text);

// The base interface: identity, interface navigation and reference counting.
// An object deletes itself when its count drops to 0.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

// Creates instances of one class; handed out by a module's DllGetClassObject.
struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    virtual HRESULT LockServer(bool lock) = 0;

protected:
    ~IClassFactory() = default;
};

// What the store tells a sink about the event being registered; opaque to
// sinks that accept every registration.
struct IExStoreEventInfo : IUnknown {
protected:
    ~IExStoreEventInfo() = default;
};

// The store's system events: database start and stop, and timer events. The
// store calls OnTimer with the URL of the registration item that fired.
struct IExStoreSystemEvents : IUnknown {
    virtual HRESULT OnMDBShutDown(const char* bstrMDBGuid, int32_t lFlags) = 0;
    virtual HRESULT OnMDBStartUp(const char* bstrMDBGuid, const char* bstrMDBName,
                                 int32_t lFlags) = 0;
    virtual HRESULT OnTimer(const char* bstrURLItem, int32_t lFlags) = 0;

protected:
    ~IExStoreSystemEvents() = default;
};

// The store's check when a registration naming the class is saved: *plResult
// 0 accepts the registration.
struct ICreateRegistration : IUnknown {
    virtual HRESULT Register(IExStoreEventInfo* pEventInfo, const char* bstrURLItem, int32_t lFlags,
                             int32_t* plResult) = 0;

protected:
    ~ICreateRegistration() = default;
};

// The construction string of a component whose application enables
// construction, handed over once after the object is created.
struct IObjectConstruct : IUnknown {
    virtual HRESULT Construct(const char* constructString) = 0;

protected:
    ~IObjectConstruct() = default;
};

// Interface identifiers, as the local platform publishes them.
extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;
extern const IID IID_IExStoreEventInfo;
extern const IID IID_IExStoreSystemEvents;
extern const IID IID_ICreateRegistration;
extern const IID IID_IObjectConstruct;

// The exports of an in-process server module, by their usual names.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

// One class of the class registry.
struct ClassEntry {
    std::string progId;  // e.g. "Quellix.QuellixCls"
    CLSID clsid;
    std::string modulePath;      // absolute path of the module file
    std::string threadingModel;  // "Apartment", "Free", "Both"
};

// The registry calls of self-registration. They raise nothing: the result is
// S_OK, or SELFREG_E_CLASS with *error (when given) holding the diagnostic.
HRESULT RegisterClassEntry(const ClassEntry& entry, std::string* error = nullptr);
// Removes the class; S_FALSE when it was not registered.
HRESULT UnregisterClassEntry(REFCLSID clsid, std::string* error = nullptr);

// CLSIDFromProgID: REGDB_E_CLASSNOTREG / CO_E_CLASSSTRING when unknown.
HRESULT CLSIDFromProgID(const std::string& progId, CLSID* clsid);
// The registered entry of a ProgID (without regard to case), if any.
std::optional<ClassEntry> FindClassByProgId(const std::string& progId,
                                            std::string* error = nullptr);

// CoCreateInstance by ProgID: finds the class in the registry, loads its
// module (which then stays loaded for the life of the process), asks the
// module's DllGetClassObject for the class factory and creates an instance
// with the interface iid. On failure *object is null and *error (when given)
// says why, in the platform's phrasing.
HRESULT CreateInstanceByProgId(const std::string& progId, REFIID iid, void** object,
                               std::string* error = nullptr);

// Calls DllRegisterServer or DllUnregisterServer of the module at path.
HRESULT CallModuleRegistration(const std::string& modulePath, bool unregister,
                               std::string* error = nullptr);

}  // namespace platform
