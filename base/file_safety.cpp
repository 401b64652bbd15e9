#include "base/file_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

UniqueFd OpenRootsAlone(const std::string& path, std::string* why) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            *why = path + ": " + std::strerror(errno);
            return {};
        }
        absolute = std::string(cwd) + "/" + path;
    }
    std::vector<std::string> names;
    for (size_t at = 0; at < absolute.size();) {
        const size_t slash = absolute.find('/', at);
        const size_t end = slash == std::string::npos ? absolute.size() : slash;
        const std::string name = absolute.substr(at, end - at);
        if (name == "..") {
            *why = path + ": a path with \"..\" is not judged";
            return {};
        }
        if (!name.empty() && name != ".") names.push_back(name);
        at = end + 1;
    }
    UniqueFd fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string at = "/";
    for (size_t i = 0;; ++i) {
        const bool last = i == names.size();
        struct stat st {};
        if (!fd.IsOpen() || ::fstat(fd.Get(), &st) != 0) {
            *why = at + ": " + std::strerror(errno);
            return {};
        }
        if (st.st_uid != 0) {
            *why = "owner of " + at + " is uid " + std::to_string(st.st_uid) + ", not root";
            return {};
        }
        // A sticky folder open to others shelters the entry below it, which
        // is judged next: only its owner, root, can move it.
        const bool sticky = !last && (st.st_mode & S_ISVTX) != 0;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            *why = at + " is writable by others than root (mode " + mode + ")";
            return {};
        }
        if (last) {
            if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return fd;
            *why = at + ": not a regular file";
            return {};
        }
        const std::string& name = names[i];
        at += (at == "/" ? "" : "/") + name;
        struct stat entry {};
        if (::fstatat(fd.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(entry.st_mode)) {
            *why = at + " is a link (not followed)";
            return {};
        }
        const int next = ::openat(fd.Get(), name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                      (i + 1 < names.size() ? O_DIRECTORY : 0));
        const int error = errno;
        fd.Reset(next);
        errno = error;
    }
}

std::optional<std::string> WhyNotRootsAlone(const std::string& path) {
    std::string why;
    if (OpenRootsAlone(path, &why).IsOpen()) return std::nullopt;
    return why;
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
