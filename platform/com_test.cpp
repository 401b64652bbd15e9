#include "platform/com.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "base/testing/temp_platform.h"

namespace platform {
namespace {

TEST(GuidText, RoundTripsAndRejectsMalformedText) {
    const GUID g = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    EXPECT_EQ(GuidToString(g), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    auto back = GuidFromString("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}");
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, g);
    for (const char* bad :
         {"", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",
          "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FG}", "{0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9}"}) {
        EXPECT_FALSE(GuidFromString(bad)) << bad;
    }
}

class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override { temp_.Configure(); }
    platform::testing::TempPlatform temp_{"com_test."};
    const std::string dir_ = temp_.Dir();
};

const CLSID kClsid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

TEST_F(ActivationTest, RegistryCallsWriteFindAndRemoveTheClass) {
    EXPECT_EQ(RegisterClassEntry({"Test.Cls", kClsid, "/nowhere/Test.so", "Apartment"}), S_OK);
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID("TEST.CLS", &found), S_OK);
    EXPECT_EQ(found, kClsid);
    EXPECT_EQ(UnregisterClassEntry(kClsid), S_OK);
    EXPECT_EQ(UnregisterClassEntry(kClsid), S_FALSE);
    EXPECT_EQ(CLSIDFromProgID("Test.Cls", &found), REGDB_E_CLASSNOTREG);
}

TEST_F(ActivationTest, ActivationFailuresReportByResultWithAReason) {
    void* object = reinterpret_cast<void*>(0x1);
    std::string why;
    EXPECT_EQ(CreateInstanceByProgId("Nobody.Cls", IID_IUnknown, &object, &why),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_NE(why.find("class not registered"), std::string::npos) << why;

    ASSERT_EQ(RegisterClassEntry({"Test.Cls", kClsid, dir_ + "/missing.so", "Apartment"}), S_OK);
    why.clear();
    EXPECT_EQ(CreateInstanceByProgId("Test.Cls", IID_IUnknown, &object, &why), CO_E_DLLNOTFOUND);
    EXPECT_NE(why.find("dlopen("), std::string::npos) << why;

    why.clear();
    EXPECT_EQ(CallModuleRegistration(dir_ + "/missing.so", false, &why), CO_E_DLLNOTFOUND);
    EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace platform
