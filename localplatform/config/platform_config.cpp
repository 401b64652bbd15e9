#include "localplatform/config/platform_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string_view>
#include <thread>

#include "base/error.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"

namespace localplatform {
namespace {

// The host's fully qualified name as the resolver gives it, else the plain name.
std::string HostFqdn() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return "localhost";
    std::string name = host;
    if (name.find('.') != std::string::npos) return name;
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) == 0 && res != nullptr) {
        if (res->ai_canonname != nullptr) name = res->ai_canonname;
        freeaddrinfo(res);
    }
    return name;
}

// Whether host is this machine's loopback: "localhost", 127.0.0.0/8 or ::1
// as written (a name is not looked up).
bool IsLoopback(const std::string& host) {
    if (platform::EqualsNoCase(host, "localhost")) return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Every key the platform reads; anything else in a file is a misspelling
// or a leftover, and is warned about.
const char* const kKnownKeys[] = {"state_dir",
                                  "data_dir",
                                  "store",
                                  "store.busy_timeout_ms",
                                  "store.busy_budget_ms",
                                  "store.max_copy_bytes",
                                  "store.run_lock_wait_ms",
                                  "store.synchronous",
                                  "store.secure_delete",
                                  "store.batch_ms",
                                  "store.move_manifest_keep_days",
                                  "directory",
                                  "directory.bind_dn",
                                  "directory.password",
                                  "directory.password_file",
                                  "directory.sasl_mech",
                                  "directory.starttls",
                                  "directory.gc_port",
                                  "directory.ldap_port",
                                  "directory.write_uri",
                                  "directory.dns_host_name",
                                  "directory.network_timeout",
                                  "directory.hosts",
                                  "classes",
                                  "catalog",
                                  "catalog.busy_timeout_ms",
                                  "history",
                                  "history.keep_days",
                                  "history.busy_timeout_ms",
                                  "metrics.textfile",
                                  "mail.transport",
                                  "mail.pickup_dir",
                                  "mail.sendmail",
                                  "mail.smtp_user",
                                  "mail.smtp_password",
                                  "mail.starttls",
                                  "mail.helo",
                                  "mail.ca_file",
                                  "mail.connect_timeout",
                                  "mail.timeout",
                                  "server.computer_name",
                                  "server.domain_dns_name",
                                  "timezone.active_time_bias",
                                  "temp_dir",
                                  "catch_up",
                                  "run.workers",
                                  "eventd.host",
                                  "eventd.record",
                                  "eventd.lock",
                                  "eventd.poll_ms",
                                  "eventd.run_limit_s",
                                  "eventd.lock_wait_ms"};

// The configuration's file: the one QUELLIX_CONFIG names, else the default.
const char* ConfigPath() {
    const char* env = std::getenv("QUELLIX_CONFIG");
    return (env != nullptr && *env != '\0') ? env : "/etc/quellix/platform.conf";
}

// The keys of a namespace mapped to a mail store: "mailstore.<namespace>"
// and "mailstore.<namespace><suffix>". A namespace is a domain name, dots
// and all, so a suffix is one only when the namespace before it is mapped.
constexpr std::string_view kMailStorePrefix = "mailstore.";
constexpr std::array<std::string_view, 9> kMailStoreSuffixes = {".login",
                                                                ".auth",
                                                                ".admin",
                                                                ".password_file",
                                                                ".starttls",
                                                                ".ca_file",
                                                                ".connect_timeout_ms",
                                                                ".reply_timeout_ms",
                                                                ".lock_wait_ms"};

}  // namespace

