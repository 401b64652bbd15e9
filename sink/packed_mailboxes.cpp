#include "sink/packed_mailboxes.h"

#include <array>
#include <cstring>
#include <stdexcept>

namespace quellix {

namespace {

// The fields kept, in their order in the buffer.
constexpr std::array<std::string MailboxRow::*, 6> kFields = {
    &MailboxRow::account, &MailboxRow::alias,     &MailboxRow::name,
    &MailboxRow::address, &MailboxRow::localPart, &MailboxRow::mailDomain};

}  // namespace

void PackedMailboxes::Add(const MailboxRow& row) {
    if (bytes_.size() > UINT32_MAX - 4096)
        throw std::length_error("PackedMailboxes: too many rows");
    starts_.push_back(static_cast<uint32_t>(bytes_.size()));
    for (const auto field : kFields) {
        const std::string& value = row.*field;
        const auto length = static_cast<uint32_t>(value.size());
        bytes_.append(reinterpret_cast<const char*>(&length), sizeof length);
        bytes_.append(value);
    }
}

MailboxRow PackedMailboxes::At(size_t i) const {
    MailboxRow row;
    row.markNull = true;
    size_t at = starts_.at(i);
    for (const auto field : kFields) {
        uint32_t length = 0;
        std::memcpy(&length, bytes_.data() + at, sizeof length);
        at += sizeof length;
        (row.*field).assign(bytes_, at, length);
        at += length;
    }
    return row;
}

}  // namespace quellix
