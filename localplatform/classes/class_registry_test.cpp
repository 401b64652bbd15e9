#include "localplatform/classes/class_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "base/testing/temp_platform.h"

namespace localplatform {
namespace {

class ClassRegistryTest : public ::testing::Test {
protected:
    std::string Path() const { return temp_.Dir() + "/classes.db"; }
    platform::testing::TempPlatform temp_{"class_registry_test."};
};

const ClassRow kSink{"Quellix.QuellixCls", "{0A1B2C3D-0000-4000-8000-00000000000A}",
                     "/opt/quellix/Quellix.so", "Apartment"};

// A class is found by ProgID or CLSID in any case, through any handle on
// the file; registering it again replaces its row, a ProgID registered to
// another class moves to it, and unregistering removes that class alone.
// A row without a ProgID or CLSID is refused.
TEST_F(ClassRegistryTest, ClassesAreFoundReplacedMovedAndRemoved) {
    auto reg = ClassRegistry::Open(Path());
    EXPECT_THROW(reg.Register({"", kSink.clsid, "/x.so", "Apartment"}), platform::Error);
    EXPECT_THROW(reg.Register({"A.B", "", "/x.so", "Apartment"}), platform::Error);
    reg.Register(kSink);
    reg.Register({"Other.Cls", "{0A1B2C3D-0000-4000-8000-0000000000FF}", "/x.so", "Both"});
    {
        auto other = ClassRegistry::Open(Path());
        auto found = other.FindByProgId("quellix.quelLIXcls");
        ASSERT_TRUE(found);
        EXPECT_EQ(found->progId + " " + found->modulePath + " " + found->threadingModel,
                  "Quellix.QuellixCls /opt/quellix/Quellix.so Apartment");
        ASSERT_TRUE(other.FindByClsid("{0a1b2c3d-0000-4000-8000-00000000000a}"));
        EXPECT_FALSE(other.FindByProgId("Nobody.Cls"));
    }
    ClassRow moved = kSink;
    moved.modulePath = "/usr/lib/quellix/Quellix.so";
    reg.Register(moved);
    EXPECT_EQ(ClassRegistry::Open(Path()).List().size(), 2u);
    EXPECT_EQ(reg.FindByProgId(kSink.progId)->modulePath, moved.modulePath);

    moved.clsid = "{0A1B2C3D-0000-4000-8000-00000000000B}";
    reg.Register(moved);
    EXPECT_FALSE(reg.FindByClsid(kSink.clsid));
    EXPECT_EQ(reg.FindByProgId(kSink.progId)->clsid, moved.clsid);

    EXPECT_TRUE(reg.Unregister(moved.clsid));
    EXPECT_FALSE(reg.Unregister(moved.clsid));
    const auto rows = ClassRegistry::Open(Path()).List();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].progId, "Other.Cls");
}

TEST_F(ClassRegistryTest, AFileThatIsNotADatabaseRaisesAPlatformError) {
    const std::string junk = temp_.Dir() + "/junk.db";
    std::ofstream(junk) << "this is not a database file, just some text long enough to matter";
    try {
        auto bad = ClassRegistry::Open(junk);
        (void)bad.List();
        FAIL() << "no error for a corrupt registry";
    } catch (const platform::Error& e) {
        EXPECT_NE(e.Number(), 0);
        EXPECT_NE(e.Description().find("failed:"), std::string::npos) << e.Description();
    }
}

}  // namespace
}  // namespace localplatform
