#include "base/ordered_workers.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

size_t RunInOrder(size_t count, size_t workers, size_t ahead,
                  const std::function<void()>& threadStart, const std::function<void(size_t)>& work,
                  const std::function<bool(size_t)>& tell) {
    ahead = std::max<size_t>(ahead, 1);
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;  // the item the next free worker takes
    size_t told = 0;  // items told so far
    bool stop = false;
    std::vector<char> done(ahead, 0);  // by slot: its item's work ended

    auto worker = [&] {
        threadStart();
        for (;;) {
            size_t i = 0;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || next >= count || next < told + ahead; });
                if (stop || next >= count) return;
                i = next++;
            }
            work(i);
            {
                const std::lock_guard lock(mutex);
                done[i % ahead] = 1;
            }
            changed.notify_all();
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(workers);
    for (size_t t = 0; t < std::min(workers, count); ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            // Fewer threads than asked (a process limit): those started
            // do all the work. None at all is the caller's to report.
            if (threads.empty()) throw;
            break;
        }
    }

    std::exception_ptr failed;
    try {
        for (;;) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] {
                    return told >= count || done[told % ahead] || (stop && told >= next);
                });
                if (told >= count || !done[told % ahead]) break;
                done[told % ahead] = 0;
            }
            const bool more = tell(told);
            {
                const std::lock_guard lock(mutex);
                ++told;
                if (!more) stop = true;
            }
            changed.notify_all();
        }
    } catch (...) {
        failed = std::current_exception();
        const std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    for (auto& t : threads) t.join();
    if (failed) std::rethrow_exception(failed);
    return told;
}

}  // namespace platform
