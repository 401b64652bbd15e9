// quellix-admin catalog, run as a program on a private catalog: the listing,
// which never shows a password or its hash, and the exit codes.
#include <gtest/gtest.h>

#include <string>

#include "base/testing/run_program.h"
#include "localplatform/catalog/component_catalog.h"
#include "localplatform/store/store_test_support.h"

namespace {

using Outcome = platform::testing::ProgramOutcome;
using platform::testing::RunProgram;

// Runs "quellix-admin catalog ARGS" through the shell.
Outcome Admin(const std::string& args) {
    return RunProgram({"/bin/sh", "-c", std::string(QUELLIX_ADMIN) + " catalog " + args});
}

TEST(AdminCatalogTest, ListsApplicationsWithoutTheirPasswords) {
    localplatform::testing::TempStore temp;
    EXPECT_EQ(Admin("list").out, "");  // an empty catalog

    auto catalog = localplatform::ComponentCatalog::OpenCurrent(true);
    localplatform::CatalogApplication app;
    app.id = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
    app.name = "Quellix";
    app.accessChecksEnabled = false;
    app.identity = "nobody";
    app.passwordHash = localplatform::HashPassword("Blue-Harbour-77");
    catalog.SaveApplications({{localplatform::ApplicationChange::Kind::Add, app}});

    const Outcome r = Admin("list");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "application\t{6B29FC40-CA47-1067-B31D-00DD010662DA}\tQuellix\tidentity=nobody"
              "\tpassword=set\taccess-checks=off\n");
    EXPECT_EQ(r.out.find(app.passwordHash), std::string::npos);

    struct {
        const char* args;
        int code;
    } usage[] = {{"--help", 0}, {"list --help", 0}, {"", 2}, {"list extra", 2}, {"drop", 2}};
    for (const auto& u : usage) EXPECT_EQ(Admin(u.args).code, u.code) << u.args;
}

}  // namespace
