#include "base/ordered_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform {
namespace {

// Items end out of order (later ones sooner); each is told in order, after
// its work ended, with never more than `ahead` begun and not yet told. A
// tell that says no more stops new items, and those begun are still told;
// one that raises hands its exception back after the threads are joined.
TEST(RunInOrderTest, TellsInOrderWithinTheWindowAndStopsAsTold) {
    struct Case {
        size_t count, workers, ahead;
        size_t stopAt;   // tell returns false here (count: never)
        size_t raiseAt;  // tell raises here (count: never)
    };
    for (const Case c : {Case{40, 4, 8, 40, 40}, Case{40, 8, 3, 40, 40}, Case{5, 16, 64, 5, 5},
                         Case{40, 4, 8, 10, 40}, Case{40, 4, 8, 40, 12}, Case{1, 1, 1, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.count) + " items, " + std::to_string(c.workers) +
                     " workers, " + std::to_string(c.ahead) + " ahead");
        std::mutex mutex;
        std::vector<size_t> told;
        std::vector<char> worked(c.count, 0);
        std::atomic<size_t> begun{0};
        std::atomic<size_t> started{0};
        std::atomic<size_t> outstanding{0};
        size_t most = 0;
        bool raised = false;
        try {
            const size_t n = RunInOrder(
                c.count, c.workers, c.ahead, [&] { ++started; },
                [&](size_t i) {
                    ++begun;
                    const size_t now = ++outstanding;
                    {
                        const std::lock_guard lock(mutex);
                        most = std::max(most, now);
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(200 * (8 - i % 8)));
                    worked[i] = 1;
                },
                [&](size_t i) {
                    EXPECT_TRUE(worked[i]) << i;
                    --outstanding;
                    told.push_back(i);
                    if (i == c.raiseAt) throw std::runtime_error("tell failed");
                    return i != c.stopAt;
                });
            EXPECT_EQ(n, told.size());
        } catch (const std::runtime_error&) {
            raised = true;
        }
        EXPECT_EQ(raised, c.raiseAt < c.count);
        EXPECT_LE(most, c.ahead);
        EXPECT_LE(started.load(), c.workers);
        for (size_t i = 0; i < told.size(); ++i) ASSERT_EQ(told[i], i);
        if (c.stopAt < c.count) {
            // Every item begun was told, and some were begun after the stop
            // only while it was not yet said.
            EXPECT_EQ(told.size(), begun.load());
            EXPECT_LE(told.size(), c.stopAt + c.ahead + 1);
        } else if (c.raiseAt < c.count) {
            EXPECT_EQ(told.size(), c.raiseAt + 1);
        } else {
            EXPECT_EQ(told.size(), c.count);
        }
    }
}

}  // namespace
}  // namespace platform
