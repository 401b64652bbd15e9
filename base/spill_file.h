// Records too many to hold in memory, written to a file that no name
// reaches and read back in the order written: the selection of a run over
// a million mailboxes, the sorted runs of a large directory sort. The file
// is gone when its owner is (or the process), whatever ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace platform {

class SpillFile {
public:
    // Records are held in memory up to `hold` bytes; past it, they go to an
    // unnamed file in folder, readable by its owner alone: O_TMPFILE, or on
    // a file system without it a new name made with O_EXCL and unlinked at
    // once. A small spill never needs the disk. `what` names the file in
    // errors.
    SpillFile(std::string folder, std::string what, size_t hold = size_t{256} << 10);
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // Appends one record. Raises platform::Error when the file cannot be
    // made or written.
    void Append(std::string_view record);
    // Where the next record begins: a reader's bound.
    [[nodiscard]] uint64_t Size() const { return written_ + buffer_.size(); }

    // Reads the records from one offset (a record's start) up to another, in
    // the order written, a buffer of `window` bytes at a time. The file's
    // appends up to `to` must be done before the first Next.
    class Reader {
    public:
        Reader(SpillFile& file, uint64_t from, uint64_t to, size_t window = size_t{64} << 10);
        // The next record into record; false at the end. Raises
        // platform::Error when the file cannot be read, or is not what was
        // written.
        [[nodiscard]] bool Next(std::string& record);

    private:
        bool Fill(size_t need);
        SpillFile* file_;
        uint64_t at_, to_;  // the file's next unread byte, and the end
        std::string buffer_;
        size_t used_ = 0;  // bytes of buffer_ already given
        size_t window_;
    };

private:
    void Flush();
    std::string folder_;
    size_t hold_;
    [[noreturn]] void Fail(const char* operation, int error) const;
    UniqueFd fd_;
    std::string what_;
    std::string buffer_;    // records not in the file yet
    uint64_t written_ = 0;  // bytes in the file
};

}  // namespace platform
