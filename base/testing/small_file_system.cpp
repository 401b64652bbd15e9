#include "base/testing/small_file_system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace platform::testing {

namespace {

bool Put(const char* file, const std::string& text) {
    const int fd = open(file, O_WRONLY | O_CLOEXEC);
    const bool ok =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

bool MountSmallFileSystem(const std::string& dir, const std::string& size) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWNS) != 0) {
        // Not root: a user namespace of our own, in which we are.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        Put("/proc/self/setgroups", "deny");
        if (!Put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !Put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return false;
        }
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
}

long FillFileSystem(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    static const char page[4096] = {};
    long written = 0;
    for (;;) {
        const ssize_t n = write(fd, page, sizeof page);
        if (n <= 0) break;
        written += n;
    }
    close(fd);
    return written;
}

}  // namespace platform::testing
