// Operating-system services on Linux: the registry value of the time-zone
// bias from the platform configuration or the C library's zone, the account's
// private temporary directory, the account name and directory listings.
#include "platform/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include "base/error.h"
#include "base/file_safety.h"
#include "base/journal.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "localplatform/config/config_option.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/process/service_account.h"
#include "localplatform/store/store_messages.h"
#include "platform/system_internal.h"

namespace platform {

namespace detail {

// "bytes:C4 FF FF FF" (blanks or commas between two-digit hex bytes).
std::optional<std::vector<uint8_t>> ParseBiasBytes(const std::string& text) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == ',' || text[i] == '\t') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2])))) {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

}  // namespace detail
namespace {

using platform::Lower;

// What the registry gives for a key or value that does not exist
// (ERROR_FILE_NOT_FOUND as a result code).
constexpr int32_t kRegistryNotFound = err::Hr(0x80070002);

constexpr const char* kActiveTimeBias =
    "HKLM\\System\\CurrentControlSet\\Control\\TimeZoneInformation\\ActiveTimeBias";

// Registry paths compare without regard to case, and the root may be spelt
// out in full.
std::string NormaliseRegistryName(const std::string& name) {
    std::string n = Lower(name);
    const std::string full = "hkey_local_machine\\";
    if (n.rfind(full, 0) == 0) n = "hklm\\" + n.substr(full.size());
    return n;
}

// An optional sign and decimal digits that fit 32 bits.
std::optional<int32_t> ParseInt32(const std::string& text) {
    size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (i == text.size() || text.size() > 12) return std::nullopt;
    for (size_t j = i; j < text.size(); ++j) {
        if (!std::isdigit(static_cast<unsigned char>(text[j]))) return std::nullopt;
    }
    const long long v = std::stoll(text);
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

Variant ActiveTimeBias() {
    if (auto configured =
            localplatform::PlatformConfig::Current().Get("timezone.active_time_bias")) {
        const std::string text = platform::TrimSpace(*configured);
        if (Lower(text.substr(0, 6)) == "bytes:") {
            if (auto bytes = detail::ParseBiasBytes(text.substr(6)))
                return Variant(std::move(*bytes));
        } else if (auto n = ParseInt32(text)) {
            return Variant(*n);
        }
        // Neither a number nor bytes: handed over as text, for the reader to judge.
        return Variant(text);
    }
    // The zone's offset now, in the registry's sign: UTC = local + bias.
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    return Variant(static_cast<int32_t>(-(tm.tm_gmtoff / 60)));
}

void SetWhy(std::string* why, const std::string& operation, const std::string& path,
            const std::string& reason, int code) {
    if (why) *why = Describe(operation, path, reason, code);
}

void SetWhyErrno(std::string* why, const std::string& operation, const std::string& path,
                 int error) {
    SetWhy(why, operation, path, std::strerror(error), error);
}

// The temporary directory path of this thread's last failing GetTempPathA.
thread_local std::string t_tempPathFailure;

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

bool IsStoreShare(const std::string& path) {
    std::string p = Lower(path);
    while (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
    return p == "\\\\.\\backofficestorage";
}

}  // namespace

namespace detail {

std::optional<std::string> ChooseTempDirectory(const std::string& dir, std::string* why) {
    // Whether it is private is judged where it is used.
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return WithSlash(dir);
        SetWhyErrno(why, "open", dir, ENOTDIR);
        return std::nullopt;
    }
    if (mkdir(dir.c_str(), 0700) != 0) {
        SetWhyErrno(why, "mkdir", dir, errno);
        return std::nullopt;
    }
    // Made by root among the service account's files (a command run by
    // hand), it is still the account's.
    const UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    try {
        if (fd.IsOpen()) platform::SettleNewFile(fd.Get(), dir, 0700);
    } catch (const Error& e) {
        if (why) *why = e.Description();
        return std::nullopt;
    }
    return WithSlash(dir);
}

}  // namespace detail

Variant RegRead(const std::string& name) {
    const std::string n = NormaliseRegistryName(name);
    if (n == Lower(kActiveTimeBias)) return ActiveTimeBias();
    if (n.rfind("hklm\\", 0) != 0 && n.rfind("hkcu\\", 0) != 0 && n.rfind("hkcr\\", 0) != 0 &&
        n.rfind("hku\\", 0) != 0 && n.rfind("hkcc\\", 0) != 0) {
        throw Error(kRegistryNotFound, "Invalid root in registry key \"" + name + "\".",
                    "WshShell.RegRead");
    }
    throw Error(kRegistryNotFound, "Unable to open registry key \"" + name + "\" for reading.",
                "WshShell.RegRead");
}

uint32_t GetTempPathA(uint32_t bufferLength, char* buffer) {
    // The configured folder, by default <data_dir>/tmp: the service's own,
    // never a name in a shared folder that another account could take first.
    const auto& cfg = localplatform::PlatformConfig::Current();
    const std::string configured = cfg.TempDir().empty() ? cfg.DataDir() + "/tmp" : cfg.TempDir();
    t_tempPathFailure.clear();
    const auto dir = detail::ChooseTempDirectory(configured, &t_tempPathFailure);
    if (!dir) return 0;
    t_tempPathFailure.clear();
    const auto length = static_cast<uint32_t>(dir->size());
    if (buffer == nullptr || bufferLength <= length)
        return length + 1;  // room needed, NUL included
    std::memcpy(buffer, dir->c_str(), dir->size() + 1);
    return length;
}

std::string GetTempPathFailure() {
    return t_tempPathFailure;
}

bool GetUserNameA(char* buffer, uint32_t* size) {
    if (size == nullptr) return false;
    // An account without a passwd entry (a container's arbitrary uid) is
    // named by its number.
    const std::string name =
        localplatform::AccountName(geteuid()).value_or(std::to_string(geteuid()));
    const auto needed = static_cast<uint32_t>(name.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return false;
    }
    std::memcpy(buffer, name.c_str(), needed);
    *size = needed;
    return true;
}

std::string ProposedIdentityAccount() {
    if (geteuid() != 0) {
        return localplatform::AccountName(geteuid()).value_or(std::to_string(geteuid()));
    }
    struct stat st {};
    const std::string data = localplatform::PlatformConfig::Current().DataDir();
    if (lstat(data.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid != 0) {
        if (auto owner = localplatform::AccountName(st.st_uid)) return *owner;
    }
    if (getpwnam("quellix") != nullptr) return "quellix";
    return {};
}

std::vector<std::string> ListDirectory(const std::string& path) {
    // The store's share lists its namespaces, as the share does on the server.
    if (IsStoreShare(path)) return localplatform::ListNamespaces();
    std::vector<std::string> names;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return names;
    if (!S_ISDIR(st.st_mode)) {
        // A file lists as itself, as a listing with a file's path does.
        const size_t slash = path.find_last_of('/');
        names.push_back(slash == std::string::npos ? path : path.substr(slash + 1));
        return names;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (!dir) return names;
    while (const dirent* e = readdir(dir.get())) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void ReportEvent(const std::string& source, const std::string& text) noexcept {
    try {
        const std::string line = JournalPrefix(LogPriority::kErr) + VisibleText(source) + ": " +
                                 VisibleText(text) + "\n";
        // One write, so that lines of several threads or processes never mix.
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    } catch (...) {
        // Out of memory: the event is lost, the caller goes on.
    }
}

int TakeConfigOption(int argc, char** argv, int first) {
    return localplatform::TakeConfigOption(argc, argv, first);
}

}  // namespace platform
