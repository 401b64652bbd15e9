#include "setup/core/com_plus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "localplatform/catalog/component_catalog.h"
#include "localplatform/classes/class_registry.h"
#include "localplatform/store/store_test_support.h"
#include "platform/com_admin.h"

namespace setup {
namespace {

namespace cerr = localplatform::catalog_err;

TEST(ComPlusText, TheComponentAndTheConstructionString) {
    struct {
        const char* progId;
        bool want;
    } components[] = {
        {"Quellix.QuellixCls", true}, {"QuellixOther.Cls", false}, {"quellix.QuellixCls", false},
        {"Quellix", false},           {"Quellix.", true},          {"XQuellix.Cls", false}};
    for (const auto& c : components) {
        EXPECT_EQ(IsApplicationComponent(c.progId, "Quellix"), c.want) << c.progId;
    }
    struct {
        const char* text;
        const char* folder;
        const char* age;
    } strings[] = {{"Junk\r30", "Junk", "30"},
                   {" Inbox/Junk \r 7 ", "Inbox/Junk", "7"},
                   {"Junk 30", "", ""},
                   {"\r30", "", ""},  // the carriage return must stand at position 2 or later
                   {"J\r", "J", ""},
                   {"", "", ""}};
    for (const auto& s : strings) {
        const ConstructionParts parts = SplitConstructionString(s.text);
        EXPECT_EQ(parts.folder, s.folder) << s.text;
        EXPECT_EQ(parts.age, s.age) << s.text;
    }
}

class ComPlusTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(store_.Dir().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldCwd_.c_str()), 0); }

    // The module beside the "program", as an administrator unpacks it.
    void PutModuleInCurrentDirectory() {
        std::filesystem::copy_file(QUELLIX_MODULE_PATH, store_.Dir() + "/Quellix.so");
    }
    static localplatform::ComponentCatalog Catalog() {
        return localplatform::ComponentCatalog::OpenCurrent(true);
    }

    localplatform::testing::TempStore store_;
    std::string oldCwd_;
};

TEST_F(ComPlusTest, InstallsTheModuleOfTheCurrentDirectory) {
    PutModuleInCurrentDirectory();
    const std::string secret = "Blue-Harbour-77";
    EXPECT_FALSE(InstallComPlusApplication("Quellix", " nobody ", " " + secret + " ", "Junk\r30"));

    const auto app = Catalog().FindApplication("Quellix");
    ASSERT_TRUE(app);
    EXPECT_FALSE(app->accessChecksEnabled);
    EXPECT_EQ(app->identity, "nobody");  // trimmed
    EXPECT_TRUE(localplatform::VerifyPassword(secret, app->passwordHash));
    const auto components = Catalog().Components(app->id);
    ASSERT_EQ(components.size(), 1u);
    EXPECT_EQ(components[0].progId, "Quellix.QuellixCls");
    EXPECT_TRUE(components[0].constructionEnabled);
    EXPECT_EQ(components[0].constructorString, "Junk\r30");
    EXPECT_EQ(components[0].modulePath, std::filesystem::canonical("Quellix.so").string());
    EXPECT_TRUE(localplatform::ClassRegistry::OpenCurrent().FindByProgId("Quellix.QuellixCls"));

    const ComPlusCheck check = CheckComPlusApplication("Quellix", "Spam", "14");
    EXPECT_TRUE(check.exists);
    EXPECT_FALSE(check.error);
    EXPECT_EQ(check.identity, "nobody");
    EXPECT_EQ(check.constructionString, "Junk\r30");
    EXPECT_EQ(check.txtSpamFolder, "Junk");
    EXPECT_EQ(check.txtAgeLimit, "30");
}

TEST_F(ComPlusTest, AnIdentityWithoutPasswordSetsNeither) {
    PutModuleInCurrentDirectory();
    EXPECT_FALSE(InstallComPlusApplication("Quellix", "nobody", "   ", ""));
    const auto app = Catalog().FindApplication("Quellix");
    ASSERT_TRUE(app);
    EXPECT_EQ(app->identity, "Interactive User");  // the catalog's default
    EXPECT_EQ(app->passwordHash, "");
    // No construction string: the fields keep their text.
    const ComPlusCheck check = CheckComPlusApplication("Quellix", "Junk", "");
    EXPECT_TRUE(check.exists);
    EXPECT_EQ(check.constructionString, "");
    EXPECT_EQ(check.txtSpamFolder, "Junk");
    EXPECT_EQ(check.txtAgeLimit, "14");
}

