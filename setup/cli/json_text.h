// Values as JSON texts for the command line's --json output: every text
// taken from data goes through JsonString.
#pragma once

#include <string>
#include <vector>

namespace setup {

// s as a JSON string, quotes and control characters escaped.
std::string JsonString(const std::string& s);
// items as a JSON array of strings.
std::string JsonList(const std::vector<std::string>& items);

}  // namespace setup
