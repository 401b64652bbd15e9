#include "localplatform/config/platform_config.h"

#include <netdb.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "base/error.h"
#include "base/strfuncs.h"

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
    return Parse(text.str(), path);
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
        cfg.values_[platform::TrimSpace(t.substr(0, eq))] = platform::TrimSpace(t.substr(eq + 1));
    }
    return cfg;
}

std::string PlatformConfig::DefaultPath() {
    const char* env = std::getenv("QUELLIX_CONFIG");
    return (env != nullptr && *env != '\0') ? env : "/etc/quellix/platform.conf";
}

const PlatformConfig& PlatformConfig::Current() {
    // Reloaded when QUELLIX_CONFIG names another file, so tests can switch
    // between temporary platforms in one process. Old configurations are kept
    // alive: callers may hold references.
    static std::mutex mu;
    static std::map<std::string, std::unique_ptr<PlatformConfig>> loaded;
    std::lock_guard<std::mutex> lock(mu);
    const std::string path = DefaultPath();
    auto it = loaded.find(path);
    if (it == loaded.end()) {
        auto cfg = std::make_unique<PlatformConfig>();
        if (access(path.c_str(), F_OK) == 0)
            *cfg = Load(path);
        else
            cfg->source_ = path;
        it = loaded.emplace(path, std::move(cfg)).first;
    }
    return *it->second;
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

bool PlatformConfig::GetBool(const std::string& key, bool fallback) const {
    auto v = Get(key);
    if (!v) return fallback;
    const std::string s = platform::Lower(*v);
    return s == "yes" || s == "true" || s == "1" || s == "on" || s == "required";
}

int64_t PlatformConfig::GetWholeNumber(const std::string& key, int64_t fallback, int64_t max,
                                       const std::string& what) const {
    const auto v = Get(key);
    if (!v) return fallback;
    auto bad = [&](const std::string& why) {
        throw platform::Error(
            platform::err::kInvalidArg,
            platform::Describe("read configuration", source_ + ": " + key, why + ": '" + *v + "'",
                               platform::err::kInvalidArg));
    };
    if (v->empty() || v->size() > 12 || v->find_first_not_of("0123456789") != std::string::npos)
        bad("not a whole number of " + what);
    const int64_t n = std::stoll(*v);
    if (n > max) bad("out of range (0 to " + std::to_string(max) + ")");
    return n;
}

std::string PlatformConfig::StateDir() const {
    return GetOr("state_dir", "/var/lib/quellix");
}
std::string PlatformConfig::StorePath() const {
    return GetOr("store", StateDir() + "/store.db");
}
std::string PlatformConfig::DirectoryUri() const {
    return GetOr("directory", "ldb://" + StateDir() + "/directory.ldb");
}
std::string PlatformConfig::ClassesPath() const {
    return GetOr("classes", StateDir() + "/classes.db");
}
std::string PlatformConfig::CatalogPath() const {
    return GetOr("catalog", StateDir() + "/catalog.db");
}
std::string PlatformConfig::HistoryPath() const {
    return GetOr("history", StateDir() + "/history.db");
}
std::string PlatformConfig::MailTransport() const {
    return GetOr("mail.transport", "pickup");
}
std::string PlatformConfig::PickupDir() const {
    return GetOr("mail.pickup_dir", StateDir() + "/pickup");
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
