#include "platform/com_admin.h"

#include <gtest/gtest.h>

#include <fstream>

#include "localplatform/catalog/component_catalog.h"
#include "localplatform/store/store_test_support.h"
#include "platform/com.h"

namespace platform {
namespace {

namespace cerr = localplatform::catalog_err;
using localplatform::testing::ErrorOf;

class ComAdminTest : public ::testing::Test {
protected:
    // A saved application named name; returns its ID.
    static std::string AddApplication(const std::string& name) {
        ComAdminCatalog catalog;
        auto apps = catalog.GetCollection("Applications");
        apps.Populate();
        auto& app = apps.Add();
        app.SetValue("Name", Variant(name));
        const std::string id = app.Value("ID").ToString();
        EXPECT_EQ(apps.SaveChanges(), 1);
        return id;
    }
    localplatform::testing::TempStore store_;
};

TEST_F(ComAdminTest, ApplicationsRoundTripThroughTheCatalog) {
    ComAdminCatalog catalog;
    auto apps = catalog.GetCollection("applications");
    apps.Populate();
    ASSERT_EQ(apps.Count(), 0);
    auto& app = apps.Add();
    EXPECT_TRUE(GuidFromString(app.Value("ID").ToString())) << app.Value("ID").ToString();
    EXPECT_EQ(app.Value("ApplicationAccessChecksEnabled"), Variant(true));  // the default
    EXPECT_EQ(app.Value("Identity"), Variant("Interactive User"));
    EXPECT_EQ(app.Value("Password"), Variant(""));
    app.SetValue("Name", Variant("Quellix"));
    app.SetValue("applicationaccesschecksenabled", Variant(false));
    app.SetValue("Identity", Variant("nobody"));
    app.SetValue("Password", Variant("s3cret"));
    EXPECT_EQ(app.Value("Password"), Variant(kPasswordMask));
    const Variant id = app.Key();

    // Nothing reaches the catalog before SaveChanges.
    auto other = ComAdminCatalog().GetCollection("Applications");
    other.Populate();
    EXPECT_EQ(other.Count(), 0);
    EXPECT_EQ(apps.SaveChanges(), 1);
    other.Populate();
    ASSERT_EQ(other.Count(), 1);
    auto& saved = other.Item(0);
    EXPECT_EQ(saved.Name(), "Quellix");
    EXPECT_EQ(saved.Value("ID"), id);
    EXPECT_EQ(saved.Value("ApplicationAccessChecksEnabled"), Variant(false));
    EXPECT_EQ(saved.Value("Identity"), Variant("nobody"));
    EXPECT_EQ(saved.Value("Password"), Variant(kPasswordMask));
    EXPECT_EQ(
        ErrorOf([&] { saved.SetValue("ID", Variant("{6B29FC40-CA47-1067-B31D-00DD010662DA}")); }),
        cerr::kObjectInvalid);

    // Removal by index, written by SaveChanges.
    other.Remove(0);
    EXPECT_EQ(other.Count(), 0);
    EXPECT_EQ(other.SaveChanges(), 1);
    apps.Populate();
    EXPECT_EQ(apps.Count(), 0);
}

TEST_F(ComAdminTest, BadCallsRaiseTheCatalogsNumbers) {
    const std::string id = AddApplication("Quellix");
    ComAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps.Populate();
    struct Case {
        const char* name;
        std::function<void()> call;
        int32_t want;
    } cases[] = {
        {"unknown collection", [&] { (void)catalog.GetCollection("Roles"); }, err::kInvalidArg},
        {"index past the end", [&] { (void)apps.Item(1); }, err::kInvalidArg},
        {"unknown property", [&] { (void)apps.Item(0).Value("Colour"); }, err::kInvalidArg},
        {"not a Boolean",
         [&] { apps.Item(0).SetValue("ApplicationAccessChecksEnabled", Variant("maybe")); },
         cerr::kObjectInvalid},
        {"same name in another case",
         [&] {
             apps.Add().SetValue("Name", Variant("QUELLIX"));
             apps.SaveChanges();
         },
         cerr::kApplicationExists},
        {"install into no application",
         [&] { catalog.InstallComponent("Nope", "/bin/true", "", ""); }, cerr::kKeyMissing},
        {"install a missing file",
         [&] { catalog.InstallComponent(id, store_.Dir() + "/Quellix.so", "", ""); },
         cerr::kCompFileDoesNotExist},
        {"install a type library", [&] { catalog.InstallComponent(id, "/bin/true", "x.tlb", ""); },
         err::kInvalidArg},
    };
    for (auto& c : cases) EXPECT_EQ(ErrorOf(c.call), c.want) << c.name;

    // A failed save keeps its changes pending and writes nothing.
    auto check = catalog.GetCollection("Applications");
    check.Populate();
    EXPECT_EQ(check.Count(), 1);
    EXPECT_EQ(apps.Count(), 2);
}

TEST_F(ComAdminTest, AFileThatIsNoModuleIsNotLoaded) {
    const std::string id = AddApplication("Quellix");
    const std::string file = store_.Dir() + "/Quellix.so";
    std::ofstream(file) << "not a module\n";
    ComAdminCatalog catalog;
    EXPECT_EQ(ErrorOf([&] { catalog.InstallComponent("quellix", file, "", ""); }),
              cerr::kCompFileLoadDllFail);
    auto apps = catalog.GetCollection("Applications");
    apps.Populate();
    auto components = apps.GetCollection("Components", apps.Item(0).Value("ID"));
    components.Populate();
    EXPECT_EQ(components.Count(), 0);
    EXPECT_EQ(ErrorOf([&] { (void)components.Add(); }), err::kInvalidArg);
}

}  // namespace
}  // namespace platform
