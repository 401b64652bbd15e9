#include "sink/run_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/unique_fd.h"
#include "platform/message.h"
#include "selection/run_text.h"
#include "sink/windirs.h"

namespace quellix {

namespace {

using Fd = platform::UniqueFd;

constexpr int32_t kBadFileNameOrNumber = 52;

[[noreturn]] void RaiseErrno(const std::string& operation, const std::string& object, int error) {
    throw platform::Error(error == EACCES || error == EPERM ? platform::err::kPermissionDenied
                                                            : platform::err::kPathFileAccess,
                          platform::Describe(operation, object, std::strerror(error), error));
}

[[noreturn]] void Refuse(const std::string& path, const std::string& reason, int code) {
    throw platform::Error(platform::err::kPermissionDenied,
                          platform::Describe("open", path, reason, code));
}

// Opens the temporary directory and makes sure it is the running account's
// own and that nobody else can write to it: links planted by another account
// could otherwise redirect the log.
Fd OpenPrivateDirectory(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.IsOpen()) {
        const int error = errno;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            Refuse(path, "temporary directory is a symbolic link", ELOOP);
        }
        RaiseErrno("open", path, error);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) RaiseErrno("stat", path, errno);
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        Refuse(path, "temporary directory is not private to this account", EACCES);
    }
    return fd;
}

// Opens name in the temporary directory as a regular file with no other
// name: a link, a FIFO, a directory or a second hard link (whose other name
// may be a file anywhere) in its place is refused before anything is
// written. truncate empties it once it is known to be ours.
int OpenInDirectory(int dirFd, const std::string& dir, const char* name, int flags, bool truncate) {
    const std::string path = dir + name;
    // O_NONBLOCK: a FIFO in the log's place must not hang the run; it is
    // refused below like any other non-regular file.
    Fd fd(::openat(dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!fd.IsOpen()) {
        const int error = errno;
        struct stat st {};
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) Refuse(path, "is a symbolic link", ELOOP);
            if (!S_ISREG(st.st_mode)) Refuse(path, "is not a regular file", error);
        }
        RaiseErrno("open", path, error);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) RaiseErrno("stat", path, errno);
    if (!S_ISREG(st.st_mode)) Refuse(path, "is not a regular file", EINVAL);
    if (st.st_nlink != 1) {
        Refuse(path, "has " + std::to_string(st.st_nlink) + " hard links", EMLINK);
    }
    if (truncate && ::ftruncate(fd.Get(), 0) != 0) RaiseErrno("truncate", path, errno);
    return fd.Release();
}

void WriteAll(int fd, const std::string& path, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            RaiseErrno("write", path, errno);
        }
        done += static_cast<size_t>(n);
    }
}

// Opens the log (afresh unless append); returns the log's descriptor and
// sets path.
int OpenLog(bool append, std::string& path) {
    const std::string dir = GetTempDirectory();
    path = dir + kLogFileName;
    Fd dirFd = OpenPrivateDirectory(dir);
    return OpenInDirectory(dirFd.Get(), dir, kLogFileName,
                           O_WRONLY | O_CREAT | (append ? O_APPEND : 0), !append);
}

}  // namespace

RunLog::~RunLog() {
    CloseLog(*this);
}

void WriteLog(RunLog& log, const std::string& text) {
    // A log that failed once stays failed: a line may be cut, and what
    // follows must not look whole.
    if (log.failure_) throw *log.failure_;
    if (log.holding_) {
        log.held_.push_back({text, {}});
        return;
    }
    RunLog::WriteEntries(log, text + kCrLf);
}

void RunLog::WriteEntries(RunLog& log, const std::string& bytes) {
    if (log.failure_) throw *log.failure_;
    try {
        if (log.number_ == 0) {
            log.file_ = OpenLog(false, log.path_);
            log.number_ = 1;  // the one log file a run keeps open
        } else if (log.file_ < 0) {
            // The run closed its log already: writing must not start it afresh.
            throw platform::Error(kBadFileNameOrNumber, "Bad file name or number", "WriteLog");
        }
        WriteAll(log.file_, log.path_, bytes);
    } catch (const platform::Error& e) {
        log.failure_ = e;
        throw;
    }
}

void WriteClaim(RunLog& log, const std::string& text, const std::string& folder) {
    if (log.holding_ && !log.failure_) {
        log.held_.push_back({text, folder});
        return;
    }
    WriteLog(log, text);
}

void HoldLog(RunLog& log) {
    log.holding_ = true;
}

void PassHeldLog(RunLog& from, RunLog& to, const std::optional<platform::Error>& lost) {
    from.holding_ = false;
    std::vector<RunLog::Held> held;
    held.swap(from.held_);
    const auto textOf = [&](const RunLog::Held& entry) {
        return lost && !entry.folder.empty()
                   ? ErrorEntry(lost->Number(), "not committed, left for the next run (" +
                                                    lost->Description() + ")") +
                         " " + entry.folder
                   : entry.text;
    };
    if (to.holding_) {
        for (const auto& entry : held) WriteLog(to, textOf(entry));
        return;
    }
    // Into a log that is written, the entries go in writes of many at once:
    // a run holds two or so for every mailbox.
    constexpr size_t kWriteBytes = size_t{64} << 10;
    std::string pending;
    for (const auto& entry : held) {
        pending += textOf(entry);
        pending += kCrLf;
        if (pending.size() >= kWriteBytes) {
            RunLog::WriteEntries(to, pending);
            pending.clear();
        }
    }
    if (!pending.empty()) RunLog::WriteEntries(to, pending);
}

void WriteHeldLog(RunLog& log, const std::optional<platform::Error>& lost) {
    PassHeldLog(log, log, lost);
}

void CloseLog(RunLog& log) noexcept {
    if (log.file_ >= 0) ::close(log.file_);
    log.file_ = -1;
}

void AppendToLog(const std::string& text) {
    std::string path;
    Fd fd(OpenLog(true, path));
    WriteAll(fd.Get(), path, text + kCrLf);
}

std::string ExtractReportAddress(const std::string& recipient) {
    std::string addr = recipient;
    const size_t at = recipient.find('@');
    if (at != std::string::npos && at >= 1) {
        // Back from the character before "@" to the start of the address.
        for (size_t i = at; i-- > 0;) {
            if (recipient[i] == ' ' || recipient[i] == '(') {
                addr = recipient.substr(i + 1);
                break;
            }
        }
        const size_t end = addr.find_first_of(") ");
        if (end != std::string::npos) addr = addr.substr(0, end);
    }
    return addr;
}

void SendReport(RunLog& log, const std::string& reportRecipient) {
    if (log.LogFileNumber() != 0) CloseLog(log);
    const std::string path = GetTempDirectory() + kLogFileName;
    struct stat st {};
    const bool logExists = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (!logExists || reportRecipient.empty()) return;

    const std::string addr = ExtractReportAddress(reportRecipient);
    if (addr.empty()) return;
    try {
        platform::Message msg;
        msg.SetTo(addr);
        msg.SetFrom("Quellix <>");
        msg.SetSubject("Quellix Report " + NowText());
        msg.SetTextBody("");
        msg.AddAttachment(path, "", "");
        msg.Send();
    } catch (const platform::Error& e) {
        // The log stays in the temporary directory: it says why no report
        // came, when it still can.
        try {
            AppendToLog(ErrorEntry(e.Number(), e.Description()));
        } catch (const platform::Error&) {
            // The log cannot take it: the caller reports the failure.
        }
        throw;
    }
}

}  // namespace quellix
