// The mailboxes a run selected, packed: the run holds every selected row
// from the directory query until it has swept the last one, and a row of
// separate strings cost some hundreds of bytes a mailbox.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "selection/mailbox_selection.h"

namespace quellix {

class PackedMailboxes {
public:
    // Keeps what a sweep reads of row: its name, address and the names its
    // folder URLs are built of (not its home server or mark, which only
    // decided that it is treated).
    void Add(const MailboxRow& row);
    [[nodiscard]] size_t Size() const { return starts_.size(); }
    // The row as added (home server and mark empty).
    [[nodiscard]] MailboxRow At(size_t i) const;

private:
    std::string bytes_;             // each field: its length (4 bytes), then its bytes
    std::vector<uint32_t> starts_;  // where each row begins in bytes_
};

}  // namespace quellix
