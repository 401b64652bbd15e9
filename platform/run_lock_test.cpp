// The run lock against a real store file, with rival processes made by fork.
#include "platform/run_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

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
// `then` says; the parent gets its pid once it holds the lock. One that lets
// go when told waits for a byte on *tell, lets go of the lock, and answers
// with a byte on *done.
enum class Then { kExitHolding, kStop, kSleep, kReleaseWhenTold };

pid_t ChildHolding(Then then, int* tell = nullptr, int* done = nullptr) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    int told[2] = {-1, -1};
    if (then == Then::kReleaseWhenTold) {
        EXPECT_EQ(pipe(told), 0);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (told[1] >= 0) close(told[1]);
        char ok = 'n';
        try {
            auto lock = platform::RunLock::Acquire(kItem, 2s, nullptr);
            if (lock) ok = 'y';
            (void)!write(fds[1], &ok, 1);
            if (then == Then::kStop) raise(SIGSTOP);
            if (then == Then::kSleep) sleep(30);
            if (then == Then::kReleaseWhenTold) {
                char go = 0;
                (void)!read(told[0], &go, 1);  // a byte, or the parent gone
                lock.reset();
                (void)!write(fds[1], "r", 1);
            }
            _exit(0);  // no destructor runs: the lock stays recorded
        } catch (...) {
            (void)!write(fds[1], &ok, 1);
            _exit(1);
        }
    }
    close(fds[1]);
    if (told[0] >= 0) close(told[0]);
    char ok = 0;
    EXPECT_EQ(read(fds[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    if (then == Then::kReleaseWhenTold) {
        *tell = told[1];
        *done = fds[0];
    } else {
        close(fds[0]);
    }
    return pid;
}

// A child process that waits up to wait for the lock and writes on the
// returned descriptor what came of it: "y" when it took the lock (it keeps
// it recorded), "n" and the holder when the wait ran out, "e" and the error.
pid_t ChildWaiting(std::chrono::milliseconds wait, int* said) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string outcome;
        try {
            std::string heldBy;
            outcome = platform::RunLock::Acquire(kItem, wait, &heldBy) ? "y" : "n " + heldBy;
        } catch (const std::exception& e) {
            outcome = std::string("e ") + e.what();
        } catch (...) {
            outcome = "e (not a std::exception)";
        }
        (void)!write(fds[1], outcome.data(), outcome.size());
        _exit(0);  // no destructor runs: a lock taken stays recorded
    }
    close(fds[1]);
    *said = fds[0];
    return pid;
}

// What fd says until its end.
std::string ReadAll(int fd) {
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Whether the process pid is in clock_nanosleep (or at its return when it
// is stopped there). In RunLock::Acquire that is between two looks at the
// lock, each a write transaction of the store: while nobody else writes
// the store, no look waits for it, and the lock's poll is its only sleep.
bool InSleepCall(pid_t pid) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    if (!(syscall >> number)) return false;  // "running"
#ifdef SYS_nanosleep
    if (number == SYS_nanosleep) return true;
#endif
    return number == SYS_clock_nanosleep;
}

// A child process killed and reaped when the guard goes, unless reaped
// before (pid set to 0): no stopped or sleeping child outlives a failed
// assertion.
struct Reaped {
    pid_t pid = 0;
    ~Reaped() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

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
    };
    for (const Case& c :
         {Case{"living", Then::kSleep, nullptr, false},
          Case{"stopped", Then::kStop, nullptr, false},
          Case{"dead", Then::kExitHolding, nullptr, true},
          Case{"dead, of another host", Then::kExitHolding, "mx2.example.test", false}}) {
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
        EXPECT_EQ(static_cast<bool>(platform::RunLock::Acquire(kItem, 200ms, &heldBy)), c.takenOver)
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

    // Released while waited for: the holder lets go once the waiter has
    // looked and found it held, while the waiter is stopped between two
    // looks. A look is a write transaction of the store, and so is letting
    // go: had they met, the look would have waited for the store only the
    // test's short bound (TempStore's 300 ms) and failed, whatever the
    // lock's wait. Then the waiter goes on, and takes the lock at its next
    // look; a wait that did not wait would end before the holder let go.
    SCOPED_TRACE("released while waited for");
    TempStore temp;
    int tell = -1;
    int done = -1;
    Reaped holder{ChildHolding(Then::kReleaseWhenTold, &tell, &done)};
    int said = -1;
    Reaped waiter{ChildWaiting(20s, &said)};
    for (int status = 0;;) {
        if (waitpid(waiter.pid, &status, WNOHANG) != 0) {
            waiter.pid = 0;
            FAIL() << "the waiter ended without waiting: " << ReadAll(said);
        }
        if (!InSleepCall(waiter.pid)) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        ASSERT_EQ(kill(waiter.pid, SIGSTOP), 0);
        ASSERT_EQ(waitpid(waiter.pid, &status, WUNTRACED), waiter.pid);
        if (!WIFSTOPPED(status)) {
            waiter.pid = 0;
            FAIL() << "the waiter ended: " << ReadAll(said);
        }
        if (InSleepCall(waiter.pid)) break;
        ASSERT_EQ(kill(waiter.pid, SIGCONT), 0);  // stopped in a look: again
    }
    ASSERT_EQ(write(tell, "r", 1), 1);
    char released = 0;
    EXPECT_EQ(read(done, &released, 1), 1);
    EXPECT_EQ(released, 'r');
    close(tell);
    close(done);
    ASSERT_EQ(kill(waiter.pid, SIGCONT), 0);
    EXPECT_EQ(ReadAll(said), "y");
    ASSERT_EQ(waitpid(waiter.pid, nullptr, 0), waiter.pid);
    waiter.pid = 0;
    kill(holder.pid, SIGKILL);
    waitpid(holder.pid, nullptr, 0);
    holder.pid = 0;
    // The waiter's process is gone, the lock still its: taken over at once.
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
