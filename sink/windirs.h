// Windirs: where the run log lives.
#pragma once

#include <string>
#include <string_view>

namespace quellix {

// The running account's private temporary directory as the operating system's
// GetTempPathA gives it, with its trailing separator, obtained with a
// 256-character buffer and cut at the first NUL. Raises platform::Error when
// the call fails or the path does not fit the buffer (a cut path would name
// some other directory).
std::string GetTempDirectory();

// The text before the first NUL character, or the whole text when it has none.
std::string TrimAtNul(std::string_view text);

}  // namespace quellix
