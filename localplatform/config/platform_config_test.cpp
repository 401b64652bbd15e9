#include "localplatform/config/platform_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/error.h"

using localplatform::PlatformConfig;

TEST(PlatformConfig, ReadsKeysDefaultsAndRejectsMalformedLines) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("cfgtest-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "platform.conf").string();
    {
        std::ofstream out(path);
        out << "# a comment\n\nstate_dir = " << dir.string() << "\n"
            << "server.computer_name =  EXCH01 \nmail.starttls = Yes\n";
    }
    const PlatformConfig cfg = PlatformConfig::Load(path);
    EXPECT_EQ(cfg.ComputerName(), "EXCH01");
    EXPECT_EQ(cfg.StorePath(), dir.string() + "/store.db");
    EXPECT_EQ(cfg.DirectoryUri(), "ldb://" + dir.string() + "/directory.ldb");
    EXPECT_TRUE(cfg.GetBool("mail.starttls", false));
    EXPECT_EQ(cfg.MailTransport(), "pickup");

    setenv("QUELLIX_CONFIG", path.c_str(), 1);
    EXPECT_EQ(PlatformConfig::Current().ComputerName(), "EXCH01");
    unsetenv("QUELLIX_CONFIG");

    {
        std::ofstream out(path);
        out << "no equals sign here\n";
    }
    try {
        (void)PlatformConfig::Load(path);
        FAIL() << "malformed line accepted";
    } catch (const platform::Error& e) {
        EXPECT_NE(e.Description().find(":1:"), std::string::npos) << e.Description();
    }
    EXPECT_THROW((void)PlatformConfig::Load((dir / "missing.conf").string()), platform::Error);
    std::filesystem::remove_all(dir);
}

// The configuration in force follows QUELLIX_CONFIG: a new path is read when
// the variable names it, references to an earlier configuration stay valid,
// and a missing file means every default.
TEST(PlatformConfig, CurrentFollowsTheVariableAndKeepsEarlierConfigurationsAlive) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("cfgreload-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto first = (dir / "first.conf").string(), second = (dir / "second.conf").string();
    std::ofstream(first) << "server.computer_name = FIRST\n";
    std::ofstream(second) << "server.computer_name = SECOND\nstate_dir = " << dir.string() << "\n";

    setenv("QUELLIX_CONFIG", first.c_str(), 1);
    const PlatformConfig& a = PlatformConfig::Current();
    EXPECT_EQ(a.ComputerName(), "FIRST");
    EXPECT_EQ(a.SourcePath(), first);
    setenv("QUELLIX_CONFIG", second.c_str(), 1);
    const PlatformConfig& b = PlatformConfig::Current();
    EXPECT_EQ(b.ComputerName(), "SECOND");
    EXPECT_EQ(b.StorePath(), dir.string() + "/store.db");
    EXPECT_EQ(a.ComputerName(), "FIRST");  // still valid
    setenv("QUELLIX_CONFIG", first.c_str(), 1);
    EXPECT_EQ(&PlatformConfig::Current(), &a);

    const auto missing = (dir / "missing.conf").string();
    setenv("QUELLIX_CONFIG", missing.c_str(), 1);
    EXPECT_EQ(PlatformConfig::Current().SourcePath(), missing);
    EXPECT_EQ(PlatformConfig::Current().StateDir(), "/var/lib/quellix");
    unsetenv("QUELLIX_CONFIG");
    std::filesystem::remove_all(dir);
}
