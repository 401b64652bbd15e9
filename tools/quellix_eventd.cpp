// quellix-eventd: the store's event service for timer registrations. It
// watches the timer registrations of the item store and, when one falls due,
// runs its sink class's OnTimer in a surrogate process (quellix-host) under
// the identity of the class's component application.
//
// SECURITY: started as root it reads the store, the catalog and the class
// registry as root, and runs every firing as the catalog's account for the
// class (setgid/initgroups/setuid in the surrogate before anything is
// loaded); a class that is in no component application is not run as root.
// It never loads a sink module itself. Untrusted input: the registration
// items of the store (their URLs and properties reach log lines only through
// VisibleText, and the surrogate's argument vector, never a shell).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "base/error.h"
#include "base/exit_codes.h"
#include "base/file_safety.h"
#include "base/journal.h"
#include "base/strfuncs.h"
#include "base/unique_fd.h"
#include "base/version.h"
#include "localplatform/catalog/component_catalog.h"
#include "localplatform/classes/class_registry.h"
#include "localplatform/config/config_option.h"
#include "localplatform/config/platform_config.h"
#include "tools/eventd/event_service.h"

namespace {

std::atomic<bool> g_stop{false};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: quellix-eventd [--config FILE]              run the service\n"
                 "       quellix-eventd [--config FILE] --once AT    fire what is due up to AT\n"
                 "       quellix-eventd [--config FILE] --list       show registrations\n"
                 "       quellix-eventd --version\n"
                 "\n"
                 "Fires the timer registrations of the item store: each at its start time\n"
                 "plus a whole number of its intervals, by calling the OnTimer of its sink\n"
                 "class in a quellix-host process under the identity of the class's\n"
                 "component application. One line per firing and outcome goes to standard\n"
                 "error. A firing missed while the service was down is reported, or fired\n"
                 "once at start-up when the configuration says 'catch_up = yes'.\n"
                 "Run as root, it takes the configuration, the component catalog, the class\n"
                 "registry and each module only from files that root alone can change (the\n"
                 "file and every folder above it), and runs no component as uid 0 or as an\n"
                 "account that is locked, expired or missing.\n"
                 "\n"
                 "  --once AT  fires every registration due at an instant after its last\n"
                 "             firing and at or before AT, waits for each run, and exits.\n"
                 "             AT is yyyy-mm-ddThh:mm:ssZ (UTC) and nothing else; an AT\n"
                 "             still ahead is waited for: nothing fires before its instant\n"
                 "  --list     prints each registration with its last and next firing\n"
                 "\n"
                 "Configuration keys (--config, else $QUELLIX_CONFIG, else\n"
                 "/etc/quellix/platform.conf): catch_up (no), eventd.poll_ms (2000),\n"
                 "eventd.run_limit_s (3600), eventd.lock_wait_ms (10000), eventd.host\n"
                 "(quellix-host beside this program), eventd.record\n"
                 "(<state_dir>/eventd.record), eventd.lock (<state_dir>/quellix-eventd.pid).\n"
                 "exit codes: 0 success, 1 a firing or the service failed, 2 bad usage\n");
}

