// setup_bench: filling both mailbox lists of the setup program from 30,000
// mailbox users (GetUsersWithMailboxes, one progress step per record), on
// the embedded directory and against a private slapd. Beside each figure it
// measures a floor in the same run: the bare directory search with the same
// query text and provider properties, every row's six columns read, no list
// rules. Prints figure, floor and their ratio.
//
// usage: setup_bench [--users N] [--runs R] [--skip-slapd]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/testing/bench_timing.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/testing/bench_directory.h"
#include "localplatform/directory/testing/slapd_harness.h"
#include "setup/core/directory_queries.h"

namespace {

namespace dir = localplatform::directory;
using Clock = std::chrono::steady_clock;

using platform::testing::SecondsSince;

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
    std::printf(
        "%-38s %7.3f s  (goal < %.1f s, %s)  bare search %7.3f s  ratio %5.2f  "
        "records %zu, listed %zu\n",
        what, figure, goal, figure < goal ? "met" : "MISSED", floor,
        floor > 0 ? figure / floor : 0.0, rows, listed);
}

}  // namespace

int main(int argc, char** argv) {
    size_t users = 33400;  // nine in ten users have a mailbox: about 30,000 mailbox users
    int runs = 3;
    bool slapd = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--users") == 0 && i + 1 < argc) {
            users = std::strtoul(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--skip-slapd") == 0) {
            slapd = false;
        } else {
            std::fprintf(stderr, "usage: setup_bench [--users N] [--runs R] [--skip-slapd]\n");
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    setenv("LDB_MODULES_DISABLE_DEEPBIND", "1", 0);
    const std::string tmp = (std::filesystem::temp_directory_path() /
                             ("quellix-setupbench-" + std::to_string(getpid())))
                                .string();
    std::filesystem::create_directories(tmp);
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
            const std::string ldapConf = tmp + "/ldap.conf";
            std::ofstream(ldapConf) << "state_dir = " << tmp << "\n" << server.ConfigLines();
            setenv("QUELLIX_CONFIG", ldapConf.c_str(), 1);
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
    std::filesystem::remove_all(tmp);
    return status;
}
