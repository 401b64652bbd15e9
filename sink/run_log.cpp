#include "sink/run_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "platform/message.h"
#include "sink/run_text.h"
#include "sink/windirs.h"

namespace quellix {

namespace {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    ~Fd() { Reset(); }
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    [[nodiscard]] int Get() const { return fd_; }
    [[nodiscard]] int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    [[nodiscard]] bool Open() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

constexpr int32_t kBadFileNameOrNumber = 52;

[[noreturn]] void RaiseErrno(const std::string& operation, const std::string& object, int error) {
    throw platform::Error(error == EACCES || error == EPERM ? platform::err::kPermissionDenied
                                                            : platform::err::kPathFileAccess,
                          platform::Describe(operation, object, std::strerror(error), error));
}

// Opens the temporary directory and makes sure it is the running account's
// own and that nobody else can write to it: links planted by another account
// could otherwise redirect the log.
Fd OpenPrivateDirectory(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Open()) RaiseErrno("open", path, errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) RaiseErrno("stat", path, errno);
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw platform::Error(
            platform::err::kPermissionDenied,
            platform::Describe("open", path, "temporary directory is not private to this account",
                               EACCES));
    }
    return fd;
}

int OpenInDirectory(int dirFd, const std::string& dir, const char* name, int flags) {
    // O_NONBLOCK: a FIFO in the log's place must not hang the run; it is
    // refused below like any other non-regular file.
    Fd fd(::openat(dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!fd.Open()) RaiseErrno("open", dir + name, errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) RaiseErrno("stat", dir + name, errno);
    if (!S_ISREG(st.st_mode)) RaiseErrno("open", dir + name, EINVAL);
    return fd.Release();
}

void WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            RaiseErrno("write", kLogFileName, errno);
        }
        done += static_cast<size_t>(n);
    }
}

// Takes the run lock unless lock holds it already, then opens the log
// afresh; returns the log's descriptor.
int OpenLog(int& lockFd) {
    const std::string dir = GetTempDirectory();
    Fd dirFd = OpenPrivateDirectory(dir);
    if (lockFd < 0) {
        Fd lock(OpenInDirectory(dirFd.Get(), dir, kLockFileName, O_RDWR | O_CREAT));
        // Another run still writing or mailing its log: wait for it.
        while (::flock(lock.Get(), LOCK_EX) != 0) {
            if (errno != EINTR) RaiseErrno("flock", dir + kLockFileName, errno);
        }
        lockFd = lock.Release();
    }
    return OpenInDirectory(dirFd.Get(), dir, kLogFileName, O_WRONLY | O_CREAT | O_TRUNC);
}

}  // namespace

RunLog::~RunLog() {
    CloseLog(*this);
    ReleaseRunLock(*this);
}

void WriteLog(RunLog& log, const std::string& text) {
    if (log.number_ == 0) {
        log.file_ = OpenLog(log.lock_);
        log.number_ = 1;  // the one log file a run keeps open
    } else if (log.file_ < 0) {
        // The run closed its log already: writing must not start it afresh.
        throw platform::Error(kBadFileNameOrNumber, "Bad file name or number", "WriteLog");
    }
    WriteAll(log.file_, text + kCrLf);
}

void CloseLog(RunLog& log) noexcept {
    if (log.file_ >= 0) ::close(log.file_);
    log.file_ = -1;
}

void ReleaseRunLock(RunLog& log) noexcept {
    // Closing the descriptor releases the flock.
    if (log.lock_ >= 0) ::close(log.lock_);
    log.lock_ = -1;
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
    struct LockRelease {
        RunLog& log;
        ~LockRelease() { ReleaseRunLock(log); }
    } release{log};

    if (log.LogFileNumber() != 0) CloseLog(log);
    const std::string path = GetTempDirectory() + kLogFileName;
    struct stat st {};
    const bool logExists = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (!logExists || reportRecipient.empty()) return;

    const std::string addr = ExtractReportAddress(reportRecipient);
    if (addr.empty()) return;
    platform::Message msg;
    msg.SetTo(addr);
    msg.SetFrom("Quellix <>");
    msg.SetSubject("Quellix Report " + NowText());
    msg.SetTextBody("");
    msg.AddAttachment(path, "", "");
    msg.Send();
}

}  // namespace quellix
