#include "localplatform/mail/mail_transport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/file_safety.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"

namespace localplatform {
namespace {

using platform::StartsWithNoCase;

using platform::Describe;
using platform::Error;
namespace err = platform::err;

void EnsureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// The message as libcurl reads it: from text, or from the file open at fd.
struct Upload {
    const std::string* text = nullptr;
    size_t pos = 0;
    int fd = -1;
    int readError = 0;  // errno of a failed read of fd
};

size_t ReadChunk(char* buffer, size_t size, size_t count, void* user) {
    auto* up = static_cast<Upload*>(user);
    if (up->text == nullptr) {
        for (;;) {
            const ssize_t n = read(up->fd, buffer, size * count);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno == EINTR) continue;
            up->readError = errno;
            return CURL_READFUNC_ABORT;
        }
    }
    const size_t n = std::min(size * count, up->text->size() - up->pos);
    // libcurl's upload buffer holds bytes, not a string: no terminator.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(buffer, up->text->data() + up->pos, n);
    up->pos += n;
    return n;
}

void SendUpload(const SmtpSettings& settings, const std::string& sender,
                const std::vector<std::string>& recipients, Upload& upload, curl_off_t size);

// The relay's replies, as they arrive: the first refusal (4xx or 5xx)
// explains a failure better than the farewell that follows it.
struct Dialogue {
    std::string lastReply;
    std::string firstRefusal;
};

int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return 0;
    auto* d = static_cast<Dialogue*>(user);
    d->lastReply = line;
    if (d->firstRefusal.empty() && (line[0] == '4' || line[0] == '5')) d->firstRefusal = line;
    return 0;
}

// An address fit for "MAIL FROM:<...>" or "RCPT TO:<...>": no blanks,
// controls or angle brackets that could end the command or start another.
bool IsCommandSafe(const std::string& a) {
    return std::none_of(a.begin(), a.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 32 || u == 127 || c == '<' || c == '>';
    });
}

std::string RandomHex(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error(err::kCdoSendFailed,
                        Describe("getrandom", "pickup name", std::strerror(errno), errno));
        }
        got += static_cast<size_t>(n);
    }
    std::string out;
    for (unsigned char c : raw) platform::AppendHexByte(out, c);
    return out;
}

// Ends the transaction at its deadline, whatever libcurl is waiting for:
// libcurl bounds each wait for a reply on its own, and after a reply that
// never came it still sends QUIT and waits for that reply too, so its own
// time-outs add up to more than the whole. At the deadline the watchdog
// shuts the connection down; every wait on it ends at once. The socket is
// libcurl's, opened and closed through the callbacks below, so the watchdog
// never touches a descriptor that has meanwhile been closed and reused.
constexpr long kBackstopSeconds = 5;

class Watchdog {
public:
    explicit Watchdog(long seconds)
        : deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)),
          thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    [[nodiscard]] bool Fired() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return fired_;
    }

    static curl_socket_t Open(void* self, curlsocktype, curl_sockaddr* address) {
        auto* w = static_cast<Watchdog*>(self);
        const int fd =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0) return CURL_SOCKET_BAD;
        std::lock_guard<std::mutex> lock(w->mutex_);
        w->sockets_.push_back(fd);
        if (w->fired_) ::shutdown(fd, SHUT_RDWR);
        return fd;
    }
    static int Close(void* self, curl_socket_t fd) {
        auto* w = static_cast<Watchdog*>(self);
        std::lock_guard<std::mutex> lock(w->mutex_);
        w->sockets_.erase(std::remove(w->sockets_.begin(), w->sockets_.end(), fd),
                          w->sockets_.end());
        return ::close(fd);
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_until(lock, deadline_, [this] { return done_; })) return;
        fired_ = true;
        for (const int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
    }

    const std::chrono::steady_clock::time_point deadline_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<int> sockets_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;  // last: starts when the rest is ready
};

}  // namespace