PlatformConfig PlatformConfig::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw platform::Error(
            platform::err::kFileNotFound,
            platform::Describe("open", path, "cannot read the platform configuration", errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    PlatformConfig cfg = Parse(text.str(), path);
    for (const auto& unknown : cfg.UnknownKeys()) {
        const std::string line =
            "quellix: warning: " + unknown + ": unknown configuration key, ignored\n";
        (void)!::write(STDERR_FILENO, line.data(), line.size());
    }
    // Every namespace's settings are checked now: a program finds a mail
    // store set as it cannot be when it starts, not when a run gets there.
    for (const auto& ns : cfg.MailStoreNamespaces()) (void)cfg.MailStoreFor(ns);
    return cfg;
}

std::vector<std::string> PlatformConfig::UnknownKeys() const {
    std::vector<std::string> out;
    for (const auto& [key, line] : lines_) {
        if (key.starts_with(kMailStorePrefix) && MailStoreKeyKnown(key)) continue;
        if (std::find(std::begin(kKnownKeys), std::end(kKnownKeys), key) == std::end(kKnownKeys))
            out.push_back(source_ + ":" + std::to_string(line) + ": " + platform::VisibleText(key));
    }
    return out;
}

PlatformConfig PlatformConfig::Parse(const std::string& text, const std::string& source) {
    PlatformConfig cfg;
    cfg.source_ = source;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string t = platform::TrimSpace(line);
        if (t.empty() || t[0] == '#') continue;
        const size_t eq = t.find('=');
        if (eq == std::string::npos || platform::TrimSpace(t.substr(0, eq)).empty()) {
            throw platform::Error(platform::err::kInvalidArg,
                                  source + ":" + std::to_string(number) + ": expected key = value");
        }
        const std::string key = platform::TrimSpace(t.substr(0, eq));
        cfg.values_[key] = platform::TrimSpace(t.substr(eq + 1));
        cfg.lines_[key] = number;
    }
    return cfg;
}

std::string PlatformConfig::DefaultPath() {
    return ConfigPath();
}

const PlatformConfig& PlatformConfig::Current() {
    // Reloaded when QUELLIX_CONFIG names another file, so tests can switch
    // between temporary platforms in one process. Old configurations are kept
    // alive: callers may hold references.
    static std::mutex mu;
    static std::map<std::string, std::unique_ptr<PlatformConfig>> loaded;
    // A run asks at every folder it opens; the one this thread was last
    // given, under the same name, is given again without a lock or a copy.
    thread_local const PlatformConfig* last = nullptr;
    thread_local std::string lastPath;
    const char* wanted = ConfigPath();
    if (last != nullptr && lastPath == wanted) return *last;
    std::lock_guard<std::mutex> lock(mu);
    const std::string path = wanted;
    auto it = loaded.find(path);
    if (it == loaded.end()) {
        auto cfg = std::make_unique<PlatformConfig>();
        // A file the administrator named must be there: running on the
        // defaults instead would work on another server's state. Only the
        // default file may be missing.
        const char* named = std::getenv("QUELLIX_CONFIG");
        if ((named != nullptr && *named != '\0') || access(path.c_str(), F_OK) == 0) {
            *cfg = Load(path);
        } else {
            cfg->source_ = path;
        }
        it = loaded.emplace(path, std::move(cfg)).first;
    }
    last = it->second.get();
    lastPath = path;
    return *last;
}

