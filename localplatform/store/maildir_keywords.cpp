#include "localplatform/store/maildir_keywords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "base/error.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "localplatform/store/mail_store.h"

namespace localplatform {

namespace err = platform::err;
using platform::Error;
using platform::UniqueFd;

namespace {

constexpr const char* kList = "dovecot-keywords";
constexpr const char* kLock = "dovecot-keywords.lock";
constexpr size_t kMostListBytes = size_t{64} * 1024;  // 26 names of an IMAP atom each

[[noreturn]] void Fail(int32_t number, const std::string& op, const std::string& object,
                       const std::string& why) {
    throw Error(number, platform::Describe(op, platform::VisibleText(object), why, number));
}

std::string ReadList(int dir, const std::string& what) {
    const UniqueFd fd(::openat(dir, kList, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.IsOpen()) {
        if (errno == ENOENT) return {};
        Fail(err::kPathFileAccess, "read keywords", what + "/" + kList, std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        Fail(err::kPathFileAccess, "read keywords", what + "/" + kList, "not a regular file");
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            Fail(err::kPathFileAccess, "read keywords", what + "/" + kList, std::strerror(errno));
        if (n == 0 || text.size() > kMostListBytes) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

MaildirKeywords MaildirKeywords::Read(int dir, const std::string& what) {
    return Parse(ReadList(dir, what));
}

MaildirKeywords MaildirKeywords::Parse(const std::string& text) {
    MaildirKeywords k;
    auto& names = k.names_;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t blank = line.find(' ');
        if (blank == 0 || blank == std::string::npos || blank > 2) continue;
        if (!std::all_of(line.begin(), line.begin() + static_cast<ptrdiff_t>(blank),
                         [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const auto index = static_cast<size_t>(std::stoi(line.substr(0, blank)));
        if (index < names.size()) names[index] = line.substr(blank + 1);
    }
    return k;
}

std::string MaildirKeywords::FlagsOf(const std::string& fileName) const {
    const size_t info = fileName.find(":2,");
    if (info == std::string::npos) return {};
    std::string letters;
    std::vector<std::string> keywords;
    for (const char c : fileName.substr(info + 3)) {
        if (c >= 'A' && c <= 'Z') letters += c;
        if (c >= 'a' && c <= 'z' && !names_[static_cast<size_t>(c - 'a')].empty())
            keywords.push_back(names_[static_cast<size_t>(c - 'a')]);
    }
    return JoinFlags(std::move(letters), std::move(keywords));
}

MaildirKeywords MaildirKeywords::Add(int dir, const std::vector<std::string>& names,
                                     const std::string& what, std::chrono::milliseconds lockWait,
                                     const std::string& lockSetting) {
    const std::string lockPath = what + "/" + kLock;
    const auto deadline = std::chrono::steady_clock::now() + lockWait;
    UniqueFd lock;
    for (;;) {
        lock = UniqueFd(
            ::openat(dir, kLock, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (lock.IsOpen()) break;
        if (errno != EEXIST)
            Fail(err::kPathFileAccess, "lock keywords", lockPath, std::strerror(errno));
        if (std::chrono::steady_clock::now() >= deadline) {
            Fail(err::kResourceLocked, "lock keywords", lockPath,
                 "held by another process for " + std::to_string(lockWait.count()) + " ms (" +
                     lockSetting + ")");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Under the lock the list is read again: the server may have added to
    // it since.
    MaildirKeywords k;
    try {
        k = Read(dir, what);
        for (const auto& name : names) {
            if (k.LetterOf(name)) continue;
            const auto free = std::find(k.names_.begin(), k.names_.end(), std::string());
            if (free == k.names_.end()) break;  // no letter left
            *free = name;
        }
        std::string text;
        for (size_t i = 0; i < k.names_.size(); ++i) {
            if (!k.names_[i].empty()) text += std::to_string(i) + " " + k.names_[i] + "\n";
        }
        struct stat folder {};
        if (::fstat(dir, &folder) != 0)
            Fail(err::kPathFileAccess, "lock keywords", lockPath, std::strerror(errno));
        // The list belongs to the folder's owner, as the server writes it.
        if (::geteuid() == 0 && ::fchown(lock.Get(), folder.st_uid, folder.st_gid) != 0)
            Fail(err::kPathFileAccess, "write keywords", lockPath, std::strerror(errno));
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(lock.Get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                Fail(err::kPathFileAccess, "write keywords", lockPath, std::strerror(errno));
            done += static_cast<size_t>(n);
        }
        if (::fsync(lock.Get()) != 0 || ::renameat(dir, kLock, dir, kList) != 0)
            Fail(err::kPathFileAccess, "write keywords", what + "/" + kList, std::strerror(errno));
        (void)::fsync(dir);
    } catch (const Error&) {
        (void)::unlinkat(dir, kLock, 0);
        throw;
    }
    return k;
}

std::optional<char> MaildirKeywords::LetterOf(const std::string& name) const {
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) return static_cast<char>('a' + i);
    }
    return std::nullopt;
}

std::string InfoLetters(int dir, const std::string& flags, const std::string& what,
                        std::chrono::milliseconds lockWait, const std::string& lockSetting) {
    const FlagParts parts = SplitFlags(flags);
    std::string letters;
    for (const char c : parts.letters) {
        if (c >= 'A' && c <= 'Z') letters += c;
    }
    if (!parts.keywords.empty()) {
        MaildirKeywords list = MaildirKeywords::Read(dir, what);
        const bool known = std::all_of(parts.keywords.begin(), parts.keywords.end(),
                                       [&](const std::string& k) { return list.LetterOf(k); });
        if (!known) list = MaildirKeywords::Add(dir, parts.keywords, what, lockWait, lockSetting);
        for (const auto& k : parts.keywords) {
            if (const auto letter = list.LetterOf(k)) letters += *letter;
        }
    }
    std::sort(letters.begin(), letters.end());
    return letters;
}

}  // namespace localplatform
