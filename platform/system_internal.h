// Pieces of the operating-system services, open to their tests: how the
// private temporary directory is chosen, with its sources passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::detail {

struct TempDirSources {
    std::optional<std::string> configured;  // platform configuration "temp_dir"
    std::optional<std::string> tmpdir;      // the environment's TMPDIR
    std::string sharedRoot = "/tmp";        // where "quellix-<uid>" is made
    std::optional<std::string> home;        // the account's home directory
};

// The running account's private temporary directory with a trailing "/": the
// configured one (created when missing); else TMPDIR when it is a directory
// of this account that others cannot write; else <sharedRoot>/quellix-<uid>,
// made with mode 0700 and refused when it is a link, another account's, or
// open to others; else <home>/.quellix-tmp on the same terms. Nothing when
// none of them can be had safely; then why names the directory that was
// refused last and the reason, as "operation(directory) failed: reason (code)".
std::optional<std::string> ChooseTempDirectory(const TempDirSources& sources,
                                               std::string* why = nullptr);

// Creates path as a directory of mode 0700, or accepts an existing one only
// when it is a real directory (not a link) of this account that no one else
// can read or write. Returns whether path is now such a directory; when it
// is not, why says so.
bool EnsurePrivateDirectory(const std::string& path, std::string* why = nullptr);

// The bytes of a configured bias "bytes:C4 FF FF FF" (the text after
// "bytes:"): two-digit hex bytes with blanks or commas between them. Nothing
// for any other text, or for no bytes at all.
std::optional<std::vector<uint8_t>> ParseBiasBytes(const std::string& text);

}  // namespace platform::detail
