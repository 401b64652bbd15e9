// What the sink's tests add to the server they share with the setup
// program's tests: the state of a run (its log, its record, the thread's kept
// state) on this fixture's server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "selection/testing/server_fixture.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_record.h"

namespace quellix::testing {

// A mailbox user of this fixture's server whose account is its alias; mark
// is its extensionAttribute8, left out when absent.
inline User MailUser(const std::string& cn, const std::string& alias, const std::string& mail,
                     std::optional<std::string> mark = std::nullopt) {
    return {.cn = cn, .account = alias, .alias = alias, .mail = mail, .mark = std::move(mark)};
}

// Runs this test program again, as a child with env set, on the one test
// filter names (the child half of a crash test, named *Child), and waits
// for it. Returns its exit status, or -1 when it did not exit.
int RunChildTest(const std::string& filter,
                 const std::vector<std::pair<std::string, std::string>>& env);

// The registration most runs of the sink's tests start from: Spam of the
// marked mailboxes on this fixture's server, older than 14 days, every day,
// no subfolders, the report to admin@example.org; nothing moved.
registration::OnTimerRegistration RunParams();

// The names of the mailboxes a run's log says it treated, in its order.
std::vector<std::string> TreatedMailboxes(const std::string& log);

class SinkFixture : public ServerFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Empties the thread's kept state, then sets the server fields as a run
    // on this fixture's server would; then NewRun().
    void ResetRunState();
    // A fresh run: a new log (not open yet: its first entry creates the
    // file afresh) and no destination; the thread's kept state stays.
    void NewRun();
    RunLog& Log() { return *log_; }
    // The selection's line writer onto Log().
    LogLine LogWriter() {
        return [this](const std::string& line) { WriteLog(*log_, line); };
    }
    RunState& TheRun() { return *run_; }
    RunRecord& Record() { return *record_; }
    ThreadState thread_;  // what the test's thread keeps from run to run
    std::unique_ptr<RunLog> log_;
    std::unique_ptr<RunRecord> record_;  // the run's record; begun by RunCleanup
    std::unique_ptr<RunState> run_;
};

}  // namespace quellix::testing
