#include "sink/selected_mailboxes.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "base/error.h"

namespace quellix {

namespace {

// The fields kept, in their order in a record: each its length (4 bytes),
// then its bytes.
constexpr std::array<std::string MailboxRow::*, 6> kFields = {
    &MailboxRow::account, &MailboxRow::alias,     &MailboxRow::name,
    &MailboxRow::address, &MailboxRow::localPart, &MailboxRow::mailDomain};

}  // namespace

// Some 4,000 mailboxes: an ordinary run never writes its selection out,
// and needs no room on the disk to clean it up.
constexpr size_t kHeldBytes = size_t{512} << 10;

SelectedMailboxes::SelectedMailboxes(const std::string& tempFolder)
    : file_(tempFolder, tempFolder + " (the mailboxes a run selected)", kHeldBytes) {}

void SelectedMailboxes::Add(const MailboxRow& row) {
    record_.clear();
    for (const auto field : kFields) {
        const std::string& value = row.*field;
        const auto length = static_cast<uint32_t>(value.size());
        record_.append(reinterpret_cast<const char*>(&length), sizeof length);
        record_.append(value);
    }
    file_.Append(record_);
    ++size_;
}

bool SelectedMailboxes::Next(MailboxRow& row) {
    if (!reader_) reader_.emplace(file_, 0, file_.Size());
    if (!reader_->Next(record_)) return false;
    row = MailboxRow{};
    size_t at = 0;
    for (const auto field : kFields) {
        uint32_t length = 0;
        if (record_.size() - at < sizeof length) break;
        std::memcpy(&length, record_.data() + at, sizeof length);
        at += sizeof length;
        (row.*field).assign(record_, at, length);
        at += length;
    }
    return true;
}

}  // namespace quellix
