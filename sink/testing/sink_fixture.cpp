#include "sink/testing/sink_fixture.h"

#include "sink/sweep.h"

namespace quellix::testing {

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