TEST_F(ComPlusTest, AMissingModuleLeavesTheApplicationWithoutComponent) {
    const auto error = InstallComPlusApplication("Quellix", "nobody", "pw", "");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number, cerr::kCompFileDoesNotExist);
    EXPECT_EQ(error->where, "");
    EXPECT_NE(error->description.find(store_.Dir() + "/Quellix.so"), std::string::npos)
        << error->description;
    const auto app = Catalog().FindApplication("Quellix");
    ASSERT_TRUE(app);
    EXPECT_TRUE(Catalog().Components(app->id).empty());
    EXPECT_TRUE(CheckComPlusApplication("Quellix", "", "").exists);
}

TEST_F(ComPlusTest, OnlyTheApplicationsOwnComponentGivesTheConstructionString) {
    auto registry = localplatform::ClassRegistry::OpenCurrent(true);
    registry.Register(
        {"QuellixOther.Cls", "{0A000000-0000-0000-0000-000000000001}", "/m/a.so", "Both"});
    registry.Register(
        {"Quellix.QuellixCls", "{0A000000-0000-0000-0000-000000000002}", "/m/b.so", "Both"});
    auto catalog = Catalog();
    localplatform::CatalogApplication app;
    app.id = "{0B000000-0000-0000-0000-000000000001}";
    app.name = "quellix";
    catalog.SaveApplications({{localplatform::ApplicationChange::Kind::Add, app}});
    (void)catalog.InstallComponents(app.id, "/m/a.so");
    (void)catalog.InstallComponents(app.id, "/m/b.so");
    auto components = catalog.Components(app.id);
    ASSERT_EQ(components.size(), 2u);
    for (auto& c : components) {
        c.constructionEnabled = true;
        c.constructorString = c.progId == "QuellixOther.Cls" ? "Other\r1" : "Junk\r30";
    }
    catalog.SaveComponents(app.id, components, {});

    const ComPlusCheck check = CheckComPlusApplication("Quellix", "", "");
    EXPECT_TRUE(check.exists);  // "quellix" is found without regard to case
    EXPECT_EQ(check.txtSpamFolder, "Junk");
    EXPECT_EQ(check.txtAgeLimit, "30");

    // Construction disabled: the string is not taken.
    components[1].constructionEnabled = false;
    catalog.SaveComponents(app.id, components, {});
    EXPECT_EQ(CheckComPlusApplication("Quellix", "", "").txtSpamFolder, "Spam");

    // Removed by its name in another case; a second removal changes nothing.
    EXPECT_FALSE(RemoveComPlusApplication("QUELLIX"));
    EXPECT_TRUE(Catalog().Applications().empty());
    EXPECT_FALSE(RemoveComPlusApplication("Quellix"));
}

// Not installed, the check fills only the empty fields, also when the
// catalog cannot be opened, which it logs.
TEST_F(ComPlusTest, NotInstalledFillsOnlyEmptyFieldsAndAnUnopenableCatalogIsLogged) {
    std::filesystem::create_directory(store_.Dir() + "/catalog.db");  // not a database
    ComPlusCheck check = CheckComPlusApplication("Quellix", "", "");
    EXPECT_FALSE(check.exists);
    ASSERT_TRUE(check.error);
    EXPECT_EQ(check.error->where, "");
    EXPECT_NE(check.error->description.find("catalog.db"), std::string::npos);
    EXPECT_EQ(check.txtSpamFolder, "Spam");
    EXPECT_EQ(check.txtAgeLimit, "14");
    EXPECT_TRUE(RemoveComPlusApplication("Quellix"));
    EXPECT_TRUE(InstallComPlusApplication("Quellix", "", "", ""));

    std::filesystem::remove(store_.Dir() + "/catalog.db");
    check = CheckComPlusApplication("Quellix", "", "");
    EXPECT_FALSE(check.exists);
    EXPECT_FALSE(check.error);
    EXPECT_EQ(check.txtSpamFolder, "Spam");
    check = CheckComPlusApplication("Quellix", "Inbox/Junk", "3");
    EXPECT_EQ(check.txtSpamFolder, "Inbox/Junk");
    EXPECT_EQ(check.txtAgeLimit, "3");
}

}  // namespace
}  // namespace setup
