#include "localplatform/store/message_spool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"

namespace localplatform {

namespace err = platform::err;
using platform::Error;

MessageSpool::MessageSpool(const std::string& folder, int64_t most)
    : what_(folder + " (a message being copied)"), most_(most) {
    fd_ = platform::UniqueFd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd_.IsOpen()) fd_ = platform::UniqueFd(::memfd_create("quellix-copy", MFD_CLOEXEC));
    if (!fd_.IsOpen()) {
        throw Error(err::kPathFileAccess,
                    platform::Describe("create", what_, std::strerror(errno), errno));
    }
}

void MessageSpool::Append(const char* data, size_t size) {
    if (most_ > 0 && size_ + static_cast<int64_t>(size) > most_) {
        throw Error(err::kFileTooLarge, platform::Describe("write", what_,
                                                           "the message is more than " +
                                                               std::to_string(most_) + " bytes",
                                                           err::kFileTooLarge));
    }
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' && (i > 0 ? data[i - 1] : last_) != '\r') ++bareLf_;
    }
    if (size > 0) last_ = data[size - 1];
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd_.Get(), data + done, size - done,
                                   static_cast<off_t>(size_ + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error(err::kPathFileAccess,
                        platform::Describe("write", what_, std::strerror(errno), errno));
        }
        done += static_cast<size_t>(n);
    }
    size_ += static_cast<int64_t>(size);
}

void MessageSpool::ForEachPiece(const std::function<void(const char*, size_t)>& take) const {
    std::vector<char> buf(kPiece);
    for (int64_t at = 0; at < size_;) {
        const ssize_t n = ::pread(fd_.Get(), buf.data(), buf.size(), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            throw Error(err::kPathFileAccess,
                        platform::Describe("read", what_,
                                           n == 0 ? "shorter than written" : std::strerror(errno),
                                           n == 0 ? 0 : errno));
        }
        take(buf.data(), static_cast<size_t>(n));
        at += n;
    }
}

std::string MessageSpool::Whole() const {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(size_));
    ForEachPiece([&](const char* data, size_t n) { bytes.append(data, n); });
    return bytes;
}

MessageSpool::Mapping MessageSpool::Map() const {
    if (size_ == 0) return {nullptr, 0};
    void* at = ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_SHARED, fd_.Get(), 0);
    if (at == MAP_FAILED) {
        throw Error(err::kPathFileAccess,
                    platform::Describe("map", what_, std::strerror(errno), errno));
    }
    return {at, static_cast<size_t>(size_)};
}

MessageSpool::Mapping::~Mapping() {
    if (at_ != nullptr) ::munmap(at_, size_);
}

bool SameMessage(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == '\r' && i + 1 < a.size() && a[i + 1] == '\n') ++i;
        if (b[j] == '\r' && j + 1 < b.size() && b[j + 1] == '\n') ++j;
        if (a[i] != b[j]) return false;
        ++i;
        ++j;
    }
    if (i + 1 == a.size() && a[i] == '\r') ++i;
    if (j + 1 == b.size() && b[j] == '\r') ++j;
    return i == a.size() && j == b.size();
}

}  // namespace localplatform
