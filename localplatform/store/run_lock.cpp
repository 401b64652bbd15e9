#include "localplatform/store/run_lock.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"

namespace localplatform {
namespace {

namespace err = platform::err;
using platform::Error;

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr int64_t kDefaultBusyMs = 10000;

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtCloser {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtCloser>;

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

// What tells a process apart from a later one that reuses its id: the boot
// and the process's start time in clock ticks since that boot. Empty when
// the process does not exist.
std::string ProcessToken(int64_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return "";
    // The command name (field 2) may hold blanks and parentheses: count the
    // fields after its last ')'. starttime is field 22.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    for (int n = 3; n <= 22 && (rest >> field); ++n) {
        if (n == 22) {
            std::string boot;
            std::ifstream("/proc/sys/kernel/random/boot_id") >> boot;
            return boot + ":" + field;
        }
    }
    return "";
}

// Whether a process of this host is gone: no process has its id, or the one
// that has it started after the recorded one (its id was reused).
bool ProcessGone(int64_t pid, const std::string& token) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) return true;
    return !token.empty() && ProcessToken(pid) != token;
}

class Db {
public:
    explicit Db(const std::string& path) : path_(path) {
        CheckStoreFile(path);
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        db_.reset(raw);
        if (rc != SQLITE_OK) Fail(rc, "open store");
        sqlite3_extended_result_codes(raw, 1);
    }

    [[noreturn]] void Fail(int rc, const std::string& op) const {
        const std::string reason = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
        const int32_t number =
            (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED      ? err::kResourceLocked
            : (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB ? err::kCorrupt
                                                                            : err::kFail;
        throw Error(number, platform::Describe(op, path_, reason, rc));
    }

    void SetBusyTimeout(std::chrono::milliseconds ms) {
        sqlite3_busy_timeout(db_.get(), static_cast<int>(std::max<int64_t>(ms.count(), 1)));
    }

    void Exec(const char* sql) {
        const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Fail(rc, sql);
    }
    void ExecQuietly(const char* sql) noexcept {
        sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    }

    StmtPtr Prepare(const char* sql) {
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
        StmtPtr s(raw);
        if (rc != SQLITE_OK) Fail(rc, "prepare");
        return s;
    }
    // Steps to completion or to the first row; true when a row is ready.
    bool Step(sqlite3_stmt* s) {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(rc, "run lock");
    }

    [[nodiscard]] const std::string& Path() const { return path_; }

private:
    std::string path_;
    DbPtr db_;
};

void BindText(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

std::string Text(sqlite3_stmt* s, int c) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
    return p ? std::string(p) : std::string();
}

constexpr const char* kTable =
    "CREATE TABLE IF NOT EXISTS run_locks(key TEXT PRIMARY KEY, pid INTEGER NOT NULL,"
    " host TEXT NOT NULL, since INTEGER NOT NULL, token TEXT NOT NULL)";

}  // namespace

struct StoreRunLock::State {
    Db db;
    std::string key;
    int64_t pid = 0;
    std::string token;
};

std::string StoreRunLock::KeyFor(const std::string& itemUrl) {
    // Any host: the key is the item's place in the store; the caller's
    // store is this server's, whatever name the URL gives it.
    std::string_view rest = itemUrl;
    std::string host;
    if (rest.size() > 7 && FoldName(rest.substr(0, 7)) == "http://") {
        const size_t slash = rest.find('/', 7);
        host = std::string(
            rest.substr(7, slash == std::string_view::npos ? std::string_view::npos : slash - 7));
    }
    const StoreUrl url = ParseStoreUrl(itemUrl, host);
    std::string key;
    for (const auto& seg : url.segments) {
        if (!key.empty()) key += '/';
        key += FoldName(seg);
    }
    return key;
}

std::optional<StoreRunLock> StoreRunLock::Acquire(const std::string& storePath,
                                                  const std::string& itemUrl,
                                                  std::chrono::milliseconds wait,
                                                  RunLockOwner* holder) {
    auto state = std::make_unique<State>(State{Db(storePath), KeyFor(itemUrl), ::getpid(), ""});
    state->token = ProcessToken(state->pid);
    const std::string host = HostName();
    // Each look at the lock waits for a busy store as every statement does.
    state->db.SetBusyTimeout(std::chrono::milliseconds(
        StoreSettingMs("store.busy_timeout_ms", kDefaultBusyMs, 3600000)));
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        RunLockOwner owner;
        bool taken = false;
        state->db.Exec("BEGIN IMMEDIATE");
        try {
            state->db.Exec(kTable);
            auto sel =
                state->db.Prepare("SELECT pid, host, since, token FROM run_locks WHERE key = ?1");
            BindText(sel.get(), 1, state->key);
            bool free = true;
            if (state->db.Step(sel.get())) {
                owner.pid = sqlite3_column_int64(sel.get(), 0);
                owner.host = Text(sel.get(), 1);
                owner.since = sqlite3_column_int64(sel.get(), 2);
                const std::string token = Text(sel.get(), 3);
                // Only an owner on this host can be found dead; a process
                // that exists with the recorded start is alive, even stopped.
                free = owner.host == host && ProcessGone(owner.pid, token);
            }
            if (free) {
                auto put = state->db.Prepare(
                    "INSERT OR REPLACE INTO run_locks(key, pid, host, since, token)"
                    " VALUES(?1, ?2, ?3, ?4, ?5)");
                BindText(put.get(), 1, state->key);
                sqlite3_bind_int64(put.get(), 2, state->pid);
                BindText(put.get(), 3, host);
                sqlite3_bind_int64(put.get(), 4, static_cast<int64_t>(std::time(nullptr)));
                BindText(put.get(), 5, state->token);
                state->db.Step(put.get());
                taken = true;
            }
            state->db.Exec("COMMIT");
        } catch (...) {
            state->db.ExecQuietly("ROLLBACK");
            throw;
        }
        if (taken) return StoreRunLock(std::move(state));
        if (std::chrono::steady_clock::now() >= deadline) {
            if (holder) *holder = owner;
            return std::nullopt;
        }
        std::this_thread::sleep_for(
            std::min(kPollInterval, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now()) +
                                        std::chrono::milliseconds(1)));
    }
}

StoreRunLock::StoreRunLock(std::unique_ptr<State> state) : s_(std::move(state)) {}
StoreRunLock::StoreRunLock(StoreRunLock&&) noexcept = default;
StoreRunLock& StoreRunLock::operator=(StoreRunLock&&) noexcept = default;

StoreRunLock::~StoreRunLock() {
    if (!s_) return;
    try {
        s_->db.SetBusyTimeout(std::chrono::milliseconds(10000));
        auto del =
            s_->db.Prepare("DELETE FROM run_locks WHERE key = ?1 AND pid = ?2 AND token = ?3");
        BindText(del.get(), 1, s_->key);
        sqlite3_bind_int64(del.get(), 2, s_->pid);
        BindText(del.get(), 3, s_->token);
        s_->db.Step(del.get());
    } catch (const Error&) {
        // The row stays; the next run finds this process gone and takes over.
    }
}

const std::string& StoreRunLock::Key() const {
    return s_->key;
}

std::string DescribeOwner(const RunLockOwner& owner) {
    char when[32] = "?";
    const auto t = static_cast<time_t>(owner.since);
    struct tm tm {};
    if (gmtime_r(&t, &tm) != nullptr)
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return "pid " + std::to_string(owner.pid) + " on " + owner.host + " since " + when;
}

}  // namespace localplatform
