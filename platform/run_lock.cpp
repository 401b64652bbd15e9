#include "platform/run_lock.h"

#include "localplatform/config/platform_config.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/run_lock.h"

namespace platform {

std::optional<RunLock> RunLock::Acquire(const std::string& itemUrl, std::chrono::milliseconds wait,
                                        std::string* heldBy) {
    localplatform::RunLockOwner owner;
    auto lock = localplatform::StoreRunLock::Acquire(
        localplatform::PlatformConfig::Current().StorePath(), itemUrl, wait, &owner);
    if (!lock) {
        if (heldBy) *heldBy = "held by " + localplatform::DescribeOwner(owner);
        return std::nullopt;
    }
    return RunLock(std::make_unique<localplatform::StoreRunLock>(std::move(*lock)));
}

std::chrono::milliseconds RunLock::ConfiguredWait() {
    return std::chrono::milliseconds(
        localplatform::StoreSettingMs("store.run_lock_wait_ms", 60000, 86400000));
}

RunLock::RunLock(std::unique_ptr<localplatform::StoreRunLock> lock) : lock_(std::move(lock)) {}
RunLock::~RunLock() = default;
RunLock::RunLock(RunLock&&) noexcept = default;
RunLock& RunLock::operator=(RunLock&&) noexcept = default;

}  // namespace platform
