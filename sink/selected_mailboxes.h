// The mailboxes a run selected, in the directory's order, from the
// directory query until the last one is swept. A run over a million
// mailboxes must not hold them all: past a few megabytes they wait in an
// unnamed file of the running account's private temporary folder, read
// back in order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/spill_file.h"
#include "selection/mailbox_selection.h"

namespace quellix {

class SelectedMailboxes {
public:
    explicit SelectedMailboxes(const std::string& tempFolder);

    // Keeps what a sweep reads of row: its name, address and the names its
    // folder URLs are built of (not its home server or mark, which only
    // decided that it is treated). Raises platform::Error when the file in
    // tempFolder cannot be made or written.
    void Add(const MailboxRow& row);
    [[nodiscard]] size_t Size() const { return size_; }
    // The next row as added (home server and mark empty), from the first;
    // false after the last. Raises platform::Error when the file cannot be
    // read back.
    [[nodiscard]] bool Next(MailboxRow& row);

private:
    platform::SpillFile file_;
    std::optional<platform::SpillFile::Reader> reader_;
    std::string record_;
    size_t size_ = 0;
};

}  // namespace quellix
