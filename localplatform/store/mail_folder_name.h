// Folder names as mail servers keep them: IMAP's modified UTF-7 (RFC 3501
// 5.1.3), which Dovecot also uses for its Maildir folder names on disk.
// Printable ASCII but "&" stands for itself, "&" is "&-", anything else is
// a run of UTF-16 in base64 ("," for "/", no padding) between "&" and "-":
// "Entwürfe" is "Entw&APw-rfe".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace localplatform {

// The modified UTF-7 form of a UTF-8 name; nothing when name is not valid
// UTF-8 (or holds a NUL).
[[nodiscard]] std::optional<std::string> EncodeMailFolderName(std::string_view utf8);

// The UTF-8 name of a modified UTF-7 one; nothing when text is not valid
// modified UTF-7 (a bad base64 run, an unpaired surrogate, an ASCII
// character encoded, a run left open, a byte outside printable ASCII).
// Reads names found on disk or sent by a server: any text is safe to pass.
[[nodiscard]] std::optional<std::string> DecodeMailFolderName(std::string_view mutf7);

}  // namespace localplatform
