#include "setup/core/environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/core/apply_changes.h"
#include "setup/testing/setup_fixture.h"

namespace setup {
namespace {

using testing::Backend;
using Strings = std::vector<std::string>;

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

// Discovery names this server's roots, and a refresh with nothing installed
// proposes the account running setup in the directory's domain. (A missing
// module is driven through the window, which reads the log it leaves.)
TEST_P(EnvironmentTest, DiscoveryBuildsTheRootsAndProposesTheRunningUser) {
    SetupContext context;
    ASSERT_TRUE(DiscoverEnvironment(context).empty());
    EXPECT_EQ(context.ComputerName, "exch01.example.org");
    EXPECT_EQ(context.FolderURL, "http://exch01.example.org/exadmin/example.org/mbx");
    EXPECT_EQ(context.FileFolderURL, "file://./backofficestorage/example.org/mbx");
    EXPECT_EQ(context.strSearchRootLDAP, "LDAP://" + context.strSearchRoot.substr(5));
    ErrorLog log;
    const SetupStatus status = RefreshLists(context, "", "", "", log);
    EXPECT_EQ(status.state, InstallState::ReadyToInstall);
    EXPECT_EQ(status.identity, "example.org\\" + GetCurrentUserName());
    EXPECT_EQ(status.componentFile, moduleDir_ + "/Quellix.so");
    EXPECT_EQ(status.registration.SysMbxList, Strings{testing::SystemMailboxListEntry()});
    EXPECT_EQ(status.lists.registerList.size(), 2u);
    EXPECT_TRUE(log.Empty()) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Backends, EnvironmentTest, ::testing::Values(Backend::Ldb, Backend::Slapd),
                         [](const auto& info) {
                             return info.param == Backend::Ldb ? std::string("ldb")
                                                               : std::string("slapd");
                         });

}  // namespace
}  // namespace setup
