#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/ado.h"

namespace platform {

Stream::Stream() = default;
Stream::Stream(std::string bytes) : bytes_(std::move(bytes)) {}

void Stream::LoadFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Error(err::kFileNotFound,
                    Describe("Stream.LoadFromFile", path, std::strerror(errno), errno));
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    bytes_ = ss.str();
}

void Stream::SaveToFile(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(bytes_.data(), static_cast<std::streamsize>(bytes_.size()))) {
        throw Error(err::kPathFileAccess,
                    Describe("Stream.SaveToFile", path, std::strerror(errno), errno));
    }
}

}  // namespace platform
