#include "base/testing/temp_platform.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace platform::testing {

TempPlatform::TempPlatform(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp(" + pattern + ") failed");
    dir_ = buffer.data();
}

TempPlatform::~TempPlatform() {
    if (configs_ > 0) unsetenv("QUELLIX_CONFIG");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string TempPlatform::Configure(const std::string& lines) {
    const std::string path = Write("platform-" + std::to_string(++configs_) + ".conf",
                                   "state_dir = " + dir_ + "\ndata_dir = " + dir_ + "\n" + lines);
    setenv("QUELLIX_CONFIG", path.c_str(), 1);
    return path;
}

std::string TempPlatform::Write(const std::string& name, const std::string& text) const {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

}  // namespace platform::testing
