// The four exports of the in-process server module Quellix.so, the only
// symbols it makes visible (see quellix.map). Nothing raises out of them.
#include <dlfcn.h>

#include "platform/com.h"
#include "sink/quellix_cls.h"

namespace {

quellix::QuellixClsFactory g_factory;

// The path of this module file, as the loader knows it.
std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname) return {};
    char resolved[4096];
    if (realpath(info.dli_fname, resolved)) return resolved;
    return info.dli_fname;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) platform::HRESULT DllGetClassObject(platform::REFCLSID clsid,
                                                                           platform::REFIID iid,
                                                                           void** object) {
    if (!object) return platform::E_POINTER;
    *object = nullptr;
    if (!(clsid == quellix::CLSID_QuellixCls)) return platform::CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, object);
}

// The class keeps per-thread run state in this module's thread-local
// storage, so the module stays loaded once loaded.
__attribute__((visibility("default"))) platform::HRESULT DllCanUnloadNow() {
    return platform::S_FALSE;
}

__attribute__((visibility("default"))) platform::HRESULT DllRegisterServer() {
    try {
        const std::string path = ModulePath();
        if (path.empty()) return platform::SELFREG_E_CLASS;
        return platform::RegisterClassEntry(
            {quellix::kProgId, quellix::CLSID_QuellixCls, path, "Apartment"});
    } catch (...) {
        return platform::SELFREG_E_CLASS;
    }
}

__attribute__((visibility("default"))) platform::HRESULT DllUnregisterServer() {
    try {
        const platform::HRESULT hr = platform::UnregisterClassEntry(quellix::CLSID_QuellixCls);
        return platform::Failed(hr) ? hr : platform::S_OK;
    } catch (...) {
        return platform::SELFREG_E_CLASS;
    }
}

}  // extern "C"
