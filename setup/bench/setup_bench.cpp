// setup_bench: filling both mailbox lists of the setup program from 30,000
// mailbox users (GetUsersWithMailboxes, one progress step per record), on
// the embedded directory and against a private slapd. Beside each figure it
// measures a floor in the same run: the bare directory search with the same
// query text and provider properties, every row's six columns read, no list
// rules. Prints figure, floor and their ratio.
//
// usage: setup_bench [--users N] [--runs R] [--skip-slapd]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "base/testing/temp_platform.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/testing/bench_directory.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "setup/core/directory_queries.h"

namespace {

namespace dir = localplatform::directory;
using platform::testing::MedianSeconds;

// The floor: the list query as it is, every column of every row read.
size_t BareSearch(const std::string& searchRoot) {
    platform::Connection cnn;
    setup::OpenDirectoryConnection(cnn);
    platform::Command cmd = setup::MakeDirectoryCommand(cnn, setup::MailboxListQuery(searchRoot),
                                                        setup::QueryKind::MailboxList);
    platform::Recordset rs = cmd.Execute();
    size_t rows = 0, bytes = 0;
    for (; !rs.Eof(); rs.MoveNext()) {
        for (const char* f : {"extensionAttribute8", "adspath", "cn", "msExchHomeServerName",
                              "mailNickName", "mail"}) {
            bytes += rs.Fields(f).Value().ToStringOrEmpty().size();
        }
        ++rows;
    }
    return bytes > 0 ? rows : 0;
}

// The figure: both lists filled, with a progress callback as the window has.
size_t FillLists(const std::string& searchRoot, size_t& listed) {
    platform::Connection cnn;
    setup::OpenDirectoryConnection(cnn);
    size_t steps = 0;
    const setup::MailboxLists lists =
        setup::GetUsersWithMailboxes(cnn, searchRoot, "mailsrv1", "",
                                     [&](const setup::Progress&, const std::string&) { ++steps; });
    listed = lists.registerList.size() + lists.unregisterList.size();
    return steps;
}

void Report(const char* what, double figure, double floor, double goal, size_t rows,
            size_t listed) {
    platform::testing::FloorLine(what, figure, floor)
        .Goal(goal)
        .FloorName("bare search")
        .Notes("records " + std::to_string(rows) + ", listed " + std::to_string(listed))
        .Print();
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv,
                                      "setup_bench [--users N] [--runs R] [--skip-slapd]");
    // Nine in ten users have a mailbox: about 30,000 mailbox users.
    const auto users = static_cast<size_t>(args.Number("--users", 33400, 1));
    const int runs = static_cast<int>(args.Number("--runs", 3, 1));
    const bool slapd = !args.Flag("--skip-slapd");
    if (auto exit = args.Done()) return *exit;
    setenv("LDB_MODULES_DISABLE_DEEPBIND", "1", 0);
    platform::testing::TempPlatform folder("quellix-setupbench-");
    const std::string& tmp = folder.Dir();
    int status = 0;
    try {
        const auto bench = dir::testing::MakeBenchDirectory(users, tmp);
        const std::vector<dir::Entry>& entries = bench.entries;
        std::printf("directory: %zu entries, %zu mailbox users; median of %d runs\n",
                    entries.size(), bench.mailboxUsers, runs);
        size_t rows = 0, floorRows = 0, listed = 0;
        const double floor = MedianSeconds(
            runs, [&] { return BareSearch("GC://mailsrv1.example.com"); }, floorRows);
        const double figure = MedianSeconds(
            runs, [&] { return FillLists("GC://mailsrv1.example.com", listed); }, rows);
        Report("embedded (ldb), both lists", figure, floor, 1.0, rows, listed);

        if (slapd && dir::testing::SlapdHarness::Available()) {
            const std::string ldif = tmp + "/directory.ldif";
            {
                std::ofstream out(ldif);
                for (const auto& e : entries) out << dir::ToLdif(e);
            }
            dir::testing::SlapdHarness::Options so;
            so.preloadLdif = ldif;
            dir::testing::SlapdHarness server(so);
            folder.Configure(server.ConfigLines());
            const double lfloor = MedianSeconds(
                runs, [&] { return BareSearch("GC://127.0.0.1"); }, floorRows);
            const double lfigure = MedianSeconds(
                runs, [&] { return FillLists("GC://127.0.0.1", listed); }, rows);
            Report("libldap to slapd, both lists", lfigure, lfloor, 3.0, rows, listed);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "setup_bench: %s\n", e.what());
        status = 1;
    }
    return status;
}
