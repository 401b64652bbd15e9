// Pieces of the operating-system services, open to their tests: the
// temporary directory, and the bytes of a configured bias.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::detail {

// The running account's temporary directory dir (the configured one, or
// the data folder's tmp/), with a trailing "/"; created with mode 0700 when
// missing. Nothing when it is not a directory or cannot be made; then why
// says so, as "operation(directory) failed: reason (code)".
std::optional<std::string> ChooseTempDirectory(const std::string& dir, std::string* why = nullptr);

// The bytes of a configured bias "bytes:C4 FF FF FF" (the text after
// "bytes:"): two-digit hex bytes with blanks or commas between them. Nothing
// for any other text, or for no bytes at all.
std::optional<std::vector<uint8_t>> ParseBiasBytes(const std::string& text);

}  // namespace platform::detail