void SendSmtp(const SmtpSettings& settings, const std::string& sender,
              const std::vector<std::string>& recipients, const std::string& text) {
    Upload upload;
    upload.text = &text;
    SendUpload(settings, sender, recipients, upload, static_cast<curl_off_t>(text.size()));
}

void SendSmtp(const SmtpSettings& settings, const std::string& sender,
              const std::vector<std::string>& recipients, int fd, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        throw Error(err::kCdoSendFailed, Describe("stat", path, std::strerror(errno), errno));
    Upload upload;
    upload.fd = fd;
    SendUpload(settings, sender, recipients, upload, static_cast<curl_off_t>(st.st_size));
    if (upload.readError != 0) {
        throw Error(
            err::kCdoSendFailed,
            Describe("read message", path, std::strerror(upload.readError), upload.readError));
    }
}

namespace {

void SendUpload(const SmtpSettings& settings, const std::string& sender,
                const std::vector<std::string>& recipients, Upload& upload, curl_off_t size) {
    if (!StartsWithNoCase(settings.url, "smtp://") && !StartsWithNoCase(settings.url, "smtps://")) {
        throw Error(err::kInvalidArg, Describe("SMTP send", settings.url,
                                               "not an smtp:// or smtps:// URL", err::kInvalidArg));
    }
    if (recipients.empty()) {
        throw Error(err::kCdoNoRecipients,
                    Describe("SMTP send", settings.url, "the message has no recipient",
                             err::kCdoNoRecipients));
    }
    for (const auto& a : recipients) {
        if (a.empty() || !IsCommandSafe(a)) {
            throw Error(err::kInvalidArg, Describe("SMTP send", a, "not a usable recipient address",
                                                   err::kInvalidArg));
        }
    }
    if (!IsCommandSafe(sender)) {
        throw Error(err::kInvalidArg,
                    Describe("SMTP send", sender, "not a usable sender address", err::kInvalidArg));
    }
    EnsureCurl();

    std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    if (!curl)
        throw Error(err::kOutOfMemory, Describe("curl_easy_init", settings.url, "no handle", 0));
    CURL* c = curl.get();

    // The path of an SMTP URL is the name announced in EHLO.
    std::string url = settings.url;
    const size_t hostStart = url.find("://") + 3;
    if (url.find('/', hostStart) == std::string::npos && !settings.helo.empty())
        url += "/" + settings.helo;

    std::unique_ptr<curl_slist, SlistFree> rcpt;
    for (const auto& a : recipients) {
        curl_slist* next = curl_slist_append(rcpt.get(), ("<" + a + ">").c_str());
        if (next == nullptr)
            throw Error(err::kOutOfMemory, Describe("curl_slist_append", a, "no memory", 0));
        (void)rcpt.release();
        rcpt.reset(next);
    }
    // An empty sender is the null reverse-path: "MAIL FROM:<>".
    const std::string mailFrom = "<" + sender + ">";
    Dialogue dialogue;
    char errorText[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadChunk);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // other threads run: no alarm signals
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, settings.connectTimeoutSeconds);
    // The whole transaction is bounded by the watchdog below; libcurl's own
    // bounds (each reply waited for up to its server-response time-out, two
    // minutes unless told otherwise) stay behind it as a backstop only.
    curl_easy_setopt(c, CURLOPT_TIMEOUT, settings.timeoutSeconds + kBackstopSeconds);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     settings.timeoutSeconds + kBackstopSeconds);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);  // feeds OnDebug; nothing is printed
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &dialogue);
    switch (settings.startTls) {
        case SmtpSettings::StartTls::kNo:
            curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_NONE));
            break;
        case SmtpSettings::StartTls::kTry:
            curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
            break;
        case SmtpSettings::StartTls::kRequired:
            curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
            break;
    }
    if (!settings.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, settings.caFile.c_str());
    if (!settings.user.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, settings.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, settings.password.c_str());
    }

    CURLcode rc = CURLE_OK;
    bool ended = false;
    long code = 0;
    {
        Watchdog watchdog(settings.timeoutSeconds);
        curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &Watchdog::Open);
        curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &watchdog);
        curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &Watchdog::Close);
        curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, &watchdog);
        rc = curl_easy_perform(c);
        ended = watchdog.Fired();
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
        // The handle (and the connection it may keep) goes before the watchdog.
        curl.reset();
    }
    if (upload.readError != 0) return;  // the caller names the file that failed
    if (rc != CURLE_OK) {
        std::string reason = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
        if (ended) {
            reason = "the relay did not finish the transaction within mail.timeout (" +
                     std::to_string(settings.timeoutSeconds) + " s); " + reason;
        }
        const std::string& reply =
            dialogue.firstRefusal.empty() ? dialogue.lastReply : dialogue.firstRefusal;
        if (!reply.empty()) reason += "; the relay replied: " + reply;
        throw Error(err::kCdoSendFailed, Describe("SMTP send", settings.url, reason,
                                                  code != 0 ? code : static_cast<long>(rc)));
    }
}

