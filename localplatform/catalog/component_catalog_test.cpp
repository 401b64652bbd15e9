#include "localplatform/catalog/component_catalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "base/testing/file_text.h"
#include "localplatform/classes/class_registry.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/store_test_support.h"

namespace localplatform {
namespace {

using Kind = ApplicationChange::Kind;

constexpr const char* kAppId = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
constexpr const char* kOtherId = "{6B29FC40-CA47-1067-B31D-00DD010662DB}";

CatalogApplication App(const char* id, const char* name) {
    CatalogApplication a;
    a.id = id;
    a.name = name;
    return a;
}

// An application to run as identity: an account a component may not run as
// is refused when it is saved, whatever the name of the application.
CatalogApplication Identity(const char* identity) {
    CatalogApplication a = App(kOtherId, "Other");
    a.identity = identity;
    return a;
}

int32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::Error& e) {
        return e.Number();
    }
    return 0;
}

class ComponentCatalogTest : public ::testing::Test {
protected:
    ComponentCatalog Catalog() { return ComponentCatalog::Open(store_.Dir() + "/catalog.db", 200); }
    void RegisterClass(const char* progId, const char* clsid, const char* module) {
        ClassRegistry::OpenCurrent(true).Register({progId, clsid, module, "Apartment"});
    }
    testing::TempStore store_;
};

// Names are unique without regard to case; a refused change refuses the
// whole save it is in.
TEST_F(ComponentCatalogTest, FindsApplicationsInAnyCaseAndRefusesBadSavesWhole) {
    auto catalog = Catalog();
    catalog.SaveApplications({{Kind::Add, App(kAppId, "Quellix")}});
    ASSERT_TRUE(catalog.FindApplication("QUELLIX"));
    EXPECT_EQ(catalog.FindApplication("quellix")->id, kAppId);
    EXPECT_EQ(catalog.FindApplication("{6b29fc40-ca47-1067-b31d-00dd010662da}")->name, "Quellix");
    EXPECT_FALSE(catalog.FindApplication("Quellix2"));

    // Made first in every save below, and undone with it.
    ApplicationChange change{Kind::Update, App(kAppId, "Quellix")};
    change.application.identity = "nobody";
    struct Case {
        const char* name;
        ApplicationChange change;
        int32_t want;
    } cases[] = {
        {"same name in another case",
         {Kind::Add, App(kOtherId, "quellix")},
         catalog_err::kApplicationExists},
        {"same ID", {Kind::Add, App(kAppId, "Other")}, catalog_err::kApplicationExists},
        {"empty name", {Kind::Add, App(kOtherId, "  ")}, catalog_err::kObjectInvalid},
        {"malformed ID", {Kind::Add, App("{6B29FC40}", "A")}, catalog_err::kObjectInvalid},
        {"update of a missing one", {Kind::Update, App(kOtherId, "A")}, catalog_err::kKeyMissing},
        {"identity of uid 0", {Kind::Add, Identity("root")}, catalog_err::kUserPasswordNotValid},
        {"identity of no account",
         {Kind::Add, Identity("no-such-account")},
         catalog_err::kUserPasswordNotValid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { catalog.SaveApplications({change, c.change}); }), c.want) << c.name;
    }
    ASSERT_EQ(catalog.Applications().size(), 1u);
    EXPECT_NE(catalog.Applications()[0].identity, "nobody");
    // Removing what is not there is no error.
    catalog.SaveApplications({{Kind::Remove, App(kOtherId, "")}});
}

