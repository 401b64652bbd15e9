// The lock that serialises the runs of one registration. It is held in the
// store, keyed by the registration item's URL (both URL schemes of one item
// name one lock), so every process that can run the registration meets it,
// whatever its account or temporary folder.
//
// The holder's process id, host and start time are recorded: a holder on
// this host whose process is gone is taken over at once; a live holder,
// even one that is stopped, is waited for up to the bound and then named.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace localplatform {
class StoreRunLock;
}

namespace platform {

class RunLock {
public:
    // Takes the lock of the registration item at itemUrl in this server's
    // store, waiting up to wait while another process holds it. Returns the
    // lock, or nullopt when the wait ran out, with *heldBy (when not null)
    // set to "held by pid N on HOST since yyyy-mm-dd hh:mm:ss UTC". Raises
    // platform::Error for a malformed URL and for a store that cannot be
    // opened (missing, empty, damaged, busy past its bound).
    [[nodiscard]] static std::optional<RunLock> Acquire(const std::string& itemUrl,
                                                        std::chrono::milliseconds wait,
                                                        std::string* heldBy);
    // The wait the platform configuration asks for: "store.run_lock_wait_ms"
    // (default 60000). Raises platform::Error for a value that is not a whole
    // number of milliseconds up to a day.
    [[nodiscard]] static std::chrono::milliseconds ConfiguredWait();

    // Releases the lock.
    ~RunLock();
    RunLock(RunLock&&) noexcept;
    RunLock& operator=(RunLock&&) noexcept;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    explicit RunLock(std::unique_ptr<localplatform::StoreRunLock> lock);
    std::unique_ptr<localplatform::StoreRunLock> lock_;
};

}  // namespace platform
