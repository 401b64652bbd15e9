// quellix-host: does for one event what the store's event service does. It
// finds a class in the class registry by its ProgID, loads the class's
// module, creates the class and calls its OnTimer with a registration item's
// URL; it also runs a module's self-registration.
//
// Runs with the privileges of its caller; the module it loads runs with them
// too. It reads the platform configuration, the class registry and the
// command line; the item URL is passed to the sink unexamined (the sink checks
// it).
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "base/version.h"
#include "localplatform/config/config_option.h"
#include "platform/com.h"

namespace {

constexpr const char* kDefaultProgId = "Quellix.QuellixCls";

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: quellix-host [--config FILE] ontimer [--progid PROGID] [--construct TEXT] "
                 "ITEM_URL\n"
                 "       quellix-host [--config FILE] register MODULE\n"
                 "       quellix-host [--config FILE] unregister MODULE\n"
                 "       quellix-host --version\n"
                 "\n"
                 "ontimer     creates the class PROGID (default %s) from the class\n"
                 "            registry and calls its OnTimer with the registration item's URL,\n"
                 "            as the store's event service does when the item's timer fires;\n"
                 "            --construct hands TEXT to a class that takes a construction\n"
                 "            string, as a component application with construction enabled does\n"
                 "register    calls the module's DllRegisterServer (writes its classes)\n"
                 "unregister  calls the module's DllUnregisterServer\n"
                 "\n"
                 "The platform configuration comes from --config, else $QUELLIX_CONFIG, else\n"
                 "/etc/quellix/platform.conf.\n"
                 "A run that fails, or whose report cannot be sent, says why on standard\n"
                 "error (the event log), one line per cause.\n"
                 "exit codes: 0 success, 1 the class, module or run failed, 2 bad usage,\n"
                 "            3 the run completed with failures (folders it could not sweep,\n"
                 "              or a metrics file it could not write)\n",
                 kDefaultProgId);
}

int FireTimer(const std::string& progId, const std::optional<std::string>& construct,
              const std::string& itemUrl) {
    platform::IExStoreSystemEvents* sink = nullptr;
    std::string why;
    const platform::HRESULT hr = platform::CreateInstanceByProgId(
        progId, platform::IID_IExStoreSystemEvents, reinterpret_cast<void**>(&sink), &why);
    if (platform::Failed(hr) || !sink) {
        std::fprintf(stderr, "quellix-host: %s\n", why.empty() ? "class not created" : why.c_str());
        return platform::kExitFailed;
    }
    if (construct) {
        // A class that takes no construction string ignores it, as the
        // platform's component applications do.
        platform::IObjectConstruct* construction = nullptr;
        if (platform::Succeeded(sink->QueryInterface(platform::IID_IObjectConstruct,
                                                     reinterpret_cast<void**>(&construction))) &&
            construction) {
            const platform::HRESULT hr = construction->Construct(construct->c_str());
            construction->Release();
            if (platform::Failed(hr)) {
                std::fprintf(stderr, "quellix-host: Construct(%s) failed: (%d)\n", progId.c_str(),
                             hr);
                sink->Release();
                return 1;
            }
        }
    }
    const platform::HRESULT result = sink->OnTimer(itemUrl.c_str(), 0);
    sink->Release();
    // A class whose OnTimer fails, or completes with failures (S_FALSE), has
    // said why in the event log, which is this process's standard error: one
    // line per cause, nothing added here.
    if (platform::Failed(result)) return platform::kExitFailed;
    return result == platform::S_FALSE ? platform::kExitPartly : platform::kExitOk;
}

int SelfRegistration(const std::string& module, bool unregister) {
    std::string why;
    const platform::HRESULT hr = platform::CallModuleRegistration(module, unregister, &why);
    if (platform::Failed(hr)) {
        std::fprintf(stderr, "quellix-host: %s\n", why.c_str());
        return platform::kExitFailed;
    }
    return platform::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    int i = localplatform::TakeConfigOption(argc, argv);
    if (i >= argc) {
        Usage(stderr);
        return platform::kExitUsage;
    }
    const std::string verb = argv[i++];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        Usage(stdout);
        return platform::kExitOk;
    }
    if (platform::IsVersionOption(verb)) return platform::PrintVersion("quellix-host");
    if (verb != "ontimer" && verb != "register" && verb != "unregister") {
        std::fprintf(stderr, "quellix-host: unknown verb '%s'\n", verb.c_str());
        Usage(stderr);
        return platform::kExitUsage;
    }
    // The words after the verb: its options (--progid and --construct take a
    // value, which may itself start with '-'), "--help", and one operand. A
    // word that looks like an option and is none of these is refused: an
    // item URL never starts with '-', and a module so named is given as
    // ./-NAME. So "--help" is never taken for an item or a module to load.
    std::string progId = kDefaultProgId;
    std::optional<std::string> construct;
    std::vector<std::string> operands;
    for (; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            Usage(stdout);
            return platform::kExitOk;
        }
        if (verb == "ontimer" && (word == "--progid" || word == "--construct")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quellix-host: %s needs a value\n", word.c_str());
                Usage(stderr);
                return platform::kExitUsage;
            }
            if (word == "--progid")
                progId = argv[++i];
            else
                construct = argv[++i];
        } else if (word.starts_with('-')) {
            std::fprintf(stderr, "quellix-host: unknown option '%s' for %s\n", word.c_str(),
                         verb.c_str());
            Usage(stderr);
            return platform::kExitUsage;
        } else {
            operands.push_back(word);
        }
    }
    if (operands.size() != 1) {
        Usage(stderr);
        return platform::kExitUsage;
    }
    if (verb == "ontimer") return FireTimer(progId, construct, operands.front());
    return SelfRegistration(operands.front(), verb == "unregister");
}
