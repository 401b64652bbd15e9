#include "base/spill_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/error.h"

namespace platform {

namespace {

constexpr size_t kFlushAt = size_t{64} << 10;
constexpr size_t kLengthBytes = 4;

}  // namespace

SpillFile::SpillFile(std::string folder, std::string what, size_t hold)
    : folder_(std::move(folder)), hold_(hold), what_(std::move(what)) {}

void SpillFile::Fail(const char* operation, int error) const {
    throw Error(err::kPathFileAccess, Describe(operation, what_, std::strerror(error), error));
}

void SpillFile::Append(std::string_view record) {
    const auto length = static_cast<uint32_t>(record.size());
    if (length != record.size()) Fail("write", EFBIG);
    char prefix[kLengthBytes];
    std::memcpy(prefix, &length, sizeof prefix);
    buffer_.append(prefix, sizeof prefix);
    buffer_.append(record);
    if (buffer_.size() >= (fd_.IsOpen() ? kFlushAt : hold_)) Flush();
}

void SpillFile::Flush() {
    if (!fd_.IsOpen()) {
        fd_.Reset(::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (!fd_.IsOpen() && (errno == EOPNOTSUPP || errno == EISDIR)) {
            // No unnamed files here: a fresh name, never one that exists (a
            // link another account put there), gone before anything is
            // written.
            std::string name = folder_ + "/.quellix-spill.XXXXXX";
            fd_.Reset(::mkostemp(name.data(), O_CLOEXEC));
            if (fd_.IsOpen() && ::unlink(name.c_str()) != 0) Fail("unlink", errno);
        }
        if (!fd_.IsOpen()) Fail("create", errno);
    }
    for (size_t done = 0; done < buffer_.size();) {
        const ssize_t n = ::pwrite(fd_.Get(), buffer_.data() + done, buffer_.size() - done,
                                   static_cast<off_t>(written_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("write", errno);
        done += static_cast<size_t>(n);
    }
    written_ += buffer_.size();
    // What was held before the file was made goes back to the system: from
    // here on only a small buffer is needed.
    if (buffer_.capacity() > 2 * kFlushAt) std::string().swap(buffer_);
    buffer_.clear();
}

SpillFile::Reader::Reader(SpillFile& file, uint64_t from, uint64_t to, size_t window)
    : file_(&file), at_(from), to_(to), window_(window < kLengthBytes ? kLengthBytes : window) {}

bool SpillFile::Reader::Fill(size_t need) {
    if (buffer_.size() - used_ >= need) return true;
    if (!file_->fd_.IsOpen()) {
        // Everything is still held: the reader takes its part at once.
        if (at_ < to_) {
            buffer_.erase(0, used_);
            used_ = 0;
            buffer_.append(file_->buffer_, static_cast<size_t>(at_),
                           static_cast<size_t>(to_ - at_));
            at_ = to_;
        }
        return buffer_.size() - used_ >= need;
    }
    if (file_->written_ < to_) file_->Flush();
    buffer_.erase(0, used_);
    used_ = 0;
    const size_t want = std::max(need, window_) - buffer_.size();
    const size_t have = buffer_.size();
    buffer_.resize(have + want);
    size_t got = 0;
    while (got < want && at_ < to_) {
        const size_t ask = static_cast<size_t>(std::min<uint64_t>(want - got, to_ - at_));
        const ssize_t n =
            ::pread(file_->fd_.Get(), buffer_.data() + have + got, ask, static_cast<off_t>(at_));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) file_->Fail("read", errno);
        if (n == 0) break;
        got += static_cast<size_t>(n);
        at_ += static_cast<uint64_t>(n);
    }
    buffer_.resize(have + got);
    return buffer_.size() >= need;
}

bool SpillFile::Reader::Next(std::string& record) {
    if (!Fill(kLengthBytes)) {
        if (buffer_.size() == used_) return false;
        file_->Fail("read", EIO);  // a record cut short: not what was written
    }
    uint32_t length = 0;
    std::memcpy(&length, buffer_.data() + used_, sizeof length);
    if (!Fill(kLengthBytes + length)) file_->Fail("read", EIO);
    record.assign(buffer_, used_ + kLengthBytes, length);
    used_ += kLengthBytes + length;
    return true;
}

}  // namespace platform
