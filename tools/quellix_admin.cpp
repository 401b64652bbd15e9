// quellix-admin: administration of the local platform (store, directory, catalog). Runs with the
// privileges of its caller and reads only the platform configuration, files named on its command
// line and standard input. Each verb group lives in its own file; this file only dispatches.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/version.h"
#include "localplatform/config/config_option.h"
#include "tools/admin_verbs.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: quellix-admin [--config FILE] GROUP VERB [ARGS...]\n"
                 "       quellix-admin --version\n"
                 "\n"
                 "Administers the local platform named by the platform configuration\n"
                 "(--config, else $QUELLIX_CONFIG, else /etc/quellix/platform.conf).\n"
                 "\n"
                 "groups:\n"
                 "  store       namespaces, mailboxes, folders, messages, benchmark corpus\n"
                 "  directory   load, search and generate the directory\n"
                 "  catalog     list the component catalog's applications and components\n"
                 "  init        set this server up in one step: write the configuration,\n"
                 "              make the folders, the store and what the directory lacks\n"
                 "  check       check the configuration and each service it names\n"
                 "\n"
                 "'quellix-admin GROUP --help' lists a group's verbs ('init --help',\n"
                 "'check --help' their options).\n"
                 "exit codes: 0 success, 1 the operation failed, 2 bad usage\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int i = localplatform::TakeConfigOption(argc, argv);
    if (i >= argc) {
        Usage(stderr);
        return 2;
    }
    const std::string group = argv[i];
    if (group == "--help" || group == "-h" || group == "help") {
        Usage(stdout);
        return 0;
    }
    if (platform::IsVersionOption(group)) return platform::PrintVersion("quellix-admin");
    // --config FILE may also come after the group or its verb
    // ("quellix-admin init --config FILE"): it is taken out before the
    // group reads its words.
    std::vector<char*> rest;
    for (int k = i + 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--config") == 0 && k + 1 < argc) {
            (void)localplatform::TakeConfigOption(argc, argv, k);
            ++k;
        } else {
            rest.push_back(argv[k]);
        }
    }
    rest.push_back(nullptr);
    for (const auto& g : admin::Groups()) {
        if (group == g.name) return g.run(static_cast<int>(rest.size()) - 1, rest.data());
    }
    std::fprintf(stderr, "quellix-admin: unknown %s '%s'\n",
                 group.starts_with('-') ? "option" : "group", group.c_str());
    Usage(stderr);
    return 2;
}
