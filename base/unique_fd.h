// An owned file descriptor: closed when its owner goes, so no early return
// needs a hand-written close.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~UniqueFd() { Reset(); }

    // Closes what is held and holds fd instead.
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and tells whether the close succeeded (a delayed write
    // error shows here); errno says why when it did not.
    [[nodiscard]] bool Close() noexcept {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }
    [[nodiscard]] int Get() const { return fd_; }
    // Gives up ownership; the caller closes.
    [[nodiscard]] int Release() noexcept { return std::exchange(fd_, -1); }
    [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace platform
