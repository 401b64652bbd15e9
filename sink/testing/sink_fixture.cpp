#include "sink/testing/sink_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "sink/sweep.h"

namespace quellix::testing {

int RunChildTest(const std::string& filter,
                 const std::vector<std::pair<std::string, std::string>>& env) {
    const std::string filterArg = "--gtest_filter=" + filter;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // A fresh process image: no store handle of this one crosses the fork.
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        execl("/proc/self/exe", "child", filterArg.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

registration::OnTimerRegistration RunParams() {
    registration::OnTimerRegistration r;
    r.searchRoot = kSearchRoot;
    r.folderName = "Spam";
    r.expirationPeriod = 14;
    r.run = 1;
    r.reportRecipient = "admin@example.org";
    r.allMailboxes = "0";
    r.includeSubfolders = "0";
    return r;
}

std::vector<std::string> TreatedMailboxes(const std::string& log) {
    std::vector<std::string> out;
    for (const auto& line : LogLines(log)) {
        if (line.starts_with("Mailbox: ")) out.push_back(line.substr(9));
    }
    return out;
}

void SinkFixture::SetUp() {
    ServerFixture::SetUp();
    if (HasFatalFailure()) return;
    ResetRunState();
}

void SinkFixture::ResetRunState() {
    SetMoveFaultHook(nullptr);
    thread_ = ThreadState{};
    thread_.server.StoreDomain = kNamespace;
    thread_.server.ServerName = kServer;
    thread_.server.ServerFqdn = kFqdn;
    thread_.server.StoreFileBase = std::string("file://./backofficestorage/") + kNamespace + "/mbx";
    thread_.server.StoreHttpBase =
        std::string("http://") + kFqdn + "/exadmin/" + kNamespace + "/mbx";
    NewRun();
}

void SinkFixture::NewRun() {
    // The old log goes first: it releases the run lock the new one takes.
    run_.reset();
    record_.reset();
    log_.reset();
    log_ = std::make_unique<RunLog>();
    record_ = std::make_unique<RunRecord>();
    run_ = std::make_unique<RunState>(RunState{*log_, thread_, *record_, {}});
}

void SinkFixture::TearDown() {
    SetMoveFaultHook(nullptr);
    run_.reset();
    record_.reset();
    log_.reset();
    ServerFixture::TearDown();
}

}  // namespace quellix::testing