TEST_F(ComponentCatalogTest, ThePasswordIsNeverInTheFile) {
    const std::string secret = "Wint3r-Sun/42";
    {
        auto catalog = Catalog();
        CatalogApplication a = App(kAppId, "Quellix");
        a.identity = "nobody";
        a.passwordHash = HashPassword(secret);
        catalog.SaveApplications({{Kind::Add, a}});
        const auto stored = catalog.FindApplication("Quellix")->passwordHash;
        EXPECT_TRUE(stored.rfind("$y$", 0) == 0 || stored.rfind("$6$", 0) == 0) << stored;
        EXPECT_TRUE(VerifyPassword(secret, stored));
        EXPECT_FALSE(VerifyPassword("wint3r-sun/42", stored));
        // Salted: the same password never hashes the same twice.
        EXPECT_NE(HashPassword(secret), HashPassword(secret));

        for (const char* suffix : {"", "-wal", "-shm"}) {
            const std::string path = catalog.Path() + suffix;
            if (!std::filesystem::exists(path)) continue;
            const std::string bytes = platform::testing::FileText(path);
            EXPECT_EQ(bytes.find(secret), std::string::npos) << path;
        }
        struct stat st {};
        ASSERT_EQ(stat(catalog.Path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << "the catalog file is open to others";
    }
    EXPECT_EQ(HashPassword(""), "");
    EXPECT_TRUE(VerifyPassword("", ""));
    EXPECT_FALSE(VerifyPassword("x", ""));
}

TEST_F(ComponentCatalogTest, AClassLivesInOneApplicationAndKeepsItsConstructionSettings) {
    RegisterClass("Quellix.QuellixCls", "{11111111-2222-3333-4444-555555555555}",
                  "/opt/q/Quellix.so");
    RegisterClass("Quellix.Helper", "{11111111-2222-3333-4444-666666666666}", "/opt/q/Quellix.so");
    RegisterClass("Other.Cls", "{11111111-2222-3333-4444-777777777777}", "/opt/q/Other.so");
    auto catalog = Catalog();
    catalog.SaveApplications(
        {{Kind::Add, App(kAppId, "Quellix")}, {Kind::Add, App(kOtherId, "Two")}});

    auto installed = catalog.InstallComponents("quellix", "/opt/q/Quellix.so");
    ASSERT_EQ(installed.size(), 2u);
    auto components = catalog.Components(kAppId);
    ASSERT_EQ(components.size(), 2u);
    // In installation order: the classes of one module by ProgID.
    EXPECT_EQ(components[0].progId, "Quellix.Helper");
    EXPECT_EQ(components[1].progId, "Quellix.QuellixCls");
    EXPECT_EQ(components[0].modulePath, "/opt/q/Quellix.so");
    EXPECT_FALSE(components[0].constructionEnabled);

    components[0].constructionEnabled = true;
    components[0].constructorString = "Junk\r30";
    catalog.SaveComponents(kAppId, {components[0]}, {});
    // Installing the same module again keeps the settings.
    (void)catalog.InstallComponents(kAppId, "/opt/q/Quellix.so");
    EXPECT_EQ(catalog.Components(kAppId)[0].constructorString, "Junk\r30");
    EXPECT_TRUE(catalog.Components(kAppId)[0].constructionEnabled);

    // Into another application: refused, nothing changes.
    EXPECT_EQ(ErrorOf([&] { (void)catalog.InstallComponents("Two", "/opt/q/Quellix.so"); }),
              catalog_err::kAlreadyInstalled);
    EXPECT_TRUE(catalog.Components(kOtherId).empty());
    EXPECT_EQ(ErrorOf([&] { (void)catalog.InstallComponents("Two", "/opt/q/None.so"); }),
              catalog_err::kCompFileNotInstallable);
    EXPECT_EQ(ErrorOf([&] { (void)catalog.InstallComponents("Three", "/opt/q/Other.so"); }),
              catalog_err::kKeyMissing);
    EXPECT_EQ(ErrorOf([&] { (void)catalog.Components(kAppId + std::string("x")); }),
              catalog_err::kKeyMissing);

    // A module moved and registered again: the refresh follows it.
    RegisterClass("Quellix.QuellixCls", "{11111111-2222-3333-4444-555555555555}",
                  "/srv/q/Quellix.so");
    EXPECT_EQ(catalog.RefreshComponents(), 1);
    EXPECT_EQ(catalog.Components(kAppId)[1].modulePath, "/srv/q/Quellix.so");
    EXPECT_EQ(catalog.RefreshComponents(), 0);

    // Taking a class out, then the application: its components go with it.
    catalog.SaveComponents(kAppId, {}, {components[1].clsid});
    EXPECT_EQ(catalog.Components(kAppId).size(), 1u);
    catalog.SaveApplications({{Kind::Remove, App(kAppId, "")}});
    EXPECT_EQ(catalog.InstallComponents("Two", "/opt/q/Quellix.so").size(), 1u);
    EXPECT_EQ(catalog.InstallComponents("Two", "/srv/q/Quellix.so").size(), 1u);
    EXPECT_EQ(catalog.Components(kOtherId).size(), 2u);
}

TEST_F(ComponentCatalogTest, AWriterWaitsForAnotherWithinItsBound) {
    auto catalog = Catalog();
    // Another process holds the write lock.
    auto other = SqliteDb::Open(
        catalog.Path(), {.busyTimeoutMs = 0, .wal = true, .ownerOnly = false, .source = "test"});
    SqliteDb::Transaction hold(other);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf([&] {
                  catalog.SaveApplications({{Kind::Add, App(kAppId, "Quellix")}});
              }),
              platform::err::kResourceLocked);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    // Readers are not held up by the writer (WAL).
    EXPECT_TRUE(catalog.Applications().empty());
}

TEST_F(ComponentCatalogTest, SeveralProcessesAddApplicationsAtOnce) {
    (void)Catalog();  // the schema exists before the writers start
    constexpr int kProcesses = 3;
    constexpr int kEach = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int code = 0;
            try {
                auto catalog = ComponentCatalog::Open(store_.Dir() + "/catalog.db", 10000);
                for (int i = 0; i < kEach; ++i) {
                    char id[40];
                    std::snprintf(id, sizeof id, "{%08X-0000-0000-0000-000000000000}", p * 100 + i);
                    catalog.SaveApplications(
                        {{Kind::Add, App(id, ("App" + std::to_string(p * 100 + i)).c_str())}});
                }
            } catch (const std::exception&) {
                code = 1;
            }
            _exit(code);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(Catalog().Applications().size(), size_t{kProcesses * kEach});
}

TEST_F(ComponentCatalogTest, TheBoundComesFromTheConfiguration) {
    std::ofstream(store_.Dir() + "/platform.conf", std::ios::app)
        << "catalog.busy_timeout_ms = soon\n";
    EXPECT_EQ(ErrorOf([] { (void)ComponentCatalog::OpenCurrent(); }), platform::err::kInvalidArg);
}

// A catalog that is a link is never opened through it: the file it names
// keeps its mode and its bytes. A missing catalog reads as empty and is not
// made by a reader.
TEST_F(ComponentCatalogTest, ALinkIsNotFollowedAndAReaderMakesNothing) {
    const std::string target = store_.Dir() + "/passwd-copy", link = store_.Dir() + "/catalog.db";
    std::filesystem::copy_file("/etc/passwd", target);
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    const std::string before = platform::testing::FileText(target);
    std::filesystem::create_symlink(target, link);
    EXPECT_NE(ErrorOf([] { (void)ComponentCatalog::OpenCurrent(); }), 0);
    EXPECT_NE(ErrorOf([] { (void)ComponentCatalog::OpenCurrent(true); }), 0);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(platform::testing::FileText(target), before);

    std::filesystem::remove(link);
    // Nor through a link where SQLite keeps its write-ahead log.
    std::filesystem::create_symlink(target, link + "-wal");
    EXPECT_NE(ErrorOf([] { (void)ComponentCatalog::OpenCurrent(true); }), 0);
    EXPECT_FALSE(std::filesystem::exists(link));
    std::filesystem::remove(link + "-wal");
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    EXPECT_TRUE(ComponentCatalog::OpenCurrent().Applications().empty());
    EXPECT_FALSE(std::filesystem::exists(link));
    (void)ComponentCatalog::OpenCurrent(true);
    ASSERT_EQ(stat(link.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace localplatform
