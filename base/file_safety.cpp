#include "base/file_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "base/unique_fd.h"

namespace platform {

namespace {

[[noreturn]] void Fail(const std::string& operation, const std::string& path, int error) {
    throw Error(err::kPermissionDenied, Describe(operation, path, std::strerror(error), error));
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> WhyNotRootsAlone(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path + ": " + std::strerror(errno);
    std::string at = resolved;
    bool entryIsRoots = false;  // the entry below the folder being judged
    for (bool first = true;; first = false) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) return at + ": " + std::strerror(errno);
        if (st.st_uid != 0)
            return "owner of " + at + " is uid " + std::to_string(st.st_uid) + ", not root";
        const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        const bool stickyShelter =
            !first && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && entryIsRoots;
        if (othersWrite && !stickyShelter) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            return at + " is writable by others than root (mode " + mode + ")";
        }
        if (first && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            return at + ": not a regular file";
        entryIsRoots = true;
        if (at == "/") return std::nullopt;
        at = Parent(at);
    }
}

void SettleNewFile(int fd, const std::string& path, mode_t mode) {
    if (::fchmod(fd, mode) != 0) Fail("chmod", path, errno);
    if (::geteuid() != 0) return;
    struct stat folder {};
    const std::string parent = Parent(path);
    if (::stat(parent.c_str(), &folder) != 0) Fail("stat", parent, errno);
    if (folder.st_uid == 0) return;
    if (::fchown(fd, folder.st_uid, folder.st_gid) != 0) Fail("chown", path, errno);
}

bool CreateSettledFile(const std::string& path, mode_t mode) {
    const UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777));
    if (!fd.IsOpen()) {
        if (errno == EEXIST) return false;
        Fail("create", path, errno);
    }
    SettleNewFile(fd.Get(), path, mode);
    return true;
}

bool SettleExistingFile(const std::string& path, mode_t mode) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.IsOpen()) {
        if (errno == ENOENT) return false;
        Fail("open", path, errno);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) Fail("stat", path, errno);
    if (!S_ISREG(st.st_mode))
        throw Error(err::kPermissionDenied, Describe("open", path, "not a regular file", EINVAL));
    SettleNewFile(fd.Get(), path, mode);
    return true;
}

std::optional<bool> OthersMayRead(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return (st.st_mode & S_IROTH) != 0;
}

}  // namespace platform
