#include "platform/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/error.h"
#include "base/journal.h"
#include "base/testing/temp_platform.h"
#include "localplatform/store/item_store.h"
#include "platform/system_internal.h"

namespace fs = std::filesystem;

namespace {

// An error event written where systemd's journal takes the service's
// standard error carries the journal's priority of an error ("<3>"), so
// that journalctl -p err shows it; on any other standard error (a terminal,
// a file, a stream other than the one JOURNAL_STREAM names) the line is as
// it was.
TEST(ReportEventTest, AnErrorOnTheJournalsStreamCarriesItsPriority) {
    platform::testing::TempPlatform temp("journal-");
    const std::string path = temp.Dir() + "/stderr";
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(file, &st), 0);
    const std::string ours = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                             std::to_string(static_cast<unsigned long long>(st.st_ino));
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(file, STDERR_FILENO), STDERR_FILENO);
    const struct {
        const char* stream;  // nullptr: unset
        const char* prefix;
    } cases[] = {{nullptr, ""}, {"1:2", ""}, {ours.c_str(), "<3>"}};
    std::string want;
    for (const auto& c : cases) {
        if (c.stream == nullptr) {
            ::unsetenv("JOURNAL_STREAM");
        } else {
            ::setenv("JOURNAL_STREAM", c.stream, 1);
        }
        platform::ReportEvent("Quellix", std::string("run failed\n") + (c.stream ? c.stream : "-"));
        want +=
            std::string(c.prefix) + "Quellix: run failed\\n" + (c.stream ? c.stream : "-") + "\n";
        EXPECT_EQ(platform::JournalPrefix(platform::LogPriority::kWarning),
                  *c.prefix != 0 ? "<4>" : "");
    }
    ::unsetenv("JOURNAL_STREAM");
    ASSERT_EQ(::dup2(saved, STDERR_FILENO), STDERR_FILENO);
    ::close(saved);
    ::close(file);
    std::ifstream in(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), want);
}

constexpr const char* kBias =
    "HKLM\\System\\CurrentControlSet\\Control\\TimeZoneInformation\\ActiveTimeBias";

// Each test gets its own folder and its own platform configuration. The
// bias's default, the local zone's offset, is checked by the ISO date tests.
class SystemTest : public testing::Test {
protected:
    void SetUp() override { WriteConfig(""); }
    void WriteConfig(const std::string& lines) { temp_.Configure(lines); }
    platform::testing::TempPlatform temp_{"systest-"};
    const std::string dir_ = temp_.Dir();
};

TEST_F(SystemTest, ActiveTimeBiasTakesTheConfiguredNumberBytesOrText) {
    struct Case {
        const char* setting;
        platform::Variant want;
    };
    const Case cases[] = {
        {"-60", int32_t{-60}},
        {"300", int32_t{300}},
        {"bytes:C4 FF FF FF", std::vector<uint8_t>{0xC4, 0xFF, 0xFF, 0xFF}},
        {"bytes:3c,00", std::vector<uint8_t>{0x3C, 0x00}},
        {"sixty", "sixty"},
        {"bytes:XY", "bytes:XY"},
        {"99999999999", "99999999999"},
    };
    for (const Case& c : cases) {
        WriteConfig(std::string("timezone.active_time_bias = ") + c.setting + "\n");
        EXPECT_EQ(platform::RegRead(kBias), c.want) << c.setting;
    }
    // Registry names compare without regard to case; the root may be spelt out.
    EXPECT_EQ(platform::RegRead("HKEY_LOCAL_MACHINE\\system\\currentcontrolset\\control\\"
                                "timezoneinformation\\activetimebias"),
              platform::Variant("99999999999"));
}

TEST_F(SystemTest, OtherRegistryNamesRaise) {
    for (const char* name : {"HKLM\\Software\\Nothing\\Here", "NOROOT\\x", ""}) {
        try {
            (void)platform::RegRead(name);
            ADD_FAILURE() << name;
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::Hr(0x80070002)) << name;
            EXPECT_NE(e.Description().find(name), std::string::npos) << e.Description();
        }
    }
}

TEST_F(SystemTest, TempPathHasATrailingSlashAndBufferSemantics) {
    const std::string configured = dir_ + "/mytemp";
    WriteConfig("temp_dir = " + configured + "\n");
    char buf[256];
    const uint32_t n = platform::GetTempPathA(sizeof buf, buf);
    EXPECT_EQ(std::string(buf), configured + "/");
    EXPECT_EQ(n, configured.size() + 1);
    EXPECT_TRUE(fs::is_directory(configured)) << "created when missing";
    // Too small a buffer: the size needed, NUL included, and nothing written.
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(platform::GetTempPathA(sizeof small, small), n + 1);
    EXPECT_EQ(small[0], 'x');
    EXPECT_EQ(platform::GetTempPathA(n, buf), n + 1) << "no room for the NUL";
}

