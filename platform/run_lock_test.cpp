// The run lock against a real store file, with rival processes made by fork.
#include "platform/run_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "base/error.h"
#include "localplatform/store/store_test_support.h"

namespace {

using localplatform::testing::TempStore;
using namespace std::chrono_literals;

const std::string kItem =
    TempStore::FileBase() + "/SystemMailbox/StoreEvents/GlobalEvents/Quellix.reg";
const std::string kItemHttp =
    TempStore::HttpBase() + "/systemmailbox/storeevents/globalevents/QUELLIX.REG";

// A child process that takes the lock, reports on a pipe, then does what
// `then` says; the parent gets its pid once it holds the lock.
enum class Then { kExitHolding, kStop, kSleep };

pid_t ChildHolding(Then then) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        char ok = 'n';
        try {
            auto lock = platform::RunLock::Acquire(kItem, 2s, nullptr);
            if (lock) ok = 'y';
            (void)!write(fds[1], &ok, 1);
            if (then == Then::kStop) raise(SIGSTOP);
            if (then == Then::kSleep) sleep(30);
            _exit(0);  // no destructor runs: the lock stays recorded
        } catch (...) {
            (void)!write(fds[1], &ok, 1);
            _exit(1);
        }
    }
    close(fds[1]);
    char ok = 0;
    EXPECT_EQ(read(fds[0], &ok, 1), 1);
    close(fds[0]);
    EXPECT_EQ(ok, 'y');
    return pid;
}

TEST(RunLockTest, BothSchemesNameOneLockAndReleaseFreesIt) {
    TempStore temp;
    std::string heldBy;
    {
        auto first = platform::RunLock::Acquire(kItem, 0ms, &heldBy);
        ASSERT_TRUE(first);
        EXPECT_FALSE(platform::RunLock::Acquire(kItemHttp, 150ms, &heldBy));
        EXPECT_NE(heldBy.find("held by pid " + std::to_string(getpid()) + " on "),
                  std::string::npos)
            << heldBy;
        EXPECT_NE(heldBy.find(" UTC"), std::string::npos) << heldBy;
        // Another registration has a lock of its own.
        EXPECT_TRUE(
            platform::RunLock::Acquire(TempStore::FileBase() + "/other/x.reg", 0ms, nullptr));
    }
    EXPECT_TRUE(platform::RunLock::Acquire(kItemHttp, 0ms, nullptr));
}

TEST(RunLockTest, LiveHolderInAnotherProcessIsWaitedForThenNamed) {
    TempStore temp;
    const pid_t child = ChildHolding(Then::kSleep);
    std::string heldBy;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::RunLock::Acquire(kItem, 300ms, &heldBy));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_NE(heldBy.find("held by pid " + std::to_string(child)), std::string::npos) << heldBy;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // Its process is gone: the lock is taken over without waiting.
    EXPECT_TRUE(platform::RunLock::Acquire(kItem, 0ms, nullptr));
}

TEST(RunLockTest, DeadHolderIsTakenOver) {
    TempStore temp;
    const pid_t child = ChildHolding(Then::kExitHolding);
    waitpid(child, nullptr, 0);
    std::string heldBy;
    EXPECT_TRUE(platform::RunLock::Acquire(kItem, 0ms, &heldBy)) << heldBy;
}

// Whether a holder is gone can be told only on its own host: a lock of
// another host's process is waited for, whatever this host's process table
// says of its pid.
TEST(RunLockTest, DeadHolderOfAnotherHostIsNotTakenOver) {
    TempStore temp;
    const pid_t child = ChildHolding(Then::kExitHolding);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(localplatform::testing::MoveRunLocksToHost(temp.DbPath(), "mx2.example.test"), "");
    std::string heldBy;
    EXPECT_FALSE(platform::RunLock::Acquire(kItem, 100ms, &heldBy));
    EXPECT_NE(heldBy.find("held by pid " + std::to_string(child) + " on mx2.example.test"),
              std::string::npos)
        << heldBy;
}

TEST(RunLockTest, StoppedHolderIsNotTakenOver) {
    TempStore temp;
    const pid_t child = ChildHolding(Then::kStop);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    std::string heldBy;
    EXPECT_FALSE(platform::RunLock::Acquire(kItem, 250ms, &heldBy));
    EXPECT_NE(heldBy.find("held by pid " + std::to_string(child)), std::string::npos) << heldBy;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(platform::RunLock::Acquire(kItem, 0ms, nullptr));
}

TEST(RunLockTest, StoreThatCannotBeOpenedRaises) {
    TempStore temp;
    std::filesystem::remove(temp.DbPath());
    try {
        (void)platform::RunLock::Acquire(kItem, 0ms, nullptr);
        FAIL() << "no error for a missing store";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kFileNotFound);
        EXPECT_NE(e.Description().find(temp.DbPath()), std::string::npos) << e.Description();
    }
    std::ofstream(temp.DbPath()).close();  // zero length
    try {
        (void)platform::RunLock::Acquire(kItem, 0ms, nullptr);
        FAIL() << "no error for an empty store file";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), platform::err::kCorrupt);
        EXPECT_NE(e.Description().find("empty file"), std::string::npos) << e.Description();
    }
    EXPECT_EQ(std::filesystem::file_size(temp.DbPath()), 0u);
}

TEST(RunLockTest, ConfiguredWaitIsChecked) {
    TempStore temp(300, "store.run_lock_wait_ms = 1500\n");
    EXPECT_EQ(platform::RunLock::ConfiguredWait(), 1500ms);
    TempStore bad(300, "store.run_lock_wait_ms = 10s\n");
    EXPECT_THROW((void)platform::RunLock::ConfiguredWait(), platform::Error);
}

}  // namespace