// Creates dir and any missing parent as 0700, whatever the process umask:
// messages wait in the pickup folder for delivery and are nobody else's to
// read. An existing folder keeps the mode its owner gave it.
void MakePrivateDirectories(const std::string& dir) {
    std::string path;
    size_t at = 0;
    while (at <= dir.size()) {
        size_t slash = dir.find('/', at);
        if (slash == std::string::npos) slash = dir.size();
        path = dir.substr(0, slash);
        at = slash + 1;
        if (path.empty() || path == "." || path == "..") continue;
        if (mkdir(path.c_str(), 0700) == 0) {
            // Made by root (a run started by hand) among the service
            // account's files, the folder is the account's.
            const platform::UniqueFd made(
                open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (made.Get() >= 0) platform::SettleNewFile(made.Get(), path, 0700);
            continue;
        }
        if (errno == EEXIST) continue;
        const int e = errno;
        throw Error(err::kCdoSendFailed,
                    Describe("create pickup directory", path, std::strerror(e), e));
    }
    struct stat st {};
    const int found = stat(dir.c_str(), &st);
    if (found != 0 || !S_ISDIR(st.st_mode)) {
        const int e = found != 0 ? errno : ENOTDIR;
        throw Error(err::kCdoSendFailed,
                    Describe("create pickup directory", dir, std::strerror(e), e));
    }
}

}  // namespace

std::string DropInPickup(const std::string& dir, const std::string& text) {
    return DropInPickup(dir, [&](int fd, const std::string& path) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw Error(err::kCdoSendFailed,
                            Describe("write", path, std::strerror(errno), errno));
            }
            done += static_cast<size_t>(n);
        }
    });
}

std::string DropInPickup(const std::string& dir,
                         const std::function<void(int fd, const std::string& path)>& write) {
    MakePrivateDirectories(dir);
    const std::string name = RandomHex(16);
    const std::string temp = dir + "/." + name + ".tmp";
    std::string final = dir + "/" + name + ".eml";

    // Until the rename, a failure removes the temporary file.
    struct TempFile {
        const std::string& path;
        bool kept = false;
        ~TempFile() {
            if (!kept) unlink(path.c_str());
        }
    };
    platform::UniqueFd file(
        open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.Get() < 0)
        throw Error(err::kCdoSendFailed, Describe("create", temp, std::strerror(errno), errno));
    TempFile guard{temp};
    platform::SettleNewFile(file.Get(), temp, 0600);
    auto fail = [&](const char* what) {
        return Error(err::kCdoSendFailed, Describe(what, temp, std::strerror(errno), errno));
    };
    write(file.Get(), temp);
    // On disk before it gets its final name, so a crash never leaves a
    // truncated message for the pickup service.
    if (fsync(file.Get()) != 0) throw fail("fsync");
    if (!file.Close()) throw fail("close");
    if (rename(temp.c_str(), final.c_str()) != 0) throw fail("rename");
    guard.kept = true;
    const platform::UniqueFd folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) (void)fsync(folder.Get());  // makes the rename durable; best effort
    return final;
}

}  // namespace localplatform
