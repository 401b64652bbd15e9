// ProbeSinks.so: sinks that the event service's tests fire in place of the
// cleanup sink, to see what a firing does from inside the surrogate:
//   "Probe.Record"  appends "uid=<uid> url=<item URL> construct=<string>" to
//                   the file named by $QUELLIX_PROBE_OUT
//   "Probe.Crash"   ends its process with SIGABRT
//   "Probe.Hang"    never returns
// The module registers its classes through DllRegisterServer like any
// in-process server.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/com.h"

namespace {

using platform::HRESULT;

enum class Behaviour { kRecord, kCrash, kHang };

class Probe final : public platform::IExStoreSystemEvents, public platform::IObjectConstruct {
public:
    explicit Probe(Behaviour b) : behaviour_(b) {}

    HRESULT QueryInterface(platform::REFIID iid, void** object) override {
        if (iid == platform::IID_IUnknown || iid == platform::IID_IExStoreSystemEvents) {
            *object = static_cast<platform::IExStoreSystemEvents*>(this);
        } else if (iid == platform::IID_IObjectConstruct) {
            *object = static_cast<platform::IObjectConstruct*>(this);
        } else {
            *object = nullptr;
            return platform::E_NOINTERFACE;
        }
        AddRef();
        return platform::S_OK;
    }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        const uint32_t left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT Construct(const char* text) override {
        construct_ = text ? text : "";
        return platform::S_OK;
    }
    HRESULT OnMDBShutDown(const char*, int32_t) override { return platform::S_OK; }
    HRESULT OnMDBStartUp(const char*, const char*, int32_t) override { return platform::S_OK; }
    HRESULT OnTimer(const char* url, int32_t) override {
        switch (behaviour_) {
            case Behaviour::kCrash:
                std::abort();
            case Behaviour::kHang:
                for (;;) pause();
            case Behaviour::kRecord:
                break;
        }
        const char* out = std::getenv("QUELLIX_PROBE_OUT");
        if (!out) return platform::E_FAIL;
        const std::string line = "uid=" + std::to_string(getuid()) + " url=" + (url ? url : "") +
                                 " construct=" + construct_ + "\n";
        const int fd = ::open(out, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return platform::E_FAIL;
        const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(fd);
        return ok ? platform::S_OK : platform::E_FAIL;
    }

private:
    ~Probe() = default;
    Behaviour behaviour_;
    std::atomic<uint32_t> refs_{0};
    std::string construct_ = "(none)";
};

// A class's factory, which also names the class.
class Factory final : public platform::IClassFactory {
public:
    Factory(const char* progId, uint8_t last, Behaviour b) noexcept
        : progId(progId),
          clsid{0x7A0C5E31, 0x2B4D, 0x4C6E, {0x8F, 0, 0, 0, 0, 0, 0, last}},
          behaviour_(b) {}
    HRESULT QueryInterface(platform::REFIID iid, void** object) override {
        if (iid == platform::IID_IUnknown || iid == platform::IID_IClassFactory) {
            *object = this;
            return platform::S_OK;
        }
        *object = nullptr;
        return platform::E_NOINTERFACE;
    }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    HRESULT CreateInstance(platform::IUnknown* outer, platform::REFIID iid,
                           void** object) override {
        if (outer) return platform::CLASS_E_NOAGGREGATION;
        auto* probe = new Probe(behaviour_);
        probe->AddRef();
        const HRESULT hr = probe->QueryInterface(iid, object);
        probe->Release();
        return hr;
    }
    HRESULT LockServer(bool) override { return platform::S_OK; }

    const char* progId;
    platform::CLSID clsid;

private:
    Behaviour behaviour_;
};

Factory g_factories[] = {{"Probe.Record", 1, Behaviour::kRecord},
                         {"Probe.Crash", 2, Behaviour::kCrash},
                         {"Probe.Hang", 3, Behaviour::kHang}};

std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname) return {};
    char resolved[4096];
    return realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT DllGetClassObject(platform::REFCLSID clsid,
                                                                 platform::REFIID iid,
                                                                 void** object) {
    for (auto& f : g_factories) {
        if (f.clsid == clsid) return f.QueryInterface(iid, object);
    }
    *object = nullptr;
    return platform::CLASS_E_CLASSNOTAVAILABLE;
}

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return platform::S_FALSE;
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    for (const auto& f : g_factories) {
        const HRESULT hr =
            platform::RegisterClassEntry({f.progId, f.clsid, ModulePath(), "Apartment"});
        if (platform::Failed(hr)) return hr;
    }
    return platform::S_OK;
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    for (const auto& f : g_factories) (void)platform::UnregisterClassEntry(f.clsid);
    return platform::S_OK;
}

}  // extern "C"
