// Locks held in the item store, one per registration item: every process
// that can run a registration (the component host, the event service, a run
// under another account or with another temporary folder) meets the same
// lock, because it lives in the store beside the item.
//
// The lock is a row of the store's "run_locks" table keyed by the item's
// path from the store's root, folded, so both URL schemes of one item name
// one lock. The row records its owner: process id, host name, when it was
// taken, and a token telling this process apart from a later one that
// reuses its id. An owner on this host whose process is gone (or whose id
// now belongs to another process) is dead and its lock is taken over; a
// live owner (running, stopped, or on another host) is waited for, up to a
// bound, and then named to the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace localplatform {

// Who holds a lock.
struct RunLockOwner {
    int64_t pid = 0;
    std::string host;
    int64_t since = 0;  // Unix seconds, UTC
};

class StoreRunLock {
public:
    // Takes the lock of the item at itemUrl (a store URL of this server, in
    // either scheme) in the store at storePath, waiting up to wait while a
    // live owner holds it. Returns the lock, or nullopt with *holder set
    // (when holder is not null) when the wait ran out. Raises
    // platform::Error for a malformed URL (err::kBadUrl) and for a store that
    // cannot be opened (missing, empty, damaged, locked past the bound).
    [[nodiscard]] static std::optional<StoreRunLock> Acquire(const std::string& storePath,
                                                             const std::string& itemUrl,
                                                             std::chrono::milliseconds wait,
                                                             RunLockOwner* holder);

    // The lock's key for itemUrl: its folded path from the store's root.
    [[nodiscard]] static std::string KeyFor(const std::string& itemUrl);

    // Releases the lock (a failure to release leaves a row that the next
    // run takes over once this process is gone).
    ~StoreRunLock();
    StoreRunLock(StoreRunLock&&) noexcept;
    StoreRunLock& operator=(StoreRunLock&&) noexcept;
    StoreRunLock(const StoreRunLock&) = delete;
    StoreRunLock& operator=(const StoreRunLock&) = delete;

    [[nodiscard]] const std::string& Key() const;

    struct State;  // defined in run_lock.cpp

private:
    explicit StoreRunLock(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

// "pid N on HOST since yyyy-mm-dd hh:mm:ss UTC".
[[nodiscard]] std::string DescribeOwner(const RunLockOwner& owner);

}  // namespace localplatform
