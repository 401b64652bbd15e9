// What a root process trusts: files and folders of every owner and mode,
// and links at the end and on the way, made as root in a folder of root's.
#include "base/file_safety.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace platform {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kNobody = 65534;

TEST(FileSafety, OnlyWhatRootAloneCanChangeIsTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners can be given only as root";
    char tmpl[] = "/tmp/quellix-file-safety-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string top = tmpl;
    ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
    // Each case's path below top, made with its owner and mode.
    struct Entry {
        std::string path;
        char kind;  // 'd' folder, 'f' file, 'l' link (to target), 'p' FIFO
        uid_t owner;
        mode_t mode;
        std::string target;
    };
    const Entry entries[] = {
        {"ok", 'd', 0, 0755, ""},
        {"ok/file", 'f', 0, 0644, ""},
        {"nobody.f", 'f', kNobody, 0644, ""},
        {"group.f", 'f', 0, 0664, ""},
        {"other.f", 'f', 0, 0646, ""},
        {"groupdir", 'd', 0, 0775, ""},
        {"groupdir/file", 'f', 0, 0644, ""},
        {"nobodydir", 'd', kNobody, 0755, ""},
        {"nobodydir/file", 'f', 0, 0644, ""},
        {"sticky", 'd', 0, 01777, ""},
        {"sticky/file", 'f', 0, 0644, ""},
        {"sticky/nobody.f", 'f', kNobody, 0644, ""},
        {"end.l", 'l', 0, 0, "ok/file"},
        {"middle.l", 'l', 0, 0, "ok"},
        {"fifo", 'p', 0, 0600, ""},
    };
    for (const auto& e : entries) {
        const std::string p = top + "/" + e.path;
        if (e.kind == 'l') {
            fs::create_symlink(top + "/" + e.target, p);
            continue;
        }
        if (e.kind == 'd') fs::create_directory(p);
        if (e.kind == 'f') std::ofstream(p) << "x";
        if (e.kind == 'p') {
            ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
        }
        ASSERT_EQ(::chown(p.c_str(), e.owner, 0), 0) << p;
        ASSERT_EQ(::chmod(p.c_str(), e.mode), 0) << p;
    }
    struct Case {
        std::string path;
        std::string want;  // empty: trusted
    } cases[] = {
        {"ok/file", ""},
        {"ok", ""},
        {"./ok//file", ""},
        {"sticky/file", ""},
        {"nobody.f", "owner of " + top + "/nobody.f is uid 65534, not root"},
        {"group.f", top + "/group.f is writable by others than root (mode 0664)"},
        {"other.f", top + "/other.f is writable by others than root (mode 0646)"},
        {"groupdir/file", top + "/groupdir is writable by others than root (mode 0775)"},
        {"nobodydir/file", "owner of " + top + "/nobodydir is uid 65534, not root"},
        {"sticky", top + "/sticky is writable by others than root (mode 1777)"},
        {"sticky/nobody.f", "owner of " + top + "/sticky/nobody.f is uid 65534, not root"},
        {"end.l", top + "/end.l is a link (not followed)"},
        {"middle.l/file", top + "/middle.l is a link (not followed)"},
        {"fifo", top + "/fifo: not a regular file"},
        {"missing", top + "/missing: No such file or directory"},
        {"ok/file/x", top + "/ok/file: Not a directory"},
        {"ok/../ok/file", top + "/ok/../ok/file: a path with \"..\" is not judged"},
    };
    for (const auto& c : cases) {
        const std::string path = c.path.starts_with("./") ? c.path : top + "/" + c.path;
        if (c.path.starts_with("./")) {
            ASSERT_EQ(::chdir(top.c_str()), 0);
        }
        std::string why;
        const UniqueFd fd = OpenRootsAlone(path, &why);
        EXPECT_EQ(WhyNotRootsAlone(path).value_or(""), c.want) << c.path;
        if (c.want.empty()) {
            // The descriptor is of the file judged.
            struct stat opened {
            }, named{};
            ASSERT_TRUE(fd.IsOpen()) << c.path << ": " << why;
            ASSERT_EQ(::fstat(fd.Get(), &opened), 0);
            ASSERT_EQ(::stat(path.c_str(), &named), 0);
            EXPECT_EQ(opened.st_ino, named.st_ino) << c.path;
        } else {
            EXPECT_FALSE(fd.IsOpen()) << c.path;
            EXPECT_NE(why.find(c.want), std::string::npos) << why;
        }
    }
    ASSERT_EQ(::chdir("/"), 0);
    fs::remove_all(top);
}

}  // namespace
}  // namespace platform
