#include "tools/eventd/firing_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include "base/error.h"
#include "base/unique_fd.h"

namespace eventd {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, const std::string& why) {
    throw platform::Error(platform::err::kFail, what + "(" + path + ") failed: " + why);
}

}  // namespace

FiringRecord FiringRecord::Load(const std::string& path) {
    FiringRecord r;
    r.path_ = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return r;
        Fail("open", path, std::strerror(errno));
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) continue;
        const size_t tab = line.find('\t');
        int64_t instant = 0;
        const char* end = line.data() + (tab == std::string::npos ? 0 : tab);
        const auto [ptr, ec] = std::from_chars(line.data(), end, instant);
        if (tab == std::string::npos || tab == 0 || ec != std::errc() || ptr != end ||
            tab + 1 >= line.size()) {
            Fail("read", path, "line " + std::to_string(number) + " is malformed");
        }
        r.last_[line.substr(tab + 1)] = instant;
    }
    if (in.bad()) Fail("read", path, std::strerror(errno));
    return r;
}

std::optional<int64_t> FiringRecord::LastFiring(const std::string& url) const {
    const auto it = last_.find(url);
    if (it == last_.end()) return std::nullopt;
    return it->second;
}

void FiringRecord::Keep(const std::map<std::string, bool>& urls) {
    for (auto it = last_.begin(); it != last_.end();) {
        it = urls.count(it->first) ? std::next(it) : last_.erase(it);
    }
}

void FiringRecord::Save() const {
    std::string text;
    for (const auto& [url, instant] : last_) {
        // A URL never holds a line break (the store refuses control
        // characters in names); keep the file parseable if one ever did.
        if (url.find_first_of("\r\n") != std::string::npos) continue;
        text += std::to_string(instant) + "\t" + url + "\n";
    }
    const std::string tmp = path_ + ".tmp";
    platform::UniqueFd fd(
        ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.IsOpen()) Fail("open", tmp, std::strerror(errno));
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("write", tmp, std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.Get()) != 0) Fail("fsync", tmp, std::strerror(errno));
    if (!fd.Close()) Fail("close", tmp, std::strerror(errno));
    if (::rename(tmp.c_str(), path_.c_str()) != 0) Fail("rename", path_, std::strerror(errno));
}

}  // namespace eventd
