#include "platform/com.h"

#include <dlfcn.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "base/error.h"
#include "localplatform/classes/class_registry.h"

namespace platform {

// The two base interfaces have their well-known identifiers; the store's event
// interfaces are published by the local platform with these values.
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IExStoreEventInfo = {
    0x5F3A1D20, 0x6C1E, 0x4B8A, {0x9E, 0x51, 0x2D, 0x7C, 0x11, 0x40, 0xA0, 0x01}};
const IID IID_IExStoreSystemEvents = {
    0x5F3A1D20, 0x6C1E, 0x4B8A, {0x9E, 0x51, 0x2D, 0x7C, 0x11, 0x40, 0xA0, 0x02}};
const IID IID_ICreateRegistration = {
    0x5F3A1D20, 0x6C1E, 0x4B8A, {0x9E, 0x51, 0x2D, 0x7C, 0x11, 0x40, 0xA0, 0x03}};
const IID IID_IObjectConstruct = {
    0x5F3A1D20, 0x6C1E, 0x4B8A, {0x9E, 0x51, 0x2D, 0x7C, 0x11, 0x40, 0xA0, 0x04}};

std::string GuidToString(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false when any is not hex.
bool ReadHex(const std::string& text, size_t pos, int digits, uint64_t& out) {
    out = 0;
    for (int i = 0; i < digits; ++i) {
        const int v = HexValue(text[pos + static_cast<size_t>(i)]);
        if (v < 0) return false;
        out = (out << 4) | static_cast<uint64_t>(v);
    }
    return true;
}

void SetError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// Modules stay loaded for the life of the process once loaded, as the
// platform keeps an apartment-threaded server loaded; the table only saves a
// second dlopen.
std::mutex g_modulesMutex;
std::map<std::string, void*>& Modules() {
    // Never destroyed: see above.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* modules = new std::map<std::string, void*>();
    return *modules;
}

void* LoadModule(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    auto it = Modules().find(path);
    if (it != Modules().end()) return it->second;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();  // overwritten by the next dl call: copy now
        SetError(error, Describe("dlopen", path, why ? why : "unknown", CO_E_DLLNOTFOUND));
        return nullptr;
    }
    Modules()[path] = handle;
    return handle;
}

void* Export(void* module, const char* name, const std::string& path, std::string* error) {
    dlerror();
    void* fn = dlsym(module, name);
    if (!fn) {
        const char* why = dlerror();
        SetError(error, Describe("dlsym", path + ":" + name, why ? why : "no such export",
                                 CO_E_ERRORINDLL));
    }
    return fn;
}

}  // namespace

std::optional<GUID> GuidFromString(const std::string& text) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return std::nullopt;
    }
    GUID g;
    uint64_t v = 0;
    if (!ReadHex(text, 1, 8, v)) return std::nullopt;
    g.Data1 = static_cast<uint32_t>(v);
    if (!ReadHex(text, 10, 4, v)) return std::nullopt;
    g.Data2 = static_cast<uint16_t>(v);
    if (!ReadHex(text, 15, 4, v)) return std::nullopt;
    g.Data3 = static_cast<uint16_t>(v);
    const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, bytePos[i], 2, v)) return std::nullopt;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    return g;
}

HRESULT RegisterClassEntry(const ClassEntry& entry, std::string* error) {
    try {
        auto reg = localplatform::ClassRegistry::OpenCurrent(true);
        reg.Register(
            {entry.progId, GuidToString(entry.clsid), entry.modulePath, entry.threadingModel});
        return S_OK;
    } catch (const std::exception& e) {
        SetError(error, e.what());
        return SELFREG_E_CLASS;
    }
}

HRESULT UnregisterClassEntry(REFCLSID clsid, std::string* error) {
    try {
        auto reg = localplatform::ClassRegistry::OpenCurrent();
        return reg.Unregister(GuidToString(clsid)) ? S_OK : S_FALSE;
    } catch (const std::exception& e) {
        SetError(error, e.what());
        return SELFREG_E_CLASS;
    }
}

std::optional<ClassEntry> FindClassByProgId(const std::string& progId, std::string* error) {
    try {
        auto reg = localplatform::ClassRegistry::OpenCurrent();
        auto row = reg.FindByProgId(progId);
        if (!row) {
            SetError(error, Describe("CLSIDFromProgID", progId, "class not registered",
                                     REGDB_E_CLASSNOTREG));
            return std::nullopt;
        }
        auto clsid = GuidFromString(row->clsid);
        if (!clsid) {
            SetError(error, Describe("CLSIDFromProgID", progId,
                                     "registered class identifier is malformed: " + row->clsid,
                                     CO_E_CLASSSTRING));
            return std::nullopt;
        }
        return ClassEntry{row->progId, *clsid, row->modulePath, row->threadingModel};
    } catch (const std::exception& e) {
        SetError(error, e.what());
        return std::nullopt;
    }
}

HRESULT CLSIDFromProgID(const std::string& progId, CLSID* clsid) {
    if (!clsid) return E_POINTER;
    auto entry = FindClassByProgId(progId);
    if (!entry) return REGDB_E_CLASSNOTREG;
    *clsid = entry->clsid;
    return S_OK;
}

HRESULT CreateInstanceByProgId(const std::string& progId, REFIID iid, void** object,
                               std::string* error) {
    if (!object) return E_POINTER;
    *object = nullptr;
    auto entry = FindClassByProgId(progId, error);
    if (!entry) return REGDB_E_CLASSNOTREG;
    void* module = LoadModule(entry->modulePath, error);
    if (!module) return CO_E_DLLNOTFOUND;
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(
        Export(module, "DllGetClassObject", entry->modulePath, error));
    if (!getClassObject) return CO_E_ERRORINDLL;

    IClassFactory* factory = nullptr;
    HRESULT hr =
        getClassObject(entry->clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (Failed(hr) || !factory) {
        SetError(error, Describe("DllGetClassObject", progId, "class not available", hr));
        return Failed(hr) ? hr : E_UNEXPECTED;
    }
    hr = factory->CreateInstance(nullptr, iid, object);
    factory->Release();
    if (Failed(hr)) {
        *object = nullptr;
        SetError(error,
                 Describe("IClassFactory.CreateInstance", progId, "instance not created", hr));
    }
    return hr;
}

HRESULT CallModuleRegistration(const std::string& modulePath, bool unregister, std::string* error) {
    void* module = LoadModule(modulePath, error);
    if (!module) return CO_E_DLLNOTFOUND;
    const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto fn = reinterpret_cast<DllRegisterServerFn>(Export(module, name, modulePath, error));
    if (!fn) return CO_E_ERRORINDLL;
    const HRESULT hr = fn();
    if (Failed(hr)) SetError(error, Describe(name, modulePath, "self-registration failed", hr));
    return hr;
}

}  // namespace platform