// Unset, the temporary folder is the data folder's tmp/, made private: never
// a name in a shared folder that another account could take first, and
// TMPDIR is not asked.
TEST_F(SystemTest, TheDefaultTempPathIsInTheDataFolder) {
    const std::string data = dir_ + "/data";
    fs::create_directory(data);
    WriteConfig("data_dir = " + data + "\n");
    setenv("TMPDIR", dir_.c_str(), 1);
    char buf[256];
    ASSERT_GT(platform::GetTempPathA(sizeof buf, buf), 0u) << platform::GetTempPathFailure();
    unsetenv("TMPDIR");
    EXPECT_EQ(std::string(buf), data + "/tmp/");
    struct stat st {};
    ASSERT_EQ(lstat((data + "/tmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SystemTest, UserNameIsTheRunningAccount) {
    const passwd* pw = getpwuid(geteuid());
    const std::string want = pw != nullptr ? pw->pw_name : std::to_string(geteuid());
    char buf[256];
    uint32_t size = sizeof buf;
    ASSERT_TRUE(platform::GetUserNameA(buf, &size));
    EXPECT_EQ(std::string(buf), want);
    EXPECT_EQ(size, want.size() + 1);

    char small[1];
    uint32_t smallSize = sizeof small;
    EXPECT_FALSE(platform::GetUserNameA(small, &smallSize));
    EXPECT_EQ(smallSize, want.size() + 1);
    EXPECT_FALSE(platform::GetUserNameA(buf, nullptr));
}

// Root is never proposed as an application's identity: root is offered the
// account its data folder belongs to, else the account quellix.
TEST_F(SystemTest, RootIsProposedTheServiceAccountAsIdentity) {
    if (geteuid() != 0) {
        EXPECT_EQ(platform::ProposedIdentityAccount(), std::string(getpwuid(geteuid())->pw_name));
        GTEST_SKIP() << "the rest is what root is proposed";
    }
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string data = dir_ + "/data";
    fs::create_directory(data);
    WriteConfig("data_dir = " + data + "\n");
    const std::string fallback = getpwnam("quellix") != nullptr ? "quellix" : "";
    EXPECT_EQ(platform::ProposedIdentityAccount(), fallback) << "a data folder of root's";
    ASSERT_EQ(chown(data.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(platform::ProposedIdentityAccount(), std::string(getpwuid(nobody->pw_uid)->pw_name));
}

TEST_F(SystemTest, ListDirectoryNamesEntriesSorted) {
    const std::string d = dir_ + "/list";
    fs::create_directories(d + "/sub");
    std::ofstream(d + "/b.txt") << "b";
    std::ofstream(d + "/Quellix.LOG") << "log";
    std::ofstream(d + "/a.txt") << "a";
    EXPECT_EQ(platform::ListDirectory(d),
              (std::vector<std::string>{"Quellix.LOG", "a.txt", "b.txt", "sub"}));
    EXPECT_EQ(platform::ListDirectory(d + "/"), platform::ListDirectory(d));
    EXPECT_EQ(platform::ListDirectory(d + "/Quellix.LOG"), std::vector<std::string>{"Quellix.LOG"});
    EXPECT_TRUE(platform::ListDirectory(d + "/missing.log").empty());
    EXPECT_TRUE(platform::ListDirectory(dir_ + "/nowhere/").empty());
}

TEST_F(SystemTest, StoreShareListsNamespacesInCreationOrder) {
    WriteConfig("store = " + dir_ + "/store.db\n");
    EXPECT_TRUE(platform::ListDirectory("\\\\.\\backofficestorage\\").empty());
    localplatform::ItemStore::Create();
    auto store = localplatform::ItemStore::ForThisThread();
    store->CreateNamespace("zeta.example");
    store->CreateNamespace("alpha.example");
    const std::vector<std::string> want{"zeta.example", "alpha.example"};
    for (const char* share :
         {"\\\\.\\backofficestorage\\", "\\\\.\\BackOfficeStorage", "\\\\.\\BACKOFFICESTORAGE\\"}) {
        EXPECT_EQ(platform::ListDirectory(share), want) << share;
    }
}

}  // namespace
