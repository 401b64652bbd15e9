// quellix-admin catalog: what the component catalog named by the platform
// configuration holds. Runs with its caller's privileges (the catalog file is
// its owner's only) and reads only the catalog and the configuration. It
// never shows a password or its hash, only whether one is set.
#include <cstdio>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "localplatform/catalog/component_catalog.h"
#include "tools/admin_verbs.h"

namespace admin {
namespace {

void GroupHelp(FILE* out) {
    std::fprintf(out,
                 "usage: quellix-admin catalog list\n\n"
                 "Lists the applications of the component catalog (ID, name, the account\n"
                 "they run under, whether a password and access checks are set) and their\n"
                 "components (ProgID, class identifier, module, construction string), one\n"
                 "tab-separated line each. Control characters are shown as \\r, \\n, \\xNN.\n\n"
                 "exit codes: 0 success, 1 the catalog could not be read, 2 bad usage\n");
}

int List(const std::vector<std::string>& args) {
    if (!args.empty()) throw UsageError("list takes no arguments");
    auto catalog = localplatform::ComponentCatalog::OpenCurrent();
    for (const auto& app : catalog.Applications()) {
        std::printf(
            "application\t%s\t%s\tidentity=%s\tpassword=%s\taccess-checks=%s\n", app.id.c_str(),
            platform::VisibleText(app.name).c_str(), platform::VisibleText(app.identity).c_str(),
            app.passwordHash.empty() ? "none" : "set", app.accessChecksEnabled ? "on" : "off");
        for (const auto& c : catalog.Components(app.id)) {
            std::printf("component\t%s\t%s\t%s\tconstruction=%s\t%s\n",
                        platform::VisibleText(c.progId).c_str(), c.clsid.c_str(),
                        platform::VisibleText(c.modulePath).c_str(),
                        c.constructionEnabled ? "on" : "off",
                        platform::VisibleText(c.constructorString).c_str());
        }
    }
    return platform::kExitOk;
}

const std::vector<Verb>& Verbs() {
    static const std::vector<Verb> verbs = {
        {"list", "list",
         "Lists the applications of the component catalog and their components, one\n"
         "tab-separated line each; a password shows only as set or not.",
         List},
    };
    return verbs;
}

}  // namespace

int CatalogMain(int argc, char** argv) {
    return RunGroup("catalog", Verbs(), GroupHelp, argc, argv);
}

}  // namespace admin
