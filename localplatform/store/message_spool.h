// A message's bytes on their way from one store into another: written into
// a nameless file of the temporary folder as they are read, and read back
// from there in pieces, so that a copy between stores never holds a message
// whole in memory (a store that takes a message only whole, as libetpan's
// APPEND does, reads it whole from here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace localplatform {

class MessageSpool {
public:
    // The pieces Append is given and ForEachPiece gives: small enough for a
    // buffer on the way, large enough for few system calls.
    static constexpr size_t kPiece = size_t{256} * 1024;

    // A new, empty spool in folder (a nameless file, 0600; where the folder
    // cannot take one, a file in memory). Raises platform::Error naming
    // the folder when neither can be made.
    // most, when not 0, is the most it takes: Append raises
    // err::kFileTooLarge past it.
    explicit MessageSpool(const std::string& folder, int64_t most = 0);

    // Adds bytes at the end. Raises platform::Error on a failed write.
    void Append(const char* data, size_t size);
    void Append(const std::string& bytes) { Append(bytes.data(), bytes.size()); }

    // Its size in bytes, and with every bare LF made CRLF (what Dovecot's
    // ",W=" names).
    [[nodiscard]] int64_t Size() const { return size_; }
    [[nodiscard]] int64_t CrlfSize() const { return size_ + bareLf_; }

    // Calls take with each piece, from the start.
    void ForEachPiece(const std::function<void(const char*, size_t)>& take) const;
    // The bytes whole, for a store that takes them only so.
    [[nodiscard]] std::string Whole() const;

    // The bytes mapped read-only, for a store that sends them only whole
    // (IMAP's APPEND): the spool file's pages, which the kernel may drop
    // and read again, not this process's heap. Unmapped when it goes.
    class Mapping {
    public:
        Mapping(const Mapping&) = delete;
        Mapping& operator=(const Mapping&) = delete;
        ~Mapping();
        [[nodiscard]] std::string_view Bytes() const {
            return {static_cast<const char*>(at_), size_};
        }

    private:
        friend class MessageSpool;
        Mapping(void* at, size_t size) : at_(at), size_(size) {}
        void* at_;
        size_t size_;
    };
    [[nodiscard]] Mapping Map() const;

private:
    platform::UniqueFd fd_;
    std::string what_;  // names it in errors
    int64_t most_ = 0;
    int64_t size_ = 0;
    int64_t bareLf_ = 0;
    char last_ = 0;  // the last byte appended
};

// Whether two copies of a message hold the same bytes: a mail server may
// give back LF line ends as CRLF (IMAP) or keep them.
[[nodiscard]] bool SameMessage(const std::string& a, const std::string& b);

}  // namespace localplatform
