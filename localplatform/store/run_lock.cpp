#include "localplatform/store/run_lock.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "localplatform/process/process_identity.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"

namespace localplatform {
namespace {

namespace err = platform::err;
using platform::Error;

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr int64_t kDefaultBusyMs = 10000;

// The store's database, opened for the lock's statements alone.
SqliteDb OpenStore(const std::string& path) {
    CheckStoreFile(path);
    SqliteDb::Options options;
    options.create = false;
    options.opening = "open store";
    SqliteDb db = SqliteDb::Open(path, options);
    // The first read, which reads the write-ahead log, tells a damaged store.
    try {
        db.Prepare("PRAGMA user_version").Run();
    } catch (const Error& e) {
        RaiseUnreadableStore(path, e);
    }
    return db;
}

void SetBusyTimeout(SqliteDb& db, std::chrono::milliseconds ms) {
    SqliteDb::BusyWait wait;
    wait.statementMs = static_cast<int>(std::max<int64_t>(ms.count(), 1));
    db.SetBusyWait(wait);
}

constexpr const char* kTable =
    "CREATE TABLE IF NOT EXISTS run_locks(key TEXT PRIMARY KEY, pid INTEGER NOT NULL,"
    " host TEXT NOT NULL, since INTEGER NOT NULL, token TEXT NOT NULL)";

}  // namespace

struct StoreRunLock::State {
    SqliteDb db;
    std::string key;
    int64_t pid = 0;
    std::string token;
};

std::string StoreRunLock::KeyFor(const std::string& itemUrl) {
    // Any host: the key is the item's place in the store; the caller's
    // store is this server's, whatever name the URL gives it.
    const StoreUrl url = ParseStoreUrl(itemUrl, StoreUrlHost(itemUrl));
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
    auto state =
        std::make_unique<State>(State{OpenStore(storePath), KeyFor(itemUrl), ::getpid(), ""});
    state->token = ProcessToken(state->pid);
    const std::string host = HostName();
    // Each look at the lock waits for a busy store as every statement does.
    SetBusyTimeout(state->db, std::chrono::milliseconds(StoreSettingMs("store.busy_timeout_ms",
                                                                       kDefaultBusyMs, 3600000)));
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        RunLockOwner owner;
        bool taken = false;
        SqliteDb::Transaction tx(state->db);
        state->db.Exec(kTable);
        auto sel =
            state->db.Prepare("SELECT pid, host, since, token FROM run_locks WHERE key = ?1");
        sel.Bind(1, state->key);
        bool free = true;
        if (sel.Step()) {
            owner.pid = sel.Int(0);
            owner.host = sel.Text(1);
            owner.since = sel.Int(2);
            const std::string token = sel.Text(3);
            // Only an owner on this host can be found dead; a process that
            // exists with the recorded start is alive, even stopped.
            free = owner.host == host && ProcessGone(owner.pid, token);
        }
        if (free) {
            state->db
                .Prepare(
                    "INSERT OR REPLACE INTO run_locks(key, pid, host, since, token)"
                    " VALUES(?1, ?2, ?3, ?4, ?5)")
                .Bind(1, state->key)
                .Bind(2, state->pid)
                .Bind(3, host)
                .Bind(4, static_cast<int64_t>(std::time(nullptr)))
                .Bind(5, state->token)
                .Run();
            taken = true;
        }
        tx.Commit();
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
        SetBusyTimeout(s_->db, std::chrono::milliseconds(10000));
        s_->db.Prepare("DELETE FROM run_locks WHERE key = ?1 AND pid = ?2 AND token = ?3")
            .Bind(1, s_->key)
            .Bind(2, s_->pid)
            .Bind(3, s_->token)
            .Run();
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
