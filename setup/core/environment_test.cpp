#include "setup/core/environment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/strfuncs.h"
#include "setup/core/apply_changes.h"
#include "setup/testing/setup_fixture.h"

namespace setup {
namespace {

using testing::Backend;
using Strings = std::vector<std::string>;

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(part, p)) != std::string::npos; p += part.size()) ++n;
    return n;
}

TEST(StoreDomain, FirstShareEntryElseTheDomain) {
    EXPECT_EQ(StoreDomain({"Example.ORG", "other.org"}, "example.org"), "Example.ORG");
    EXPECT_EQ(StoreDomain({}, "example.org"), "example.org");
    EXPECT_EQ(StoreDomain({""}, "example.org"), "example.org");
}

class EnvironmentTest : public testing::SetupFixture,
                        public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        SetupFixture::SetUp();
        if (!LoadDirectory(
                {{.cn = "Ann Lee", .account = "alee", .alias = "ann", .mail = "ann@example.org"},
                 {.cn = "Runner",
                  .account = GetCurrentUserName(),
                  .alias = "runner",
                  .mail = "runner@example.org"}},
                GetParam())) {
            GTEST_SKIP() << "slapd is not installed";
        }
    }
};

TEST_P(EnvironmentTest, DiscoveryBuildsTheRoots) {
    SetupContext context;
    EXPECT_TRUE(DiscoverEnvironment(context).empty());
    EXPECT_EQ(context.ShortComputerName, "exch01");
    EXPECT_EQ(context.DomainDNSName, "example.org");
    EXPECT_EQ(context.ComputerName, "exch01.example.org");
    EXPECT_EQ(context.FolderURL, "http://exch01.example.org/exadmin/example.org/mbx");
    EXPECT_EQ(context.FileFolderURL, "file://./backofficestorage/example.org/mbx");
    EXPECT_EQ(context.strSearchRoot.rfind("GC://", 0), 0u);
    EXPECT_EQ(context.strSearchRootLDAP, "LDAP://" + context.strSearchRoot.substr(5));
    EXPECT_EQ(context.cnn.State(), platform::adStateOpen);
    EXPECT_TRUE(platform::EqualsNoCase(context.cnn1.Provider(), "ExOLEDB.DataSource"));
}

TEST_P(EnvironmentTest, ReadyToInstallProposesTheRunningUser) {
    SetupContext context;
    ASSERT_TRUE(DiscoverEnvironment(context).empty());
    ErrorLog log;
    const SetupStatus status = RefreshLists(context, "", "", "", log);
    EXPECT_EQ(status.state, InstallState::ReadyToInstall);
    EXPECT_EQ(status.identity, "example.org\\" + GetCurrentUserName());
    EXPECT_EQ(status.componentFile, moduleDir_ + "/Quellix.so");
    EXPECT_EQ(status.registration.SysMbxList, Strings{testing::SystemMailboxListEntry()});
    EXPECT_EQ(status.registration.result, 0);
    // No registration: the defaults.
    EXPECT_EQ(status.controls.txtSpamFolder, "Spam");
    EXPECT_EQ(status.controls.txtAgeLimit, "14");
    EXPECT_EQ(status.lists.registerList.size(), 2u);
    EXPECT_TRUE(log.Empty()) << log.Text();
}

TEST_P(EnvironmentTest, AMissingModuleLeavesExactlyOneEntryPerRefresh) {
    std::filesystem::remove(moduleDir_ + "/Quellix.so");
    SetupContext context;
    ASSERT_TRUE(DiscoverEnvironment(context).empty());
    ErrorLog log;
    SetupStatus status = RefreshLists(context, "", "", "", log);
    EXPECT_EQ(status.state, InstallState::DllMissing);
    EXPECT_TRUE(status.identity.empty());
    const std::string entry =
        "] File " + moduleDir_ + "/Quellix.so not found. COM+ object installation is impossible.";
    EXPECT_EQ(Count(log.Text(), entry), 1u) << log.Text();
    EXPECT_EQ(log.Text().front(), '[');

    // A CHANGE empties the log and refreshes once.
    WindowValues w = WindowAfterRefresh(status);
    EXPECT_FALSE(w.Check1);
    const ChangeResult r = ApplyChanges(context, w, {}, log);
    EXPECT_EQ(r.steps, Strings{"RefreshLists"});
    EXPECT_EQ(Count(log.Text(), entry), 1u) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Backends, EnvironmentTest, ::testing::Values(Backend::Ldb, Backend::Slapd),
                         [](const auto& info) {
                             return info.param == Backend::Ldb ? std::string("ldb")
                                                               : std::string("slapd");
                         });

}  // namespace
}  // namespace setup