std::optional<std::string> PlatformConfig::Get(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::string PlatformConfig::GetOr(const std::string& key, const std::string& fallback) const {
    auto v = Get(key);
    return v ? *v : fallback;
}

void PlatformConfig::Refuse(const std::string& key, const std::string& value,
                            const std::string& why) const {
    const auto line = lines_.find(key);
    const std::string where =
        source_ + (line == lines_.end() ? std::string() : ":" + std::to_string(line->second)) +
        ": " + key;
    throw platform::Error(
        platform::err::kInvalidArg,
        platform::Describe(
            "read configuration", where,
            why + ": '" + platform::VisibleText(platform::WithoutUserInfo(value)) + "'",
            platform::err::kInvalidArg));
}

bool PlatformConfig::GetBool(const std::string& key, bool fallback) const {
    auto v = Get(key);
    if (!v) return fallback;
    const std::string s = platform::Lower(*v);
    if (s == "yes" || s == "true" || s == "1" || s == "on") return true;
    if (s == "no" || s == "false" || s == "0" || s == "off") return false;
    Refuse(key, *v, "not yes or no");
}

std::string PlatformConfig::GetChoice(const std::string& key, const std::string& fallback,
                                      const std::vector<std::string>& choices) const {
    auto v = Get(key);
    if (!v) return fallback;
    std::string listed;
    for (const auto& choice : choices) {
        if (platform::EqualsNoCase(*v, choice)) return choice;
        listed += (listed.empty() ? "" : ", ") + choice;
    }
    Refuse(key, *v, "not one of " + listed);
}

int64_t PlatformConfig::GetWholeNumber(const std::string& key, int64_t fallback, int64_t max,
                                       const std::string& what, int64_t min) const {
    const auto v = Get(key);
    if (!v) return fallback;
    if (v->empty() || v->size() > 12 || v->find_first_not_of("0123456789") != std::string::npos)
        Refuse(key, *v, "not a whole number of " + what);
    const int64_t n = std::stoll(*v);
    if (n < min || n > max)
        Refuse(key, *v,
               "out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")");
    return n;
}

std::string PlatformConfig::StateDir() const {
    return GetOr("state_dir", "/var/lib/quellix");
}
std::string PlatformConfig::DataDir() const {
    return GetOr("data_dir", StateDir() + "/data");
}
std::optional<uid_t> PlatformConfig::ServiceAccount() const {
    struct stat st {};
    if (::lstat(DataDir().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return st.st_uid;
}
int PlatformConfig::RunWorkers() const {
    // The waits of a mail store (its server, its disk) overlap; the item
    // store's own rows are written by one writer at a time, and more
    // workers only queue for it.
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    const int64_t fallback = MailStoreNamespaces().empty() ? 1 : std::min(8U, 2 * cores);
    return static_cast<int>(GetWholeNumber("run.workers", fallback, kMaxRunWorkers, "workers", 1));
}

std::string PlatformConfig::StorePath() const {
    return GetOr("store", DataDir() + "/store.db");
}
std::string PlatformConfig::DirectoryUri() const {
    return GetOr("directory", "ldb://" + DataDir() + "/directory.ldb");
}
std::string PlatformConfig::ClassesPath() const {
    return GetOr("classes", StateDir() + "/classes.db");
}
std::string PlatformConfig::CatalogPath() const {
    return GetOr("catalog", StateDir() + "/catalog.db");
}
std::string PlatformConfig::HistoryPath() const {
    return GetOr("history", DataDir() + "/history.db");
}
std::string PlatformConfig::MailTransport() const {
    return GetOr("mail.transport", "pickup");
}
std::string PlatformConfig::PickupDir() const {
    return GetOr("mail.pickup_dir", DataDir() + "/pickup");
}
std::string PlatformConfig::TempDir() const {
    return GetOr("temp_dir", DataDir() + "/tmp");
}

std::optional<std::string> PlatformConfig::MailStoreParent(const std::string& key) const {
    const size_t dot = key.rfind('.');
    if (dot == std::string::npos || dot <= kMailStorePrefix.size()) return std::nullopt;
    const std::string_view parent = std::string_view(key).substr(0, dot);
    for (const auto& [other, value] : values_) {
        if (platform::EqualsNoCase(other, parent)) return key.substr(dot);
    }
    return std::nullopt;
}

bool PlatformConfig::MailStoreKeyKnown(const std::string& key) const {
    // A namespace's location, or one of the sub-keys of a namespace mapped
    // (spelt in any case). A location that is no location is refused with
    // the namespace's settings.
    if (key.size() <= kMailStorePrefix.size()) return false;
    const auto suffix = MailStoreParent(key);
    return !suffix || std::find(kMailStoreSuffixes.begin(), kMailStoreSuffixes.end(), *suffix) !=
                          kMailStoreSuffixes.end();
}

std::vector<std::string> PlatformConfig::MailStoreNamespaces() const {
    std::vector<std::string> out;
    for (const auto& [key, value] : values_) {
        if (!key.starts_with(kMailStorePrefix) || key.size() == kMailStorePrefix.size()) continue;
        if (!MailStoreParent(key)) out.push_back(key.substr(kMailStorePrefix.size()));
    }
    return out;
}

void PlatformConfig::RefuseTwice(const std::string& a, const std::string& b) const {
    const auto line = [&](const std::string& key) {
        const auto it = lines_.find(key);
        return it == lines_.end() ? 0 : it->second;
    };
    const bool aLater = line(a) > line(b);
    const std::string& later = aLater ? a : b;
    Refuse(later, values_.at(later),
           "sets what " + (aLater ? b : a) + " sets (namespaces compare without regard to case)");
}

std::string PlatformConfig::MailStoreSubKey(const std::string& key, std::string_view suffix) const {
    std::string found;
    for (const auto& [other, value] : values_) {
        if (other.size() != key.size() + suffix.size() || !other.ends_with(suffix) ||
            !platform::EqualsNoCase(std::string_view(other).substr(0, key.size()), key))
            continue;
        if (!found.empty()) RefuseTwice(found, other);
        found = other;
    }
    return found.empty() ? key + std::string(suffix) : found;
}

std::optional<MailStoreSettings> PlatformConfig::MailStoreFor(const std::string& ns) const {
    std::string key;
    for (const auto& mapped : MailStoreNamespaces()) {
        if (!platform::EqualsNoCase(mapped, ns)) continue;
        if (!key.empty()) RefuseTwice(key, std::string(kMailStorePrefix) + mapped);
        key = std::string(kMailStorePrefix) + mapped;
    }
    if (key.empty()) return std::nullopt;
    MailStoreSettings s;
    s.ns = key.substr(kMailStorePrefix.size());
    s.location = *Get(key);
    const auto line = lines_.find(key);
    s.source =
        source_ + (line == lines_.end() ? std::string() : ":" + std::to_string(line->second));
    const auto sub = [&](std::string_view suffix) { return MailStoreSubKey(key, suffix); };
    s.login = GetOr(sub(".login"), s.login);
    if (s.login.empty()) Refuse(sub(".login"), s.login, "an empty login name template");
    s.auth = GetChoice(sub(".auth"), s.auth, {"plain", "master", "proxy"});
    s.admin = GetOr(sub(".admin"), "");
    if (s.auth != "plain" && s.admin.empty() && Get(sub(".auth")))
        Refuse(sub(".auth"), s.auth, "needs " + key + ".admin, the authenticating administrator");
    s.passwordFile = GetOr(sub(".password_file"), "");
    if (!s.passwordFile.empty() && s.passwordFile[0] != '/')
        Refuse(sub(".password_file"), s.passwordFile, "not an absolute path");
    s.syncDeletes = GetChoice("store.synchronous", "normal", {"normal", "full"}) == "full";
    s.starttls = GetBool(sub(".starttls"), s.starttls);
    s.caFile = GetOr(sub(".ca_file"), "");
    s.connectTimeoutMs =
        GetWholeNumber(sub(".connect_timeout_ms"), s.connectTimeoutMs, 3600000, "milliseconds", 1);
    s.replyTimeoutMs =
        GetWholeNumber(sub(".reply_timeout_ms"), s.replyTimeoutMs, 3600000, "milliseconds", 1);
    s.lockWaitMs = GetWholeNumber(sub(".lock_wait_ms"), s.lockWaitMs, 3600000, "milliseconds");
    const MailStoreLocation location = ParseMailStoreLocation(s);
    if (location.imap && s.passwordFile.empty())
        Refuse(key, s.location, "an IMAP store needs " + key + ".password_file");
    return s;
}

MailStoreLocation ParseMailStoreLocation(const MailStoreSettings& settings) {
    auto refuse = [&](const std::string& why) {
        throw platform::Error(
            platform::err::kInvalidArg,
            platform::Describe(
                "read configuration", settings.source + ": mailstore." + settings.ns,
                why + ": '" + platform::VisibleText(platform::WithoutUserInfo(settings.location)) +
                    "'",
                platform::err::kInvalidArg));
    };
    MailStoreLocation loc;
    const std::string& text = settings.location;
    const std::string lower = platform::Lower(text);
    if (lower.starts_with("maildir:")) {
        const std::string rest = text.substr(8);
        size_t at = rest.find(':');
        loc.pathTemplate = rest.substr(0, at);
        while (at != std::string::npos) {
            const size_t next = rest.find(':', at + 1);
            const std::string spelt =
                rest.substr(at + 1, next == std::string::npos ? next : next - at - 1);
            const std::string option = platform::Lower(spelt);
            if (option == "layout=fs") {
                loc.fsLayout = true;
            } else if (option == "layout=maildir++") {
                loc.fsLayout = false;
            } else if (option == "utf-8") {
                loc.utf8Names = true;
            } else if (!option.starts_with("index=") && !option.starts_with("control=") &&
                       !option.starts_with("volatiledir=")) {
                // INDEX, CONTROL and VOLATILEDIR say where Dovecot keeps its
                // own files: nothing of ours.
                refuse("a Maildir option this backend does not take (" +
                       platform::VisibleText(spelt) +
                       "; it takes LAYOUT=fs, LAYOUT=maildir++ and UTF-8)");
            }
            at = next;
        }
        if (loc.pathTemplate.empty() || loc.pathTemplate[0] != '/')
            refuse("not an absolute Maildir path");
        for (size_t i = 0; i < loc.pathTemplate.size(); ++i) {
            if (loc.pathTemplate[i] != '%') continue;
            const char c = i + 1 < loc.pathTemplate.size() ? loc.pathTemplate[i + 1] : '\0';
            if (c != 'd' && c != 'n' && c != '%')
                refuse("an unknown % sequence in the Maildir path (%d, %n and %% are known)");
            ++i;
        }
        if (loc.pathTemplate.find("%n") == std::string::npos)
            refuse("the Maildir path names no mailbox (%n)");
        return loc;
    }
    if (!lower.starts_with("imap://") && !lower.starts_with("imaps://")) {
        refuse(
            "not a mail store location (maildir:/path/%d/%n/Maildir, imap://host:port or "
            "imaps://host:port)");
    }
    loc.imap = true;
    loc.implicitTls = lower.starts_with("imaps://");
    std::string hostPort = text.substr(text.find("://") + 3);
    if (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
    if (hostPort.find('@') != std::string::npos) {
        refuse("a name or password in the location (the login is mailstore." + settings.ns +
               ".login, the password in mailstore." + settings.ns + ".password_file)");
    }
    if (hostPort.empty() || hostPort.find_first_of("/?#") != std::string::npos)
        refuse("not imap://host[:port] or imaps://host[:port], nothing more");
    loc.port = loc.implicitTls ? 993 : 143;
    size_t portAt = hostPort.rfind(':');
    if (hostPort[0] == '[') {  // [IPv6]:port
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) refuse("an unclosed [ in the host");
        loc.host = hostPort.substr(1, close - 1);
        portAt = close + 1 < hostPort.size() && hostPort[close + 1] == ':' ? close + 1
                                                                           : std::string::npos;
    } else {
        loc.host = hostPort.substr(0, portAt);
    }
    if (portAt != std::string::npos) {
        const std::string port = hostPort.substr(portAt + 1);
        int value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535)
            refuse("not a port number (1 to 65535)");
        loc.port = value;
    }
    if (loc.host.empty()) refuse("no host");
    if (!loc.implicitTls && !settings.starttls && !IsLoopback(loc.host)) {
        refuse("mailstore." + settings.ns +
               ".starttls = no would send the password in clear text, which goes only to a "
               "loopback address (127.0.0.0/8, ::1, localhost)");
    }
    return loc;
}

std::string ReadPasswordFile(const std::string& path, std::optional<uid_t> account) {
    auto refuse = [&](const std::string& why) {
        throw platform::Error(
            platform::err::kPermissionDenied,
            platform::Describe("read password file", path, why, platform::err::kPermissionDenied));
    };
    // Without waiting on a FIFO or a device put in the file's place: what is
    // not a regular file is refused before anything is read.
    const platform::UniqueFd file(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.IsOpen()) refuse(std::strerror(errno));
    const int fd = file.Get();
    struct stat st {};
    if (::fstat(fd, &st) != 0) refuse(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse("not a regular file");
    // Root reads the service account's file too: only that account (and
    // root) can write it, and the account is the one whose runs it serves.
    const uid_t me = ::geteuid();
    if (st.st_uid != me && !(me == 0 && account && st.st_uid == *account)) {
        refuse(me == 0 && account ? "owned by neither root nor the service account (uid " +
                                        std::to_string(*account) + ", data_dir's owner)"
                                  : std::string("not owned by the running user"));
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        refuse("readable or writable by others than its owner (chmod 600 it)");
    std::string text;
    std::array<char, 4096> buf{};
    for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            refuse(std::strerror(errno));
        }
        text.append(buf.data(), static_cast<size_t>(n));
        if (text.size() > 65536) refuse("longer than a password file");
    }
    const size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

std::string PlatformConfig::ComputerName() const {
    if (auto v = Get("server.computer_name")) return *v;
    const std::string fqdn = HostFqdn();
    return fqdn.substr(0, fqdn.find('.'));
}

std::string PlatformConfig::DomainDnsName() const {
    if (auto v = Get("server.domain_dns_name")) return *v;
    const std::string fqdn = HostFqdn();
    const size_t dot = fqdn.find('.');
    return dot == std::string::npos ? std::string("localdomain") : fqdn.substr(dot + 1);
}

}  // namespace localplatform
