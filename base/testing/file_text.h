// Test support: the whole content of a file, for tests that read back what
// a program wrote.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace platform::testing {

// The bytes of the file at path; empty when it cannot be read.
inline std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace platform::testing
