#include "setup/cli/undo_command.h"

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/exit_codes.h"
#include "isodate/iso_date.h"
#include "setup/cli/command_line.h"
#include "setup/cli/json_text.h"
#include "setup/core/directory_queries.h"
#include "setup/core/environment.h"
#include "setup/core/undo_move.h"

namespace setup {

namespace {

using platform::kExitFailed;
using platform::kExitOk;

// undo RUN-ID [--mailbox ADDRESS] [--json]: arguments from first on.
struct UndoArgs {
    int64_t run = 0;
    std::optional<std::string> mailbox;
    bool json = false;
};

std::optional<int> ParseUndoArgs(int argc, char** argv, int first, UndoArgs& args) {
    bool haveRun = false;
    for (int i = first; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            args.json = true;
        } else if (a == "--mailbox") {
            if (i + 1 >= argc) return UsageError("--mailbox needs an e-mail address");
            args.mailbox = argv[++i];
        } else if (a.starts_with('-')) {
            return UsageError("unknown option " + a + " for undo");
        } else if (haveRun) {
            return UsageError("unexpected argument \"" + a + "\" for undo");
        } else {
            // A run id: a whole number from 1 up, nothing else.
            const bool digits = !a.empty() && a.size() <= 18 &&
                                a.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoll(a) == 0)
                return UsageError("undo \"" + a + "\": a run id is a whole number from 1 up");
            args.run = std::stoll(a);
            haveRun = true;
        }
    }
    if (!haveRun) return UsageError("undo needs the id of a move run");
    return std::nullopt;
}

// The mailbox alias of an address, through the directory; an exit code when
// there is none.
std::optional<int> ResolveMailbox(const std::string& address, std::string& alias) {
    SetupContext context;
    const std::vector<ErrorEntry> discovery = DiscoverEnvironment(context);
    if (!discovery.empty()) {
        ErrorLog log;
        for (const auto& e : discovery) log.Prepend(e);
        std::cerr << "quellix-setup: the directory could not be reached to look up " << address
                  << "; check the platform configuration\n";
        PrintLog(log);
        return kExitFailed;
    }
    const auto found = MailboxAliasOf(context.cnn, context.strSearchRoot, address);
    if (!found) {
        std::cerr << "quellix-setup: no mailbox user of the directory has the address " << address
                  << "\n";
        return kExitFailed;
    }
    alias = *found;
    return std::nullopt;
}

int Undo(const UndoArgs& args) {
    std::optional<std::string> alias;
    if (args.mailbox) {
        std::string a;
        if (auto code = ResolveMailbox(*args.mailbox, a)) return *code;
        alias = a;
    }
    using R = UndoLine::Result;
    // Each message is told when it is done: a large run is never held whole.
    size_t told = 0;
    const auto openJson = [&] {
        if (told++ > 0) return;
        std::cout << "{\n  \"run\": " << args.run << ",\n"
                  << "  \"mailbox\": " << (args.mailbox ? JsonString(*args.mailbox) : "null")
                  << ",\n  \"messages\": [";
    };
    const auto tell = [&](const UndoLine& l) {
        if (args.json) {
            const bool first = told == 0;
            openJson();
            std::cout << (first ? "" : ",") << "\n    {\"source\": " << JsonString(l.sourceUrl)
                      << ", \"destination\": " << JsonString(l.destinationUrl)
                      << ", \"size\": " << l.size << ", \"received\": "
                      << (l.received ? JsonString(ISODate::FormatIsoDate(*l.received)) : "null")
                      << ", \"putBack\": " << (l.result == R::PutBack ? "true" : "false")
                      << ", \"result\": " << JsonString(UndoResultText(l));
            if (!l.putBackUrl.empty()) std::cout << ", \"putBackAs\": " << JsonString(l.putBackUrl);
            std::cout << "}";
            return;
        }
        std::ostream& out = l.result == R::Failed ? std::cerr : std::cout;
        if (l.result == R::PutBack) {
            out << "Put back: " << l.sourceUrl;
            if (!l.putBackUrl.empty()) out << " as " << l.putBackUrl << " (the name was taken)";
        } else if (l.result == R::AlreadyPutBack) {
            out << "Already put back: " << l.sourceUrl;
        } else {
            out << "Not put back: " << l.sourceUrl << " (" << l.destinationUrl
                << "): " << UndoResultText(l);
        }
        out << "; " << l.size << " bytes";
        if (l.received) out << ", received " << platform::GeneralDateText(*l.received) << " UTC";
        out << "\n";
    };
    const UndoReport report = UndoMoveRun(args.run, alias, tell);
    if (!report.runKnown) {
        std::cerr << "quellix-setup: run " << args.run;
        switch (report.kind) {
            case RunKind::Delete:
                std::cerr << " was a delete run: what it deleted is gone, and a delete run "
                             "cannot be undone\n";
                break;
            case RunKind::Move:
                std::cerr << " moved no message that is still recorded: it moved nothing, or "
                             "its entries were forgotten (store.move_manifest_keep_days)\n";
                break;
            case RunKind::Unknown:
                std::cerr << " is unknown: neither the store nor the run history knows it\n";
                break;
        }
        return kExitFailed;
    }
    const size_t failed = report.Count(R::Failed);
    const size_t putBack = report.Count(R::PutBack);
    const size_t already = report.Count(R::AlreadyPutBack);
    const size_t left = report.messages - putBack - already - failed;
    if (args.json) {
        const bool none = told == 0;
        openJson();
        std::cout << (none ? "" : "\n  ") << "],\n"
                  << "  \"totals\": {\"messages\": " << report.messages
                  << ", \"putBack\": " << putBack << ", \"alreadyPutBack\": " << already
                  << ", \"notPutBack\": " << left << ", \"failed\": " << failed << "},\n"
                  << "  \"recordedInHistory\": " << (report.recorded ? "true" : "false") << "\n}\n";
    } else {
        std::cout << "Run " << report.run << (args.mailbox ? ", mailbox " + *args.mailbox : "")
                  << ": " << report.messages << " moved, " << putBack << " put back, " << already
                  << " already put back, " << left << " not put back, " << failed << " failed\n";
    }
    if (!report.recordFailure.empty()) {
        std::cerr << "quellix-setup: the run history could not record what was put back: "
                  << report.recordFailure << "\n";
        return kExitFailed;
    }
    if (putBack > 0 && !report.recorded) {
        std::cerr << "quellix-setup: the run history has no run " << report.run
                  << ": what was put back is not recorded there\n";
    }
    return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int UndoCommand(int argc, char** argv, int first) {
    UndoArgs undo;
    if (auto code = ParseUndoArgs(argc, argv, first, undo)) return *code;
    try {
        return Undo(undo);
    } catch (const std::exception& e) {
        std::cerr << "quellix-setup: undo of run " << undo.run << " failed: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace setup
