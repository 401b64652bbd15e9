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
enum class Then { kExitHolding, kStop, kSleep, kReleaseSoon };

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
            if (then == Then::kReleaseSoon) {
                usleep(300000);
                lock.reset();
            }
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

// A holder in another process: one that lives (running or stopped) or is of
// another host is waited for within the bound and named; one whose process
// is gone on this host is taken over at once; one that lets go while it is
// waited for is followed.
TEST(RunLockTest, OnlyAHolderGoneFromThisHostIsTakenOver) {
    struct Case {
        const char* name;
        Then then;
        const char* otherHost;
        bool takenOver;
        std::chrono::milliseconds wait = 200ms;
    };
    for (const Case& c :
         {Case{"living", Then::kSleep, nullptr, false},
          Case{"stopped", Then::kStop, nullptr, false},
          Case{"dead", Then::kExitHolding, nullptr, true},
          Case{"dead, of another host", Then::kExitHolding, "mx2.example.test", false},
          Case{"released while waited for", Then::kReleaseSoon, nullptr, true, 20s}}) {
        SCOPED_TRACE(c.name);
        TempStore temp;
        const pid_t child = ChildHolding(c.then);
        if (c.then == Then::kExitHolding) waitpid(child, nullptr, 0);
        if (c.then == Then::kStop) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
            ASSERT_TRUE(WIFSTOPPED(status));
        }
        if (c.otherHost != nullptr) {
            ASSERT_EQ(localplatform::testing::MoveRunLocksToHost(temp.DbPath(), c.otherHost), "");
        }
        std::string heldBy;
        EXPECT_EQ(static_cast<bool>(platform::RunLock::Acquire(kItem, c.wait, &heldBy)),
                  c.takenOver)
            << heldBy;
        if (!c.takenOver) {
            EXPECT_NE(heldBy.find("held by pid " + std::to_string(child) + " on " +
                                  (c.otherHost != nullptr ? c.otherHost : "")),
                      std::string::npos)
                << heldBy;
        }
        if (c.then != Then::kExitHolding) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            // Its process is gone: the lock is taken over without waiting.
            EXPECT_TRUE(platform::RunLock::Acquire(kItem, 0ms, nullptr));
        }
    }
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
