#include "setup/cli/history_command.h"

#include <iostream>
#include <map>
#include <sstream>
#include <vector>

#include "base/date.h"
#include "base/exit_codes.h"
#include "base/strfuncs.h"
#include "platform/run_history.h"
#include "setup/cli/command_line.h"
#include "setup/cli/json_text.h"
#include "setup/core/setup_text.h"

namespace setup {

namespace {

using platform::kExitOk;
using platform::VisibleText;

// The folders of a run grouped by mailbox (without regard to case; a
// mailbox without an address by its name), each group in the order its
// first folder was recorded.
std::vector<std::vector<platform::RunFolderRecord>> ByMailbox(
    const std::vector<platform::RunFolderRecord>& folders) {
    std::vector<std::vector<platform::RunFolderRecord>> groups;
    std::map<std::string, size_t> index;
    for (const auto& f : folders) {
        const auto [it, added] = index.emplace(
            f.mailbox.empty() ? "\n" + f.name : platform::Lower(f.mailbox), groups.size());
        if (added) groups.emplace_back();
        groups[it->second].push_back(f);
    }
    return groups;
}

std::string RunJson(const platform::RunSummary& r,
                    const std::vector<platform::RunFolderRecord>& folders) {
    std::ostringstream out;
    out << "    {\"id\": " << r.id << ", \"item\": " << JsonString(r.itemUrl)
        << ", \"outcome\": " << JsonString(r.outcome) << ",\n"
        << "     \"started\": " << JsonString(UtcText(r.started))
        << ", \"startedUnix\": " << r.started
        << ", \"ended\": " << (r.ended ? JsonString(UtcText(*r.ended)) : "null")
        << ", \"endedUnix\": " << (r.ended ? std::to_string(*r.ended) : "null") << ",\n"
        << "     \"detail\": " << JsonString(r.detail)
        << ", \"parameters\": " << JsonString(r.parameters) << ", \"host\": " << JsonString(r.host)
        << ", \"pid\": " << r.pid << ",\n"
        << "     \"mailboxes\": " << r.mailboxes << ", \"deleted\": " << r.deleted
        << ", \"moved\": " << r.moved << ", \"bytes\": " << r.bytes << ", \"errors\": " << r.errors
        << ", \"putBack\": " << r.putBack
        << ", \"putBackAt\": " << (r.putBackAt ? JsonString(UtcText(*r.putBackAt)) : "null")
        << ",\n     \"folders\": [";
    for (size_t i = 0; i < folders.size(); ++i) {
        const auto& f = folders[i];
        out << (i ? ",\n" : "\n") << "       {\"mailbox\": " << JsonString(f.mailbox)
            << ", \"name\": " << JsonString(f.name) << ", \"url\": " << JsonString(f.url)
            << ", \"count\": " << f.count << ", \"bytes\": " << f.bytes
            << ", \"moved\": " << (f.moved ? "true" : "false")
            << ", \"error\": " << JsonString(f.error) << "}";
    }
    out << (folders.empty() ? "]}" : "\n     ]}");
    return out.str();
}

void PrintRun(const platform::RunSummary& r,
              const std::vector<platform::RunFolderRecord>& folders) {
    std::cout << "Run " << r.id << ": " << r.outcome << "\n"
              << "  Registration: " << VisibleText(r.itemUrl) << "\n"
              << "  Started: " << UtcText(r.started) << " (pid " << r.pid << " on " << r.host
              << ")\n"
              << "  Ended: " << (r.ended ? UtcText(*r.ended) : std::string("-")) << "\n";
    if (!r.detail.empty()) std::cout << "  Detail: " << VisibleText(r.detail) << "\n";
    if (!r.parameters.empty()) {
        std::cout << "  Parameters:\n";
        std::istringstream lines(r.parameters);
        for (std::string line; std::getline(lines, line);) std::cout << "    " << line << "\n";
    }
    std::cout << "  Mailboxes processed: " << r.mailboxes << "; messages deleted: " << r.deleted
              << ", moved: " << r.moved << "; bytes: " << r.bytes
              << "; folders failed: " << r.errors << "\n";
    if (r.putBack > 0) {
        std::cout << "  Put back by undo: " << r.putBack << " of " << r.moved << " moved ("
                  << (r.putBack >= r.moved ? "wholly" : "partly") << "), last "
                  << (r.putBackAt ? UtcText(*r.putBackAt) : std::string("-")) << "\n";
    }
    for (const auto& group : ByMailbox(folders)) {
        std::cout << "  " << RunMailboxName(group.front().mailbox, group.front().name) << "\n";
        for (const auto& f : group) {
            std::cout << "    " << VisibleText(f.url) << ": " << f.count
                      << (f.moved ? " moved, " : " deleted, ") << f.bytes << " bytes"
                      << (f.error.empty() ? "" : "; error: " + VisibleText(f.error)) << "\n";
        }
    }
}

}  // namespace

int HistoryCommand(size_t last, const std::string& mailbox, bool json) {
    const auto history = platform::RunHistoryReader::OpenCurrent();
    const auto runs = history.Runs(last, mailbox);
    if (json) {
        std::cout << "{\n  \"history\": " << JsonString(history.Path()) << ",\n  \"runs\": [";
        for (size_t i = 0; i < runs.size(); ++i) {
            std::cout << (i ? ",\n" : "\n")
                      << RunJson(runs[i], history.Folders(runs[i].id, mailbox));
        }
        std::cout << (runs.empty() ? "]\n}\n" : "\n  ]\n}\n");
        return kExitOk;
    }
    if (runs.empty()) {
        std::cout << "No run recorded" << (mailbox.empty() ? "" : " for " + mailbox) << " in "
                  << history.Path() << "\n";
        return kExitOk;
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        if (i) std::cout << "\n";
        PrintRun(runs[i], history.Folders(runs[i].id, mailbox));
    }
    return kExitOk;
}

}  // namespace setup
