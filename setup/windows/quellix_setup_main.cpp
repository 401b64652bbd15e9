// QuellixSetup: the setup program's windows. It opens with the disclaimer;
// after "Yes" the main window discovers the server, shows the installation
// state, the parameters and the mailbox lists, and its CHANGE command
// installs or removes the component application, writes the registration
// and marks mailboxes.
//
// Runs with the privileges of the administrator who starts it, who must be
// able to write the store, the component catalog and the directory.
// Untrusted input: what the administrator types (the age limit is held to
// digits, the report recipient checked, values reach directory queries only
// through the directory layer's quoting) and the directory's and store's
// contents, shown as text. The password goes to the catalog, which keeps a
// salted hash only; it is never shown.
#include <QApplication>
#include <cstring>
#include <iostream>
#include <string>

#include "base/exit_codes.h"
#include "base/version.h"
#include "platform/system.h"
#include "setup/core/com_plus.h"
#include "setup/windows/disclaimer.h"

namespace {

constexpr const char* kUsage =
    "usage: QuellixSetup [--config FILE] [--module PATH] [Qt options such as -platform "
    "offscreen]\n"
    "       QuellixSetup --version\n"
    "\n"
    "The setup program's windows: a disclaimer, then the main window that installs\n"
    "or removes the component application Quellix, sets the cleanup parameters and\n"
    "the schedule, and registers or unregisters mailboxes; the CHANGE button applies\n"
    "everything at once.\n"
    "\n"
    "--module PATH names the component module; without it the module is the\n"
    "installed one (/usr/lib/quellix/Quellix.so from the packages), or, where\n"
    "none is installed, the file Quellix.so in the current directory.\n"
    "\n"
    "The platform configuration comes from --config, else $QUELLIX_CONFIG, else\n"
    "/etc/quellix/platform.conf. Without a display, run it under xvfb-run or with\n"
    "QT_QPA_PLATFORM=offscreen.\n"
    "exit codes: 0 closed normally, 2 bad usage, 1 the window system could not start\n";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage;
            return platform::kExitOk;
        }
        if (platform::IsVersionOption(argv[i])) return platform::PrintVersion("QuellixSetup");
    }
    int first = platform::TakeConfigOption(argc, argv, 1);
    if (first < argc && std::strcmp(argv[first], "--module") == 0) {
        if (first + 1 >= argc || argv[first + 1][0] == '\0') {
            std::cerr << "QuellixSetup: --module needs the path of Quellix.so\n"
                      << "Run 'QuellixSetup --help' for the options.\n";
            return platform::kExitUsage;
        }
        setup::SetComponentFile(argv[first + 1]);
        first = platform::TakeConfigOption(argc, argv, first + 2);
    }
    if (first < argc && std::strcmp(argv[first], "--config") == 0) {
        std::cerr << "QuellixSetup: --config needs a FILE\n"
                  << "Run 'QuellixSetup --help' for the options.\n";
        return platform::kExitUsage;
    }
    // Qt takes its own options (-platform, -style, ...) out of the rest.
    int qtArgc = argc - first + 1;
    std::vector<char*> qtArgv{argv[0]};
    for (int i = first; i < argc; ++i) qtArgv.push_back(argv[i]);
    qtArgv.push_back(nullptr);
    QApplication app(qtArgc, qtArgv.data());
    if (app.arguments().size() > 1) {
        std::cerr << "QuellixSetup: unknown argument \"" << app.arguments().at(1).toStdString()
                  << "\"\n"
                  << "Run 'QuellixSetup --help' for the options.\n";
        return platform::kExitUsage;
    }
    auto* disclaimer = new setup::windows::Disclaimer();
    disclaimer->show();
    return app.exec();
}