void LogLine(platform::LogPriority priority, const std::string& line) {
    const std::string text = platform::JournalPrefix(priority) + "quellix-eventd: " + line + "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

int64_t NowUnix() {
    return static_cast<int64_t>(std::time(nullptr));
}

std::string ProgramDirectory() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

long Number(const localplatform::PlatformConfig& cfg, const char* key, long fallback, long min,
            long max) {
    const auto v = cfg.Get(key);
    if (!v) return fallback;
    long n = 0;
    const auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
    if (ec != std::errc() || p != v->data() + v->size() || n < min || n > max) {
        throw platform::Error(platform::err::kInvalidArg,
                              std::string("configuration key ") + key + " = '" +
                                  platform::VisibleText(*v) + "': not a number from " +
                                  std::to_string(min) + " to " + std::to_string(max));
    }
    return n;
}

// The pid/lock file: one service (or --once) at a time fires timers.
// Waits up to waitMs for it; raises platform::Error naming the holder.
platform::UniqueFd TakeServiceLock(const std::string& path, long waitMs) {
    // Never through a link, never waiting on what is not a regular file.
    platform::UniqueFd fd(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd.IsOpen()) {
        throw platform::Error(platform::err::kFail,
                              "open(" + path + ") failed: " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw platform::Error(platform::err::kFail,
                              "open(" + path + ") failed: not a regular file");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            throw platform::Error(platform::err::kFail,
                                  "flock(" + path + ") failed: " + std::strerror(errno));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            char pid[32] = {};
            (void)!::pread(fd.Get(), pid, sizeof pid - 1, 0);
            throw platform::Error(platform::err::kResourceLocked,
                                  "another quellix-eventd (pid " + platform::TrimSpace(pid) +
                                      ") holds " + path + "; gave up after " +
                                      std::to_string(waitMs) + " ms (eventd.lock_wait_ms)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.Get(), 0) != 0 || ::pwrite(fd.Get(), pid.data(), pid.size(), 0) < 0) {
        throw platform::Error(platform::err::kFail,
                              "write(" + path + ") failed: " + std::strerror(errno));
    }
    return fd;
}

// A service running as root takes what runs as whom only from files that
// root alone can change (as sshd's StrictModes): the file and every folder
// above it root's and writable by no one else. A missing file is judged by
// its folder: whoever could write that folder could make the file.
std::optional<std::string> Untrusted(const std::string& what, const std::string& path) {
    if (::geteuid() != 0) return std::nullopt;
    std::error_code ec;
    const bool exists = std::filesystem::exists(std::filesystem::symlink_status(path, ec));
    const std::string judged = exists ? path : std::filesystem::path(path).parent_path().string();
    if (auto why = platform::WhyNotRootsAlone(judged.empty() ? "." : judged))
        return "refusing the " + what + " " + path + ": " + *why;
    return std::nullopt;
}

// Where a sink class runs: the component application that holds it, under
// its identity and with its construction string. A service running as root
// runs no class that is in no application, and none whose catalog, class
// registry or module another account could have changed.
std::optional<eventd::Hosting> FindHosting(const std::string& progId, std::string* why) {
    try {
        const auto& cfg = localplatform::PlatformConfig::Current();
        for (const auto& [what, path] :
             {std::pair<std::string, std::string>{"component catalog", cfg.CatalogPath()},
              {"class registry", cfg.ClassesPath()}}) {
            if (auto untrusted = Untrusted(what, path)) {
                *why = *untrusted;
                return std::nullopt;
            }
        }
        const auto catalog = localplatform::ComponentCatalog::OpenCurrent();
        for (const auto& app : catalog.Applications()) {
            for (const auto& component : catalog.Components(app.id)) {
                if (!platform::EqualsNoCase(component.progId, progId)) continue;
                eventd::Hosting h;
                h.application = app.name;
                h.identity = app.identity;
                if (component.constructionEnabled)
                    h.constructorString = component.constructorString;
                // The host loads the module the class registry names: it
                // must be the catalog's, and root's alone.
                const auto row = localplatform::ClassRegistry::OpenCurrent().FindByProgId(progId);
                const std::string module = row ? row->modulePath : component.modulePath;
                if (row && row->modulePath != component.modulePath) {
                    *why = "the class registry names the module " + module +
                           ", the component catalog " + component.modulePath;
                    return std::nullopt;
                }
                if (::geteuid() == 0) {
                    if (auto untrusted = platform::WhyNotRootsAlone(module)) {
                        *why = "refusing the module " + module + ": " + *untrusted;
                        return std::nullopt;
                    }
                }
                return h;
            }
        }
    } catch (const platform::Error& e) {
        *why = "component catalog: " + e.Description();
        return std::nullopt;
    }
    if (::geteuid() == 0) {
        *why =
            "the class is in no component application, and a service running as root runs "
            "only installed components";
        return std::nullopt;
    }
    return eventd::Hosting{};
}

void OnSignal(int) {
    g_stop.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    int i = localplatform::TakeConfigOption(argc, argv);
    enum class Mode { kRun, kOnce, kList } mode = Mode::kRun;
    std::string at;
    // "--help" in any mode, even where --once expects its instant, only
    // prints the help.
    for (int k = i; k < argc; ++k) {
        if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            Usage(stdout);
            return platform::kExitOk;
        }
    }
    if (i < argc && platform::IsVersionOption(argv[i]))
        return platform::PrintVersion("quellix-eventd");
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--once" && i + 1 < argc && mode == Mode::kRun) {
            mode = Mode::kOnce;
            at = argv[++i];
        } else if (a == "--list" && mode == Mode::kRun) {
            mode = Mode::kList;
        } else {
            if (a == "--once" && i + 1 == argc) {
                std::fprintf(stderr, "quellix-eventd: --once needs an instant AT\n");
            } else if (a == "--once" || a == "--list") {
                std::fprintf(stderr, "quellix-eventd: one mode at a time: --once AT or --list\n");
            } else {
                std::fprintf(stderr, "quellix-eventd: unknown %s '%s'\n",
                             a.starts_with('-') ? "option" : "argument",
                             platform::VisibleText(a).c_str());
            }
            Usage(stderr);
            return platform::kExitUsage;
        }
    }
    std::optional<int64_t> atUnix;
    if (mode == Mode::kOnce) {
        std::string why;
        atUnix = eventd::ParseIsoUtc(at, &why);
        if (!atUnix) {
            std::fprintf(stderr, "quellix-eventd: --once \"%s\": %s\n",
                         platform::VisibleText(at).c_str(), why.c_str());
            return platform::kExitUsage;
        }
    }
    try {
        const auto& cfg = localplatform::PlatformConfig::Current();
        // The configuration names the catalog, the registry and the state:
        // as root, only one that root alone can change is followed.
        if (auto untrusted = Untrusted("platform configuration", cfg.SourcePath())) {
            LogLine(platform::LogPriority::kErr, *untrusted);
            return platform::kExitFailed;
        }
        eventd::ServiceOptions options;
        options.hostPath = cfg.GetOr("eventd.host", ProgramDirectory() + "/quellix-host");
        options.configPath = cfg.SourcePath();
        options.recordPath = cfg.GetOr("eventd.record", cfg.StateDir() + "/eventd.record");
        options.catchUp = cfg.GetBool("catch_up", false);
        options.poll = std::chrono::milliseconds(Number(cfg, "eventd.poll_ms", 2000, 50, 3600000));
        options.runLimit =
            std::chrono::seconds(Number(cfg, "eventd.run_limit_s", 3600, 1, 7L * 86400));
        const long lockWait = Number(cfg, "eventd.lock_wait_ms", 10000, 0, 3600000);
        const std::string lockPath =
            cfg.GetOr("eventd.lock", cfg.StateDir() + "/quellix-eventd.pid");

        if (mode == Mode::kList) {
            eventd::EventService service(options, FindHosting, LogLine);
            for (const auto& l : service.List(NowUnix())) {
                const auto& r = l.registration;
                std::printf("%s\t%s\t%s\tstart %s\tevery %lld min\tlast %s\tnext %s\n",
                            platform::VisibleText(r.url).c_str(),
                            platform::VisibleText(r.sinkClass).c_str(),
                            !r.defect.empty()
                                ? ("defective: " + platform::VisibleText(r.defect)).c_str()
                            : r.enabled ? "enabled"
                                        : "disabled",
                            eventd::IsoUtc(r.schedule.start).c_str(),
                            static_cast<long long>(r.schedule.intervalSeconds / 60),
                            l.lastFiring ? eventd::IsoUtc(*l.lastFiring).c_str() : "-",
                            l.nextFiring ? eventd::IsoUtc(*l.nextFiring).c_str() : "-");
            }
            return platform::kExitOk;
        }

        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        if (mode == Mode::kOnce && *atUnix > NowUnix()) {
            // A firing is due once its instant has come: an AT ahead is
            // waited for (without the service lock), so that nothing fires
            // early and no firing is recorded that did not happen.
            LogLine(platform::LogPriority::kInfo, "waiting until " + eventd::IsoUtc(*atUnix) +
                                                      " (" + std::to_string(*atUnix - NowUnix()) +
                                                      " s) to fire what is due then");
            while (!g_stop.load() && NowUnix() < *atUnix) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (g_stop.load()) {
                LogLine(platform::LogPriority::kWarning,
                        "stopped before " + eventd::IsoUtc(*atUnix) + ": nothing fired");
                return platform::kExitFailed;
            }
        }
        const platform::UniqueFd lock =
            TakeServiceLock(lockPath, mode == Mode::kOnce ? lockWait : 0);
        eventd::EventService service(options, FindHosting, LogLine);
        if (mode == Mode::kOnce) {
            const int failed = service.FireDue(*atUnix, NowUnix());
            return failed == 0 ? platform::kExitOk : platform::kExitFailed;
        }
        LogLine(platform::LogPriority::kInfo, "started (pid " + std::to_string(::getpid()) +
                                                  ", as " + eventd::CurrentAccountName() +
                                                  ", store " + cfg.StorePath() + ")");
        service.Run(g_stop, NowUnix);
        LogLine(platform::LogPriority::kInfo, "stopped");
        return platform::kExitOk;
    } catch (const platform::Error& e) {
        LogLine(platform::LogPriority::kErr,
                platform::VisibleText(e.Description()) + " (" + std::to_string(e.Number()) + ")");
        return platform::kExitFailed;
    } catch (const std::exception& e) {
        LogLine(platform::LogPriority::kErr, platform::VisibleText(e.what()));
        return platform::kExitFailed;
    }
}
