// Benchmark helper of the preview (driven by scripts/bench-sink.sh):
//   preview ITEM   the preview of a run of the registration item ITEM now
//   select ITEM    the delete run's selection alone: the same directory
//                  query, URL forms and sweep queries, and each selected row
//                  read as the run reads it before it deletes the message;
//                  the floor the preview is measured against
// Each prints the mailboxes, messages and bytes it found; neither changes
// anything.
#include <cstdio>
#include <optional>
#include <string>

#include "base/error_state.h"
#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "platform/ado.h"
#include "selection/folder_selection.h"
#include "selection/mailbox_selection.h"
#include "selection/run_parameters.h"
#include "selection/server_names.h"
#include "setup/core/preview.h"

namespace {

int Preview(const std::string& item) {
    const setup::RunPreview p = setup::PreviewRun(item, platform::Date::NowLocal(), false);
    platform::testing::ReportLine()
        .Add("mailboxes", p.mailboxes.size())
        .Add("messages", p.messages)
        .Add("bytes", p.bytes)
        .Print();
    return 0;
}

int Select(const std::string& item) {
    using namespace platform;
    quellix::ServerNames server;
    if (auto failure = quellix::FindServerNames(server)) throw *failure;
    const quellix::RunParameters p = quellix::ReadRunParametersOf(item);
    ErrorState err;
    const Date cutoff = quellix::RunCutoff(Date::NowLocal(), p.ageLimit, err);
    long long mailboxes = 0;
    long long messages = 0;
    (void)quellix::ForEachTreatedMailbox(
        p.searchRoot, server.ServerName, p.allMailboxes, [&](const quellix::MailboxRow& row) {
            ++mailboxes;
            for (const auto& [url, otherName] :
                 quellix::FolderUrlTries(row, server, p.folderName)) {
                ErrorState tried;
                if (tried.Run([&] {
                        messages += quellix::ForEachExpiredMessage(
                            url, cutoff, p.traversal, [](Recordset& rs) {
                                (void)quellix::ReadSelectedMessage(rs);
                                (void)rs.Fields("DAV:displayname").Value();
                                (void)rs.Fields("DAV:creationdate").Value();
                                (void)rs.Fields("DAV:getlastmodified").Value();
                            });
                    })) {
                    break;
                }
            }
        });
    platform::testing::ReportLine().Add("mailboxes", mailboxes).Add("messages", messages).Print();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv, "preview_bench preview|select ITEM");
    const std::string verb = args.Word().value_or("");
    const std::optional<std::string> item = args.Word();
    if (auto exit = args.Done()) return *exit;
    if (verb != "preview" && verb != "select") return args.Fail("no such verb '" + verb + "'");
    if (!item) return args.Fail("ITEM is needed");
    try {
        return verb == "preview" ? Preview(*item) : Select(*item);
    } catch (const platform::Error& e) {
        std::fprintf(stderr, "preview_bench: %s (%d)\n", e.Description().c_str(), e.Number());
        return 1;
    }
}
