// setup_window_bench: the main window filled from 30,000 mailbox users on
// the embedded directory. The figure is the time from showing the window to
// both lists filled and shown (the first refresh, with the progress bar
// painted and events processed during the fill); the floor, measured in the
// same run, is the bare fill of both lists by the core operation with no
// window. It also reports the longest time the window went without handling
// its events during the fill (a timer asks every 5 ms), which tells whether
// the window stayed responsive.
//
// usage: setup_window_bench [--users N] [--runs R]   (offscreen unless a
// display is set through QT_QPA_PLATFORM)
#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
#include "setup/core/directory_queries.h"
#include "setup/windows/install_form.h"

namespace {

namespace dir = localplatform::directory;
using Clock = platform::testing::BenchClock;
using platform::testing::Median;
using platform::testing::SecondsSince;

// The floor: both lists filled by the core alone.
double BareFill(size_t& listed) {
    const auto start = Clock::now();
    platform::Connection cnn;
    setup::OpenDirectoryConnection(cnn);
    const setup::MailboxLists lists =
        setup::GetUsersWithMailboxes(cnn, "GC://mailsrv1.example.com", "mailsrv1", "",
                                     [](const setup::Progress&, const std::string&) {});
    listed = lists.registerList.size() + lists.unregisterList.size();
    return SecondsSince(start);
}

struct WindowRun {
    double seconds = 0;
    qint64 longestGapMs = 0;
    size_t listed = 0;
};

// The figure: the window shown, refreshed at its first activation, lists
// filled; a 5 ms timer measures the longest pause between event rounds.
WindowRun WindowFill() {
    WindowRun run;
    const auto start = Clock::now();
    auto* form = new setup::windows::InstallForm();
    QElapsedTimer gap;
    gap.start();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &ticker,
                     [&] { run.longestGapMs = std::max(run.longestGapMs, gap.restart()); });
    ticker.start(5);
    form->show();
    while (!form->State()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    run.seconds = SecondsSince(start);
    run.listed = static_cast<size_t>(form->MbxInstList->count()) +
                 static_cast<size_t>(form->MbxUninstList->count());
    ticker.stop();
    delete form;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    platform::testing::BenchArgs args(argc, argv, "setup_window_bench [--users N] [--runs R]");
    // Nine in ten users have a mailbox: about 30,000 mailbox users.
    const auto users = static_cast<size_t>(args.Number("--users", 33400, 1));
    const int runs = static_cast<int>(args.Number("--runs", 3, 1));
    if (auto exit = args.Done()) return *exit;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("LDB_MODULES_DISABLE_DEEPBIND", "1", 0);
    const platform::testing::TempPlatform folder("quellix-windowbench-");
    int status = 0;
    try {
        const auto bench = dir::testing::MakeBenchDirectory(users, folder.Dir());
        const std::vector<dir::Entry>& entries = bench.entries;
        const size_t mailboxUsers = bench.mailboxUsers;
        QApplication app(argc, argv);

        std::vector<double> floors, figures;
        qint64 longestGap = 0;
        size_t listed = 0, windowListed = 0;
        for (int i = 0; i < runs; ++i) {
            floors.push_back(BareFill(listed));
            const WindowRun w = WindowFill();
            figures.push_back(w.seconds);
            longestGap = std::max(longestGap, w.longestGapMs);
            windowListed = w.listed;
        }
        const double floor = Median(floors), figure = Median(figures);
        std::printf("directory: %zu entries, %zu mailbox users; median of %d runs\n",
                    entries.size(), mailboxUsers, runs);
        platform::testing::FloorLine("window filled (embedded ldb)", figure, floor)
            .Goal(3.0)
            .FloorName("bare fill")
            .Notes("listed " + std::to_string(windowListed) + " (bare " + std::to_string(listed) +
                   ")  longest pause in events " + std::to_string(longestGap) + " ms")
            .Print();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "setup_window_bench: %s\n", e.what());
        status = 1;
    }
    return status;
}
