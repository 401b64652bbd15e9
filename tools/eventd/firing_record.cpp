#include "tools/eventd/firing_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

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
    // Never through a link, never waiting on what is not a regular file.
    const platform::UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.IsOpen()) {
        if (errno == ENOENT) return r;
        Fail("open", path, std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) Fail("stat", path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) Fail("open", path, "not a regular file");
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("read", path, std::strerror(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    std::istringstream in(text);
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
    // A new file of this process's own: whatever was left at the name (a
    // file of a killed save, or anything else) goes first, and O_EXCL never
    // opens what is there, so nothing here waits on a FIFO or follows a link.
    const std::string tmp = path_ + ".tmp";
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) Fail("unlink", tmp, std::strerror(errno));
    platform::UniqueFd fd(
        ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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
