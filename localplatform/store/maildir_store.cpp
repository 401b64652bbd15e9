#include "localplatform/store/maildir_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "localplatform/store/mail_folder_name.h"
#include "localplatform/store/maildir_keywords.h"
#include "localplatform/store/maildir_store_faults.h"

namespace localplatform {
namespace {

namespace err = platform::err;
using platform::Error;
using platform::UniqueFd;

constexpr std::string_view kInfo = ":2,";
constexpr size_t kHeldFolders = 64;  // folder directories kept open
// Looks for a message renamed under a delete or a move before it counts as
// gone.
constexpr int kLooksForARenamedMessage = 8;
// Of those, looks that find no file of its key: a listing made while the
// server renames files may pass over one that is renamed as it reads, so
// one miss is not proof.
constexpr int kMissesForAGoneMessage = 2;
// Listings of a folder that changes while it is read, at most.
constexpr int kListingsOfAChangingFolder = 4;

using Location = MailStoreLocation;

std::string Expand(const std::string& pathTemplate, const std::string& ns,
                   const std::string& alias) {
    std::string out;
    for (size_t i = 0; i < pathTemplate.size(); ++i) {
        if (pathTemplate[i] != '%' || i + 1 == pathTemplate.size()) {
            out += pathTemplate[i];
            continue;
        }
        const char c = pathTemplate[++i];
        out += c == 'd' ? ns : c == 'n' ? alias : std::string(1, c);
    }
    return out;
}

// A name that is one path segment and nothing else.
bool PlainSegment(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

// Calls take(name, type) for each entry of directory dirFd but "." and
// "..", type as the file system gives it (DT_UNKNOWN when it does not). The
// directory is read through a description of its own, so that the position
// of dirFd, which others hold, stays as it is; a run lists every folder of
// every mailbox, and a directory stream would cost four calls more.
template <typename Take>
void ReadDir(int dirFd, const std::string& what, Take take) {
    const UniqueFd fd(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsOpen()) {
        throw Error(err::kPathFileAccess,
                    platform::Describe("list folder", what, std::strerror(errno), errno));
    }
    alignas(dirent64) std::array<char, 32768> buf{};
    for (;;) {
        const ssize_t n = ::getdents64(fd.Get(), buf.data(), buf.size());
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error(err::kPathFileAccess,
                        platform::Describe("list folder", what, std::strerror(errno), errno));
        }
        for (ssize_t at = 0; at < n;) {
            dirent64 d{};
            std::memcpy(&d, buf.data() + at, std::min(sizeof d, static_cast<size_t>(n - at)));
            const char* name = buf.data() + at + offsetof(dirent64, d_name);
            at += d.d_reclen;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            take(name, d.d_type);
        }
    }
}

// The entries of a directory, "." and ".." left out, sorted.
std::vector<std::string> ListDir(int dirFd, const std::string& what) {
    std::vector<std::string> names;
    ReadDir(dirFd, what, [&](const char* name, unsigned char) { names.emplace_back(name); });
    std::sort(names.begin(), names.end());
    return names;
}

// Whether name in dirFd is a directory of its own (a link is not one).
bool IsDirectory(int dirFd, const std::string& name) {
    struct stat st {};
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

UniqueFd OpenDirAt(int dirFd, const std::string& name) {
    return UniqueFd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A message file as found: its folder part ("cur" or "new") and its name.
struct Located {
    std::string sub;
    std::string name;
    struct stat st {};
};

// When new/ and cur/ of the folder open at dir last changed (a rename in
// either changes it); zeros for one that is missing.
std::array<int64_t, 4> FolderStamp(int dir) {
    std::array<int64_t, 4> stamp{};
    size_t at = 0;
    for (const char* sub : {"new", "cur"}) {
        struct stat st {};
        if (::fstatat(dir, sub, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            stamp[at] = st.st_mtim.tv_sec;
            stamp[at + 1] = st.st_mtim.tv_nsec;
        }
        at += 2;
    }
    return stamp;
}

std::string KeyOf(const std::string& fileName) {
    const size_t info = fileName.find(kInfo);
    return info == std::string::npos ? fileName : fileName.substr(0, info);
}

// Run as root, what is made or moved in a mailbox belongs to the mailbox's owner
// (as a delivery agent's files do), so the mail server can read it. Returns
// 0, or the errno of a failure: a message the server cannot read would be
// lost to its user, so the caller fails rather than keep it. One form for
// an open file, one for an entry of the folder, not followed if a link.
int GiveToFolderOwner(int dir, int fd) {
    if (::geteuid() != 0) return 0;
    struct stat owner {};
    struct stat file {};
    if (::fstat(dir, &owner) != 0 || ::fstat(fd, &file) != 0) return errno;
    if (::fchown(fd, owner.st_uid, owner.st_gid) != 0) return errno;
    // A message moved in keeps its mode, but its new owner must read it.
    if ((file.st_mode & S_IRUSR) != 0) return 0;
    return ::fchmod(fd, (file.st_mode & 07777) | S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
}

int GiveToFolderOwner(int dir, const char* name) {
    if (::geteuid() != 0) return 0;
    struct stat owner {};
    if (::fstat(dir, &owner) != 0) return errno;
    return ::fchownat(dir, name, owner.st_uid, owner.st_gid, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// Renames from (in fromDir) to to (in toDir), never replacing a file there.
// Returns 0, or the errno of a failure (EEXIST when to is taken). Where the
// file system refuses rename flags (Linux's NFS client, a FUSE file system
// without them: EINVAL), the file gets the new name as a hard link, which
// never replaces one either, and loses the old, as Dovecot does there; a
// crash in between leaves it under both names, never under none.
int RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
    if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return errno;
    if (::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) return errno;
    if (::unlinkat(fromDir, from.c_str(), 0) == 0) return 0;
    const int e = errno;
    (void)::unlinkat(toDir, to.c_str(), 0);
    return e;
}

// What a file that is no message is, for the error that names it.
std::string FileType(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "another file";
}

void FsyncDir(int fd, const std::string& what) {
    if (::fsync(fd) != 0) {
        throw Error(err::kPathFileAccess,
                    platform::Describe("sync folder", what, std::strerror(errno), errno));
    }
}

// The subdirectories of a directory as listed, and the directory then.
struct ListedDirectory {
    dev_t dev;
    ino_t ino;
    struct timespec mtime;
    std::vector<std::string> names;
};

class MaildirStore final : public MailStore {
public:
    MaildirStore(MailStoreSettings settings, Location location)
        : settings_(std::move(settings)), loc_(std::move(location)) {}

    [[nodiscard]] std::string Describe() const override {
        return "maildir:" + loc_.pathTemplate + (loc_.fsLayout ? ":LAYOUT=fs" : "") +
               (loc_.utf8Names ? ":UTF-8" : "");
    }

    std::optional<std::string> FindMailbox(const std::string& alias) override {
        if (!PlainSegment(alias)) return std::nullopt;
        if (IsDirectory(AT_FDCWD, RootOf(alias))) return alias;
        std::optional<std::string> found;
        for (const auto& name : Mailboxes()) {
            if (!platform::EqualsNoCase(name, alias)) continue;
            if (found) {
                Fail(err::kInvalidArg, "find mailbox", alias,
                     "two mailboxes differ only in case: '" + platform::VisibleText(*found) +
                         "' and '" + platform::VisibleText(name) + "'");
            }
            found = name;
        }
        return found;
    }

    std::vector<std::string> Mailboxes() override {
        // Listable when %n is a whole segment of the path: the mailboxes are
        // the entries of the folder above it that hold the rest of the path.
        const std::string& t = loc_.pathTemplate;
        const size_t at = t.find("/%n");
        if (at == std::string::npos || (at + 3 < t.size() && t[at + 3] != '/')) return {};
        const std::string parent = Expand(t.substr(0, at), settings_.ns, "");
        const UniqueFd dir = OpenDirAt(AT_FDCWD, parent.empty() ? "/" : parent);
        if (!dir.IsOpen()) {
            if (errno == ENOENT) return {};
            Fail(err::kPathFileAccess, "list mailboxes", parent, std::strerror(errno));
        }
        std::vector<std::string> out;
        for (const auto& name : ListDir(dir.Get(), parent)) {
            if (name[0] == '.' || !PlainSegment(name)) continue;
            if (IsDirectory(AT_FDCWD, RootOf(name))) out.push_back(name);
        }
        return out;
    }

    bool HasFolder(const MailFolder& folder) override {
        if (OpenFolder(folder).IsOpen()) return true;
        if (loc_.fsLayout || folder.path.empty()) return false;
        // Maildir++ keeps "A/B" without "A": "A" is there as a parent.
        return !Subfolders(folder).empty();
    }

    std::vector<std::string> Subfolders(const MailFolder& folder) override {
        std::set<std::string> names;
        if (loc_.fsLayout) {
            const UniqueFd dir = OpenFolder(folder);
            if (!dir.IsOpen())
                Fail(err::kNotFound, "list folders", PathText(folder), "no such folder");
            for (const auto& entry : Subdirectories(dir.Get(), PathText(folder))) {
                if (entry == "cur" || entry == "new" || entry == "tmp") continue;
                names.insert(DecodeName(entry));
            }
        } else {
            const std::vector<std::string> prefixes =
                folder.path.empty() ? std::vector<std::string>{""} : MaildirPlusNames(folder.path);
            const std::string root = RootOf(folder.alias);
            auto entries = KeptSubdirectories(root);
            if (!entries) entries = Subdirectories(OpenRoot(folder.alias).Get(), root);
            for (const auto& parent : prefixes) {
                const std::string prefix = parent + ".";
                for (const auto& entry : *entries) {
                    if (entry.size() <= prefix.size() || !entry.starts_with(prefix)) continue;
                    const std::string rest = entry.substr(prefix.size());
                    names.insert(DecodeName(rest.substr(0, rest.find('.'))));
                }
            }
        }
        return {names.begin(), names.end()};
    }

    std::vector<MailStoreMessage> Messages(const MailFolder& folder) override {
        const auto held = HeldFolder(folder, true);
        const UniqueFd& dir = *held;
        std::map<std::string, MailStoreMessage> byKey;
        if (!dir.IsOpen()) return {};
        auto& known = Known(folder);
        known.clear();
        const MaildirKeywords keywords = MaildirKeywords::Read(dir.Get(), PathText(folder));
        // A listing read while the server renames files (their flags
        // change) may pass over a file renamed behind the read: while the
        // folder changed during a listing, it is listed again, and every
        // message any listing saw is kept (a later listing's name first).
        for (int pass = 0; pass < kListingsOfAChangingFolder; ++pass) {
            const auto before = FolderStamp(dir.Get());
            for (const char* sub : {"new", "cur"}) {
                const UniqueFd part = OpenDirAt(dir.Get(), sub);
                if (!part.IsOpen()) {
                    if (errno == ENOENT) continue;
                    Fail(err::kPathFileAccess, "list messages", PathText(folder) + "/" + sub,
                         std::strerror(errno));
                }
                for (const auto& name : ListDir(part.Get(), PathText(folder) + "/" + sub)) {
                    if (name[0] == '.') continue;
                    struct stat st {};
                    if (::fstatat(part.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                        !S_ISREG(st.st_mode))
                        continue;  // gone meanwhile, or no message file
                    const std::string key = KeyOf(name);
                    // A message the server is moving from new/ to cur/ may
                    // show in both: cur/ (read last) has its newest name.
                    byKey[key] =
                        MailStoreMessage{key, st.st_mtime, st.st_size, keywords.FlagsOf(name)};
                    known[key] = Located{sub, name, st};
                }
            }
            if (FolderStamp(dir.Get()) == before) break;
        }
        std::vector<MailStoreMessage> out;
        out.reserve(byKey.size());
        for (auto& [key, m] : byKey) out.push_back(std::move(m));
        return out;
    }

    std::optional<MailStoreMessage> Message(const MailFolder& folder,
                                            const std::string& key) override {
        const auto held = HeldFolder(folder);
        const UniqueFd& dir = *held;
        if (!dir.IsOpen()) return std::nullopt;
        const auto found = Locate(folder, dir.Get(), key);
        if (!found) return std::nullopt;
        return MailStoreMessage{
            key, found->st.st_mtime, found->st.st_size,
            MaildirKeywords::Read(dir.Get(), PathText(folder)).FlagsOf(found->name)};
    }

    std::string Content(const MailFolder& folder, const std::string& key) override {
        std::string bytes;
        Read(folder, key, [&](const char* data, size_t n) { bytes.append(data, n); });
        return bytes;
    }

    void ContentInto(const MailFolder& folder, const std::string& key,
                     MessageSpool& spool) override {
        Read(folder, key, [&](const char* data, size_t n) { spool.Append(data, n); });
    }

    bool Delete(const MailFolder& folder, const std::string& key) override {
        const auto held = HeldFolder(folder);
        const UniqueFd& dir = *held;
        // A server that keeps changing the message's flags renames it
        // between our look and the unlink: each try looks again, a few
        // times, before the message counts as gone.
        int misses = 0;
        for (int attempt = 0; dir.IsOpen() && attempt < kLooksForARenamedMessage; ++attempt) {
            // Where the listing saw it, unless it is gone from there: the
            // unlink itself finds that out, as a look before it would.
            auto found = attempt == 0 ? Listed(folder, key) : std::nullopt;
            if (!found) found = Locate(folder, dir.Get(), key, attempt > 0);
            if (!found) {
                if (++misses == kMissesForAGoneMessage) return false;
                continue;
            }
            const std::string rel = found->sub + "/" + found->name;
            if (::unlinkat(dir.Get(), rel.c_str(), 0) == 0) {
                Forget(folder, key);
                NoteChanged(dir.Get(), found->sub, PathText(folder));
                return true;
            }
            // Renamed by the server (its flags changed): look for it again.
            if (errno != ENOENT) {
                Fail(err::kPathFileAccess, "delete message", PathText(folder) + "/" + rel,
                     std::strerror(errno));
            }
        }
        return false;
    }

    size_t Flush() override {
        // Deletes are done at once; here they are made durable, folder by
        // folder, before the caller tells of them.
        auto pending = std::move(changed_);
        changed_.clear();
#ifdef QUELLIX_MAILDIR_FAULTS
        if (maildir_faults::beforeSync && !pending.empty()) maildir_faults::beforeSync();
#endif
        for (const auto& [what, dir] : pending) {
            // A folder that could not be opened to be synced fails here,
            // where the caller learns that its deletes are not yet durable.
            if (!dir.fd.IsOpen())
                Fail(err::kPathFileAccess, "sync folder", what, std::strerror(dir.openErrno));
            FsyncDir(dir.fd.Get(), what);
        }
        return 0;  // a delete found its file gone at once
    }

    std::optional<std::string> Move(const MailFolder& from, const std::string& key,
                                    const MailFolder& to) override {
        const UniqueFd src = OpenFolder(from);
        const UniqueFd dst = OpenFolder(to);
        if (!dst.IsOpen()) Fail(err::kNotFound, "move message", PathText(to), "no such folder");
        const UniqueFd dstCur = SubDir(dst.Get(), "cur", PathText(to));
        // Looked at once, before the source: a server renaming the source
        // (its flags changing) must not get the time a look at the
        // destination takes between our look at the source and its rename.
        const std::string newKey = Locate(to, dst.Get(), key) ? NewKey() : key;
        // A keyword's letter is the folder's own: the source's names, the
        // destination's letters for them.
        const MaildirKeywords sourceKeywords =
            src.IsOpen() ? MaildirKeywords::Read(src.Get(), PathText(from)) : MaildirKeywords();
        int misses = 0;
        for (int attempt = 0; src.IsOpen() && attempt < kLooksForARenamedMessage; ++attempt) {
            const auto found = Locate(from, src.Get(), key, attempt > 0);
            if (!found) {
                if (++misses == kMissesForAGoneMessage) break;
                continue;
            }
            // The flags go with it, the keywords by the destination's
            // letters; a message still in new/ gets an empty info part, as a
            // server does moving it to cur/.
            const std::string infoPart =
                std::string(kInfo) + InfoLetters(dst.Get(), sourceKeywords.FlagsOf(found->name),
                                                 PathText(to), LockWait(), LockSetting());
            const UniqueFd srcSub = OpenDirAt(src.Get(), found->sub);
            if (!srcSub.IsOpen()) continue;
            const std::string target = newKey + infoPart;
            const std::string fromText = PathText(from) + "/" + found->sub + "/" + found->name;
            // What is moved is the file opened here, a message file and no
            // other, whatever the name holds by the time it is renamed.
            struct stat st {};
            const UniqueFd file = OpenMessage(srcSub.Get(), found->name, st, "move message",
                                              PathText(from) + "/" + found->sub);
            if (!file.IsOpen()) continue;  // renamed meanwhile: look again
#ifdef QUELLIX_MAILDIR_FAULTS
            if (maildir_faults::beforeRename)
                maildir_faults::beforeRename(srcSub.Get(), found->name);
#endif
            const int renamed = RenameNoReplace(srcSub.Get(), found->name, dstCur.Get(), target);
            if (renamed == 0) {
#ifdef QUELLIX_MAILDIR_FAULTS
                if (maildir_faults::afterRename) maildir_faults::afterRename();
#endif
                PutBackUnlessMoved(srcSub.Get(), found->name, fromText, st, dstCur.Get(), target,
                                   PathText(to) + "/cur/" + target);
                // The file kept its owner, another mailbox's perhaps: it
                // goes to this folder's, or back where it was.
                if (const int e = GiveToFolderOwner(dstCur.Get(), file.Get()); e != 0) {
                    (void)RenameNoReplace(dstCur.Get(), target, srcSub.Get(), found->name);
                    Fail(err::kPathFileAccess, "give message to its folder's owner",
                         PathText(to) + "/cur/" + target, std::strerror(e));
                }
                FsyncDir(dstCur.Get(), PathText(to) + "/cur");
                FsyncDir(srcSub.Get(), PathText(from) + "/" + found->sub);
                Forget(from, key);
                return newKey;
            }
            if (renamed == ENOENT) continue;  // renamed meanwhile: look again
            // Two file systems (or two mounts of one): no rename joins them.
            if (renamed == EXDEV) return std::nullopt;
            Fail(err::kPathFileAccess, "move message", fromText + " to " + PathText(to),
                 std::strerror(renamed));
        }
        Fail(err::kNotFound, "move message", PathText(from) + "/" + key,
             "the message is no longer in its folder (moved or deleted meanwhile); nothing was "
             "copied");
    }

    void ForgetListings() override {
        known_.clear();
        held_.clear();
    }

    std::string Append(const MailFolder& folder, const std::string& bytes, int64_t received,
                       const std::string& flags) override {
        return AppendPlanned(folder, NewKey(), bytes, received, flags);
    }

    std::string PlanAppend(const MailFolder& folder, const std::string& wanted,
                           const MessageSpool& bytes) override {
        if (wanted.empty() || !PlainSegment(wanted) || wanted.find(':') != std::string::npos)
            return NewKey();
        // A name that says the file's size (Dovecot's ",S=" and ",W=", with
        // CRLF line ends) must say these bytes' size, or Dovecot takes the
        // file for a damaged one (bytes read over IMAP come with CRLF).
        for (const auto& [field, size] :
             {std::pair{",S=", static_cast<uint64_t>(bytes.Size())},
              std::pair{",W=", static_cast<uint64_t>(bytes.CrlfSize())}}) {
            const size_t at = wanted.find(field);
            if (at == std::string::npos) continue;
            const size_t from = at + 3;
            const size_t end = wanted.find_first_not_of("0123456789", from);
            const std::string digits =
                wanted.substr(from, end == std::string::npos ? end : end - from);
            if (digits.empty() || digits.size() > 18 || std::stoull(digits) != size)
                return NewKey();
        }
        const auto held = HeldFolder(folder);
        if (held->IsOpen() && Locate(folder, held->Get(), wanted)) return NewKey();
        return wanted;
    }

    std::string AppendPlanned(const MailFolder& folder, const std::string& planned,
                              const std::string& bytes, int64_t received,
                              const std::string& flags) override {
        return AppendWith(folder, planned, received, flags,
                          [&](const Take& put) { put(bytes.data(), bytes.size()); });
    }

    std::string AppendPlannedFrom(const MailFolder& folder, const std::string& planned,
                                  const MessageSpool& spool, int64_t received,
                                  const std::string& flags) override {
        return AppendWith(folder, planned, received, flags,
                          [&](const Take& put) { spool.ForEachPiece(put); });
    }

    std::vector<MailStoreMessage> AppendedSince(const MailFolder& folder,
                                                const std::string& planned) override {
        auto m = Message(folder, planned);
        if (!m) return {};
        return {*m};
    }

private:
    // Where bytes go, piece by piece, and what gives them.
    using Take = std::function<void(const char*, size_t)>;
    using Produce = std::function<void(const Take&)>;

    // The message key of folder, piece by piece into take.
    void Read(const MailFolder& folder, const std::string& key, const Take& take) {
        const auto held = HeldFolder(folder);
        const UniqueFd& dir = *held;
        for (int attempt = 0; dir.IsOpen() && attempt < 2; ++attempt) {
            const auto found = Locate(folder, dir.Get(), key, attempt > 0);
            if (!found) break;
            struct stat st {};
            const UniqueFd file = OpenMessage(dir.Get(), found->sub + "/" + found->name, st,
                                              "read message", PathText(folder));
            if (!file.IsOpen()) continue;  // renamed by the server: look again
            std::vector<char> buf(MessageSpool::kPiece);
            for (ssize_t n; (n = ::read(file.Get(), buf.data(), buf.size())) != 0;) {
                if (n < 0) {
                    if (errno == EINTR) continue;
                    Fail(err::kPathFileAccess, "read message", PathText(folder) + "/" + found->name,
                         std::strerror(errno));
                }
                take(buf.data(), static_cast<size_t>(n));
            }
            return;
        }
        Fail(err::kNotFound, "read message", PathText(folder) + "/" + key, "no such message");
    }

    std::string AppendWith(const MailFolder& folder, const std::string& planned, int64_t received,
                           const std::string& flags, const Produce& bytes) {
        if (planned.empty() || !PlainSegment(planned) || planned.find(':') != std::string::npos)
            Fail(err::kInvalidArg, "append message", PathText(folder), "no key planned");
        const UniqueFd dir = OpenFolder(folder);
        if (!dir.IsOpen())
            Fail(err::kNotFound, "append message", PathText(folder), "no such folder");
        const UniqueFd tmp = SubDir(dir.Get(), "tmp", PathText(folder));
        const UniqueFd cur = SubDir(dir.Get(), "cur", PathText(folder));
        const std::string& key = planned;
        const std::string target =
            key + std::string(kInfo) +
            InfoLetters(dir.Get(), flags, PathText(folder), LockWait(), LockSetting());
        // A name of its own in tmp/: a write killed before its rename left
        // its file there, under this plan perhaps (the next try plans the
        // same key), until the server's clean-up of tmp/ takes it.
        const std::string written = NewKey();
        WriteInto(tmp.Get(), written, bytes, 0600, received, PathText(folder) + "/tmp");
        if (const int e = RenameNoReplace(tmp.Get(), written, cur.Get(), target); e != 0) {
            (void)::unlinkat(tmp.Get(), written.c_str(), 0);
            Fail(err::kPathFileAccess, "append message", PathText(folder) + "/cur/" + target,
                 std::strerror(e));
        }
        FsyncDir(cur.Get(), PathText(folder) + "/cur");
        return key;
    }

    [[nodiscard]] std::chrono::milliseconds LockWait() const {
        return std::chrono::milliseconds(settings_.lockWaitMs);
    }
    [[nodiscard]] std::string LockSetting() const {
        return "mailstore." + settings_.ns + ".lock_wait_ms";
    }

    [[noreturn]] void Fail(int32_t number, const std::string& op, const std::string& object,
                           const std::string& why) const {
        throw Error(number, platform::Describe(op, Describe() + " " + platform::VisibleText(object),
                                               why, number));
    }

    std::string RootOf(const std::string& alias) const {
        if (!PlainSegment(alias))
            Fail(err::kInvalidArg, "open mailbox", alias, "not a mailbox name");
        return Expand(loc_.pathTemplate, settings_.ns, alias);
    }

    UniqueFd OpenRoot(const std::string& alias) const {
        const std::string root = RootOf(alias);
        UniqueFd fd = OpenDirAt(AT_FDCWD, root);
        if (!fd.IsOpen()) {
            if (errno == ENOENT) Fail(err::kNotFound, "open mailbox", root, "no such mailbox");
            Fail(err::kPathFileAccess, "open mailbox", root, std::strerror(errno));
        }
        return fd;
    }

    // A folder name as the disk spells it.
    std::string EncodeName(const std::string& name) const {
        if (!PlainSegment(name)) Fail(err::kInvalidArg, "open folder", name, "not a folder name");
        if (loc_.utf8Names) return name;
        const auto encoded = EncodeMailFolderName(name);
        if (!encoded) Fail(err::kInvalidArg, "open folder", name, "not UTF-8");
        return *encoded;
    }
    // A folder name as the user sees it; a name that is not modified UTF-7
    // (written by another program) is shown as it is.
    std::string DecodeName(const std::string& onDisk) const {
        if (loc_.utf8Names) return onDisk;
        const auto decoded = DecodeMailFolderName(onDisk);
        return decoded ? *decoded : onDisk;
    }

    // Maildir++'s directory of a folder below the Inbox: ".A.B".
    std::string MaildirPlusName(const std::vector<std::string>& path) const {
        std::string out;
        for (const auto& name : path) {
            std::string disk = EncodeName(name);
            if (disk.find('.') != std::string::npos) {
                // As read back from a listing a name never holds one: it was
                // a separator there.
                Fail(err::kInvalidArg, "open folder", name,
                     "a '.' cannot be part of a folder name in Maildir++ (it separates the "
                     "levels; LAYOUT=fs keeps such names)");
            }
            out += "." + disk;
        }
        return out;
    }

    // The directory names a Maildir++ folder may have: its name encoded,
    // and as it is when another program wrote it unencoded (in UTF-8, or
    // with a bare '&'), as a listing shows such a name.
    std::vector<std::string> MaildirPlusNames(const std::vector<std::string>& path) const {
        std::vector<std::string> names{MaildirPlusName(path)};
        if (loc_.utf8Names) return names;
        std::string raw;
        for (const auto& name : path) {
            if (!PlainSegment(name) || name.find('.') != std::string::npos) return names;
            raw += "." + name;
        }
        if (raw != names[0]) names.push_back(raw);
        return names;
    }

    // The folder's directory, not open when there is none.
    UniqueFd OpenFolder(const MailFolder& folder) const {
        UniqueFd dir = OpenRoot(folder.alias);
        if (folder.path.empty()) return dir;
        if (!loc_.fsLayout) {
            for (const auto& name : MaildirPlusNames(folder.path)) {
                UniqueFd found = OpenDirAt(dir.Get(), name);
                if (found.IsOpen()) return found;
            }
            return {};
        }
        for (const auto& name : folder.path) {
            if (name == "cur" || name == "new" || name == "tmp") {
                Fail(err::kInvalidArg, "open folder", name,
                     "the name of a message directory is no folder name in LAYOUT=fs");
            }
            UniqueFd next = OpenDirAt(dir.Get(), EncodeName(name));
            if (!next.IsOpen() && !loc_.utf8Names) next = OpenDirAt(dir.Get(), name);
            if (!next.IsOpen()) return next;
            dir = std::move(next);
        }
        return dir;
    }

    // The folder's directory as this backend last opened it, or (fresh)
    // opened anew: a run lists a folder, then reads and deletes its messages
    // one by one. Not open when there is no such folder.
    std::shared_ptr<UniqueFd> HeldFolder(const MailFolder& folder, bool fresh = false) {
        const std::string k = FolderKey(folder);
        if (const auto it = held_.find(k); !fresh && it != held_.end()) return it->second;
        auto fd = std::make_shared<UniqueFd>(OpenFolder(folder));
        if (!fd->IsOpen()) {
            held_.erase(k);
            return fd;
        }
        if (held_.size() >= kHeldFolders) held_.clear();
        held_[k] = fd;
        return fd;
    }

    // The subdirectories of dirFd, as last listed when the directory has
    // not changed since: a run finds a mailbox's folders by name several
    // times over, and each time the mailbox's root would be listed again.
    // A listing is kept only when the directory's last change lies over a
    // second before it, so that a change after it cannot fall into the
    // same tick of the file system's clock and leave the mtime as it was.
    std::vector<std::string> Subdirectories(int dirFd, const std::string& what) {
        struct stat st {};
        if (::fstat(dirFd, &st) != 0)
            Fail(err::kPathFileAccess, "list folders", what, std::strerror(errno));
        if (const auto* kept = KeptListing(st)) return kept->names;
        ListedDirectory listed{st.st_dev, st.st_ino, st.st_mtim, {}};
        ReadDir(dirFd, what, [&](const char* name, unsigned char type) {
            if (type == DT_DIR || (type == DT_UNKNOWN && IsDirectory(dirFd, name)))
                listed.names.emplace_back(name);
        });
        std::sort(listed.names.begin(), listed.names.end());
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        if (st.st_mtim.tv_sec + 1 >= now.tv_sec) return std::move(listed.names);
        subdirs_.push_back(std::move(listed));
        if (subdirs_.size() > kKeptSubdirectoryLists) subdirs_.pop_front();
        return subdirs_.back().names;
    }

    // The listing kept of the directory st describes, if it has not changed
    // since; one that has is forgotten.
    const ListedDirectory* KeptListing(const struct stat& st) {
        const auto same = [&](const ListedDirectory& d) {
            return d.dev == st.st_dev && d.ino == st.st_ino;
        };
        const auto it = std::find_if(subdirs_.begin(), subdirs_.end(), same);
        if (it == subdirs_.end()) return nullptr;
        if (it->mtime.tv_sec == st.st_mtim.tv_sec && it->mtime.tv_nsec == st.st_mtim.tv_nsec)
            return &*it;
        subdirs_.erase(it);
        return nullptr;
    }
    // The same for the directory at path, found without opening it.
    std::optional<std::vector<std::string>> KeptSubdirectories(const std::string& path) {
        struct stat st {};
        if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode))
            return std::nullopt;
        if (const auto* kept = KeptListing(st)) return kept->names;
        return std::nullopt;
    }

    // The folder's cur/, new/ or tmp/, made when missing (as a server does).
    UniqueFd SubDir(int dir, const char* sub, const std::string& what) const {
        if (::mkdirat(dir, sub, 0700) == 0) {
            if (const int e = GiveToFolderOwner(dir, sub); e != 0)
                Fail(err::kPathFileAccess, "give folder to its owner", what + "/" + sub,
                     std::strerror(e));
        } else if (errno != EEXIST) {
            Fail(err::kPathFileAccess, "make folder", what + "/" + sub, std::strerror(errno));
        }
        UniqueFd fd = OpenDirAt(dir, sub);
        if (!fd.IsOpen())
            Fail(err::kPathFileAccess, "open folder", what + "/" + sub, std::strerror(errno));
        return fd;
    }

    std::string FolderKey(const MailFolder& folder) const {
        std::string k = folder.alias;
        for (const auto& name : folder.path) k += "/" + name;
        return k;
    }
    std::string PathText(const MailFolder& folder) const {
        return RootOf(folder.alias) + (folder.path.empty() ? "" : " folder " + FolderKey(folder));
    }

    // Where the last listing of folder saw message key, if it did.
    std::optional<Located> Listed(const MailFolder& folder, const std::string& key) {
        if (key.empty() || !PlainSegment(key)) return std::nullopt;
        const auto& known = Known(folder);
        const auto it = known.find(key);
        if (it == known.end()) return std::nullopt;
        return it->second;
    }

    // The file of message key in folder: where the last listing saw it when
    // it is still there (fresh = false), else looked up anew, new/ first,
    // then cur/ (its name carries flags the server may have changed).
    std::optional<Located> Locate(const MailFolder& folder, int dir, const std::string& key,
                                  bool fresh = false) {
        if (key.empty() || !PlainSegment(key)) return std::nullopt;
        auto& known = Known(folder);
        if (const auto it = known.find(key); it != known.end() && !fresh) {
            Located l = it->second;
            if (::fstatat(dir, (l.sub + "/" + l.name).c_str(), &l.st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(l.st.st_mode))
                return l;
        }
        // A server keeps the info part in new/ too when it changes flags
        // there, so both are searched the same way.
        const std::string prefix = key + std::string(kInfo);
        for (const char* sub : {"new", "cur"}) {
            Located l;
            l.sub = sub;
            l.name = key;
            if (::fstatat(dir, (l.sub + "/" + key).c_str(), &l.st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(l.st.st_mode)) {
                known[key] = l;
                return l;
            }
            const UniqueFd part = OpenDirAt(dir, sub);
            if (!part.IsOpen()) continue;
            for (const auto& name : ListDir(part.Get(), PathText(folder) + "/" + sub)) {
                if (!name.starts_with(prefix)) continue;
                l.name = name;
                if (::fstatat(part.Get(), name.c_str(), &l.st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(l.st.st_mode)) {
                    known[key] = l;
                    return l;
                }
            }
        }
        known.erase(key);
        return std::nullopt;
    }

    // Where the files of folder's messages were last seen. The folders
    // last looked at are kept, the others forgotten (a later look finds
    // their files anew): a run over many mailboxes deletes in the folders it
    // has just listed, and must not hold every listing it made.
    std::map<std::string, Located>& Known(const MailFolder& folder) {
        std::string key = FolderKey(folder);
        if (listed_.empty() || listed_.back() != key) {
            listed_.erase(std::remove(listed_.begin(), listed_.end(), key), listed_.end());
            listed_.push_back(key);
            while (listed_.size() > kKeptListings) {
                known_.erase(listed_.front());
                listed_.pop_front();
            }
        }
        return known_[key];
    }
    void Forget(const MailFolder& folder, const std::string& key) {
        if (const auto it = known_.find(FolderKey(folder)); it != known_.end())
            it->second.erase(key);
    }

    void NoteChanged(int dir, const std::string& sub, const std::string& what) {
        // An unlink is seen by every process at once; syncing the folder
        // only adds the power loss, which the store's commits do not
        // survive either unless they are made to.
        if (!settings_.syncDeletes) return;
        const std::string name = what + "/" + sub;
        if (changed_.count(name) != 0) return;
        ChangedDirectory changed{OpenDirAt(dir, sub), 0};
        if (!changed.fd.IsOpen()) changed.openErrno = errno;
        changed_.emplace(name, std::move(changed));
    }

    // A name no other message of the store has: Dovecot's own form,
    // "<seconds>.M<microseconds>P<pid>Q<count>R<random>.<host>".
    std::string NewKey() {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        std::array<char, 256> buffer{};
        const std::string host =
            ::gethostname(buffer.data(), buffer.size() - 1) == 0 ? buffer.data() : "localhost";
        std::string h;
        for (const char* c = host.c_str(); *c != '\0'; ++c) {
            // The maildir convention for the two characters a name cannot hold.
            h += *c == '/'   ? std::string("\\057")
                 : *c == ':' ? std::string("\\072")
                             : std::string(1, *c);
        }
        std::string random;
        for (uint64_t r = rng_(), i = 0; i < 8; ++i, r >>= 8)
            platform::AppendHexByte(random, static_cast<unsigned char>(r & 0xff), true);
        return std::to_string(now.tv_sec) + ".M" + std::to_string(now.tv_nsec / 1000) + "P" +
               std::to_string(::getpid()) + "Q" + std::to_string(++count_) + "R" + random + "." + h;
    }

    // Writes a new file name in dir (O_EXCL, never through a link) with
    // bytes, synced, its mtime received.
    void WriteInto(int dir, const std::string& name, const Produce& bytes, mode_t mode,
                   int64_t received, const std::string& what) const {
        UniqueFd file(::openat(dir, name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!file.IsOpen())
            Fail(err::kPathFileAccess, "write message", what + "/" + name, std::strerror(errno));
        auto fail = [&](int e) {
            file.Reset();
            (void)::unlinkat(dir, name.c_str(), 0);
            Fail(err::kPathFileAccess, "write message", what + "/" + name, std::strerror(e));
        };
        if (const int e = GiveToFolderOwner(dir, file.Get()); e != 0) fail(e);
        const auto put = [&](const char* data, size_t size) {
            for (size_t done = 0; done < size;) {
                const ssize_t n = ::write(file.Get(), data + done, size - done);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    fail(errno);
                }
                done += static_cast<size_t>(n);
            }
        };
        try {
            bytes(put);
        } catch (const Error&) {
            // The bytes could not be read (a spool's failure): no file stays.
            file.Reset();
            (void)::unlinkat(dir, name.c_str(), 0);
            throw;
        }
        const std::array<struct timespec, 2> times{{{received, 0}, {received, 0}}};
        if (::futimens(file.Get(), times.data()) != 0) fail(errno);
        if (::fsync(file.Get()) != 0) fail(errno);
        if (!file.Close()) fail(errno);
    }

    // A message file opened to be read or moved (name relative to dir,
    // where names dir): never through a link, never waiting on a FIFO or a
    // device; anything but a regular file is refused naming its path. Not
    // open when it is gone (renamed by the server meanwhile); st is the
    // file's.
    UniqueFd OpenMessage(int dir, const std::string& name, struct stat& st, const std::string& op,
                         const std::string& where) const {
#ifdef QUELLIX_MAILDIR_FAULTS
        if (maildir_faults::beforeOpen) maildir_faults::beforeOpen(dir, name);
#endif
        const std::string path = where + "/" + name;
        UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.IsOpen()) {
            if (errno == ENOENT) return fd;
            Fail(err::kPathFileAccess, op, path,
                 errno == ELOOP ? "a symbolic link, no message file" : std::strerror(errno));
        }
        if (::fstat(fd.Get(), &st) != 0) Fail(err::kPathFileAccess, op, path, std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            Fail(err::kPathFileAccess, op, path, FileType(st.st_mode) + ", no message file");
        return fd;
    }

    // After name in srcDir was renamed to target in dstDir: unless target is
    // the file opened as st, another program swapped something in between,
    // which goes back where it was (or, when it cannot and is no message
    // file, away from the folder); the move fails naming the source.
    void PutBackUnlessMoved(int srcDir, const std::string& name, const std::string& fromText,
                            const struct stat& st, int dstDir, const std::string& target,
                            const std::string& targetText) const {
        struct stat now {};
        if (::fstatat(dstDir, target.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            Fail(err::kPathFileAccess, "move message", targetText, std::strerror(errno));
        if (now.st_dev == st.st_dev && now.st_ino == st.st_ino) return;
        std::string why =
            "the message file was swapped for " + FileType(now.st_mode) + " while it was moved; ";
        if (const int e = RenameNoReplace(dstDir, target, srcDir, name); e == 0) {
            why += "that was put back, and nothing was moved";
        } else {
            if (!S_ISREG(now.st_mode) && ::unlinkat(dstDir, target.c_str(), 0) == 0)
                why += "that was removed from " + targetText;
            else
                why += "that is left at " + targetText;
            why += " (putting it back: " + std::string(std::strerror(e)) + ")";
        }
        Fail(err::kPathFileAccess, "move message", fromText, why);
    }

    MailStoreSettings settings_;
    Location loc_;
    static constexpr size_t kKeptListings = 64;
    std::map<std::string, std::map<std::string, Located>> known_;  // folder -> key -> file
    struct ChangedDirectory {
        UniqueFd fd;
        int openErrno;  // why fd is not open
    };
    std::map<std::string, ChangedDirectory> changed_;        // directories to sync
    std::map<std::string, std::shared_ptr<UniqueFd>> held_;  // folder -> its directory
    std::deque<std::string> listed_;  // known_'s folders, the last looked at last
    static constexpr size_t kKeptSubdirectoryLists = 8;
    std::deque<ListedDirectory> subdirs_;  // the last listed last
    std::mt19937_64 rng_{std::random_device{}()};
    uint64_t count_ = 0;
};

}  // namespace

std::unique_ptr<MailStore> OpenMaildirStore(const MailStoreSettings& settings) {
    return std::make_unique<MaildirStore>(settings, ParseMailStoreLocation(settings));
}

}  // namespace localplatform
