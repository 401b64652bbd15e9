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

TEST_F(ClassRegistryTest, RegisteredClassIsFoundByProgIdAndClsidWithoutRegardToCase) {
    auto reg = ClassRegistry::Open(Path());
    reg.Register(kSink);
    auto byProgId = reg.FindByProgId("quellix.quelLIXcls");
    ASSERT_TRUE(byProgId);
    EXPECT_EQ(byProgId->progId, "Quellix.QuellixCls");
    EXPECT_EQ(byProgId->modulePath, "/opt/quellix/Quellix.so");
    EXPECT_EQ(byProgId->threadingModel, "Apartment");
    auto byClsid = reg.FindByClsid("{0a1b2c3d-0000-4000-8000-00000000000a}");
    ASSERT_TRUE(byClsid);
    EXPECT_EQ(byClsid->clsid, kSink.clsid);
    EXPECT_FALSE(reg.FindByProgId("Other.Cls"));
}

TEST_F(ClassRegistryTest, RegisteringAgainReplacesTheRowAndSurvivesReopening) {
    {
        auto reg = ClassRegistry::Open(Path());
        reg.Register(kSink);
        ClassRow moved = kSink;
        moved.modulePath = "/usr/lib/quellix/Quellix.so";
        reg.Register(moved);
    }
    auto reg = ClassRegistry::Open(Path());
    auto rows = reg.List();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].modulePath, "/usr/lib/quellix/Quellix.so");
}

TEST_F(ClassRegistryTest, ProgIdRegisteredToAnotherClassMovesToTheNewClass) {
    auto reg = ClassRegistry::Open(Path());
    reg.Register(kSink);
    ClassRow other = kSink;
    other.clsid = "{0A1B2C3D-0000-4000-8000-00000000000B}";
    reg.Register(other);
    EXPECT_FALSE(reg.FindByClsid(kSink.clsid));
    ASSERT_TRUE(reg.FindByProgId(kSink.progId));
    EXPECT_EQ(reg.FindByProgId(kSink.progId)->clsid, other.clsid);
}

TEST_F(ClassRegistryTest, UnregisterRemovesOnlyThatClassAndReportsAbsence) {
    auto reg = ClassRegistry::Open(Path());
    reg.Register(kSink);
    reg.Register({"Other.Cls", "{0A1B2C3D-0000-4000-8000-0000000000FF}", "/x.so", "Both"});
    EXPECT_TRUE(reg.Unregister(kSink.clsid));
    EXPECT_FALSE(reg.Unregister(kSink.clsid));
    auto rows = reg.List();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].progId, "Other.Cls");
}

TEST_F(ClassRegistryTest, TwoHandlesOnOneFileSeeEachOthersWrites) {
    auto a = ClassRegistry::Open(Path());
    auto b = ClassRegistry::Open(Path());
    a.Register(kSink);
    EXPECT_TRUE(b.FindByProgId(kSink.progId));
    EXPECT_TRUE(b.Unregister(kSink.clsid));
    EXPECT_FALSE(a.FindByProgId(kSink.progId));
}

TEST_F(ClassRegistryTest, BadInputRaisesPlatformErrors) {
    auto reg = ClassRegistry::Open(Path());
    EXPECT_THROW(reg.Register({"", kSink.clsid, "/x.so", "Apartment"}), platform::Error);
    EXPECT_THROW(reg.Register({"A.B", "", "/x.so", "Apartment"}), platform::Error);

    // A file that is not a database.
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
