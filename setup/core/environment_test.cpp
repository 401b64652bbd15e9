// Discovery and the refresh run under every test of the change (the roots
// in its steps, the proposal of the running account in its first window);
// here, the domain a share names.
#include "setup/core/environment.h"

#include <gtest/gtest.h>

namespace setup {
namespace {

TEST(StoreDomain, FirstShareEntryElseTheDomain) {
    EXPECT_EQ(StoreDomain({"Example.ORG", "other.org"}, "example.org"), "Example.ORG");
    EXPECT_EQ(StoreDomain({}, "example.org"), "example.org");
    EXPECT_EQ(StoreDomain({""}, "example.org"), "example.org");
}

}  // namespace
}  // namespace setup
