#include "localplatform/history/run_history.h"

#include <unistd.h>

#include <algorithm>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/process/process_identity.h"
#include "localplatform/sqlite/sqlite_db.h"

namespace localplatform {

namespace {

namespace err = platform::err;
constexpr const char* kSource = "RunHistory";
constexpr int kDefaultBusyTimeoutMs = 10000;
constexpr int kDefaultKeepDays = 90;
constexpr int64_t kDaySeconds = 86400;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS runs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " item_url TEXT NOT NULL,"
    " started INTEGER NOT NULL,"
    " ended INTEGER,"
    " outcome TEXT NOT NULL,"
    " detail TEXT NOT NULL DEFAULT '',"
    " parameters TEXT NOT NULL DEFAULT '',"
    " pid INTEGER NOT NULL,"
    " host TEXT NOT NULL,"
    " token TEXT NOT NULL DEFAULT '',"
    " mailboxes INTEGER NOT NULL DEFAULT 0,"
    " deleted INTEGER NOT NULL DEFAULT 0,"
    " moved INTEGER NOT NULL DEFAULT 0,"
    " bytes INTEGER NOT NULL DEFAULT 0,"
    " errors INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS runs_started ON runs(started);"
    "CREATE TABLE IF NOT EXISTS folders ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
    " mailbox TEXT NOT NULL COLLATE NOCASE,"
    " url TEXT NOT NULL,"
    " count INTEGER NOT NULL,"
    " bytes INTEGER NOT NULL,"
    " moved INTEGER NOT NULL,"
    " error TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS folders_run ON folders(run, mailbox);";

// Version 2: what undo put back of a run, the mailboxes' names beside their
// addresses, and the mailboxes each run selected. Added to a history of
// version 0 or 1 when it is opened.
constexpr const char* kVersion2 =
    "ALTER TABLE runs ADD COLUMN put_back INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE runs ADD COLUMN put_back_at INTEGER;"
    "ALTER TABLE runs ADD COLUMN selection_recorded INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE folders ADD COLUMN name TEXT NOT NULL DEFAULT '';"
    "CREATE TABLE selections ("
    " run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
    " mailbox TEXT NOT NULL,"
    " name TEXT NOT NULL);"
    "CREATE INDEX selections_run ON selections(run);"
    "PRAGMA user_version = 2;";

constexpr const char* kRunColumns =
    "SELECT id, item_url, started, ended, outcome, detail, parameters, pid, host, token,"
    " mailboxes, deleted, moved, bytes, errors, put_back, put_back_at, selection_recorded"
    " FROM runs";

// Runs a step on the history; a wait for another writer that ran out is
// raised again saying how long it waited and which setting bounds it.
template <typename F>
auto Guarded(const SqliteDb& db, int busyTimeoutMs, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const platform::Error& e) {
        if (e.Number() != err::kResourceLocked) throw;
        throw platform::Error(e.Number(),
                              e.Description() + "; the history " + db.Path() +
                                  " was still busy after waiting " + std::to_string(busyTimeoutMs) +
                                  " ms (history.busy_timeout_ms)",
                              kSource);
    }
}

RunRecord RunRow(const SqliteDb::Statement& s, bool& endedNull) {
    RunRecord r;
    r.id = s.Int(0);
    r.itemUrl = s.Text(1);
    r.started = s.Int(2);
    // ended is NULL while the run goes on; its text is then empty.
    endedNull = s.Text(3).empty();
    if (!endedNull) r.ended = s.Int(3);
    r.outcome = s.Text(4);
    r.detail = s.Text(5);
    r.parameters = s.Text(6);
    r.pid = s.Int(7);
    r.host = s.Text(8);
    r.mailboxes = s.Int(10);
    r.deleted = s.Int(11);
    r.moved = s.Int(12);
    r.bytes = s.Int(13);
    r.errors = s.Int(14);
    r.putBack = s.Int(15);
    if (!s.IsNull(16)) r.putBackAt = s.Int(16);
    r.selectionRecorded = s.Int(17) != 0;
    // A run without an end whose process on this host is gone was cut
    // short: a kill, a crash, a power loss.
    if (r.outcome == run_outcome::kRunning && !r.ended && r.host == HostName() &&
        ProcessGone(r.pid, s.Text(9))) {
        r.outcome = run_outcome::kInterrupted;
    }
    return r;
}

std::vector<RunRecord> ReadRuns(SqliteDb::Statement& q) {
    std::vector<RunRecord> out;
    bool endedNull = false;
    while (q.Step()) out.push_back(RunRow(q, endedNull));
    return out;
}

}  // namespace

RunHistory::RunHistory(std::unique_ptr<SqliteDb> db, int busyTimeoutMs, int keepDays)
    : db_(std::move(db)), busyTimeoutMs_(busyTimeoutMs), keepDays_(keepDays) {}
RunHistory::RunHistory(RunHistory&&) noexcept = default;
RunHistory& RunHistory::operator=(RunHistory&&) noexcept = default;
RunHistory::~RunHistory() = default;

RunHistory RunHistory::Open(const std::string& path, int busyTimeoutMs, int keepDays) {
    // Owner only: parameters and addresses are nobody else's business.
    auto db = std::make_unique<SqliteDb>(SqliteDb::Open(
        path, {.busyTimeoutMs = busyTimeoutMs, .wal = true, .ownerOnly = true, .source = kSource}));
    // A commit reaches the write-ahead log without waiting for the disk: a
    // killed process loses nothing, a power loss at most the last commits
    // (the history then tells less, never something false), and a run is
    // not slowed by a disk flush per batch.
    db->Exec("PRAGMA synchronous=NORMAL");
    Guarded(*db, busyTimeoutMs, [&] {
        SqliteDb::Transaction tx(*db);
        db->Exec(kSchema);
        int version = 0;
        {
            auto v = db->Prepare("PRAGMA user_version");
            if (v.Step()) version = static_cast<int>(v.Int(0));
        }
        if (version < 2) db->Exec(kVersion2);
        tx.Commit();
    });
    return RunHistory(std::move(db), busyTimeoutMs, keepDays);
}

RunHistory RunHistory::OpenCurrent() {
    const auto& config = PlatformConfig::Current();
    const auto busy = static_cast<int>(config.GetWholeNumber(
        "history.busy_timeout_ms", kDefaultBusyTimeoutMs, 3600000, "milliseconds"));
    const auto keep = static_cast<int>(
        config.GetWholeNumber("history.keep_days", kDefaultKeepDays, 36500, "days"));
    return Open(config.HistoryPath(), busy, keep);
}

const std::string& RunHistory::Path() const {
    return db_->Path();
}

int64_t RunHistory::HighestRunId() const {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        // The sequence remembers runs pruned since.
        auto q = db_->Prepare(
            "SELECT max(IFNULL((SELECT max(id) FROM runs), 0),"
            " IFNULL((SELECT seq FROM sqlite_sequence WHERE name = 'runs'), 0))");
        return q.Step() ? q.Int(0) : int64_t{0};
    });
}

int64_t RunHistory::BeginRun(const std::string& itemUrl, int64_t started,
                             const std::string& parameters, int64_t id) {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        SqliteDb::Transaction tx(*db_);
        if (keepDays_ > 0) {
            db_->Prepare("DELETE FROM runs WHERE started < ?1")
                .Bind(1, started - int64_t{keepDays_} * kDaySeconds)
                .Run();
        }
        const int64_t pid = ::getpid();
        auto insert = db_->Prepare(
            "INSERT INTO runs (id, item_url, started, outcome, parameters, pid, host, token)"
            " VALUES (?8, ?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        if (id > 0) {
            insert.Bind(8, id);
        } else {
            insert.BindNull(8);  // the history's own next number
        }
        insert.Bind(1, itemUrl)
            .Bind(2, started)
            .Bind(3, std::string(run_outcome::kRunning))
            .Bind(4, parameters)
            .Bind(5, pid)
            .Bind(6, HostName())
            .Bind(7, ProcessToken(pid))
            .Run();
        auto id = db_->Prepare("SELECT last_insert_rowid()");
        id.Step();
        const int64_t run = id.Int(0);
        tx.Commit();
        return run;
    });
}

void RunHistory::RecordSelection(int64_t run, const std::vector<SelectedMailbox>& mailboxes,
                                 bool last) {
    constexpr size_t kRowsPerStatement = 200;
    Guarded(*db_, busyTimeoutMs_, [&] {
        SqliteDb::Transaction tx(*db_);
        if (last) {
            db_->Prepare("UPDATE runs SET selection_recorded = 1 WHERE id = ?1").Bind(1, run).Run();
        }
        for (size_t first = 0; first < mailboxes.size(); first += kRowsPerStatement) {
            const size_t rows = std::min(kRowsPerStatement, mailboxes.size() - first);
            std::string sql = "INSERT INTO selections (run, mailbox, name) VALUES ";
            for (size_t i = 0; i < rows; ++i) sql += i ? ",(?,?,?)" : "(?,?,?)";
            // The full statement is kept: a large run writes many of them.
            auto insert = rows == kRowsPerStatement ? db_->Cached(sql) : db_->Prepare(sql);
            for (size_t i = 0; i < rows; ++i) {
                const auto& m = mailboxes[first + i];
                const int at = static_cast<int>(i) * 3;
                insert.Bind(at + 1, run).Bind(at + 2, m.mailbox).Bind(at + 3, m.name);
            }
            insert.Run();
        }
        tx.Commit();
    });
}

std::optional<std::vector<SelectedMailbox>> RunHistory::Selection(int64_t run) const {
    return Guarded(*db_, busyTimeoutMs_, [&]() -> std::optional<std::vector<SelectedMailbox>> {
        auto recorded = db_->Prepare("SELECT selection_recorded FROM runs WHERE id = ?1");
        recorded.Bind(1, run);
        if (!recorded.Step() || recorded.Int(0) == 0) return std::nullopt;
        auto q = db_->Prepare("SELECT mailbox, name FROM selections WHERE run = ?1 ORDER BY rowid");
        q.Bind(1, run);
        std::vector<SelectedMailbox> out;
        while (q.Step()) out.push_back({q.Text(0), q.Text(1)});
        return out;
    });
}

bool RunHistory::RecordPutBack(int64_t run, int64_t messages, int64_t at) {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        SqliteDb::Transaction tx(*db_);
        db_->Prepare("UPDATE runs SET put_back = put_back + ?2, put_back_at = ?3 WHERE id = ?1")
            .Bind(1, run)
            .Bind(2, messages)
            .Bind(3, at)
            .Run();
        const bool found = db_->Changes() > 0;
        tx.Commit();
        return found;
    });
}

void RunHistory::RecordFolders(int64_t run, const std::vector<FolderRecord>& folders) {
    if (folders.empty()) return;
    // Many rows per statement: preparing one per folder costs more than
    // writing it.
    constexpr size_t kRowsPerStatement = 64;
    constexpr int kColumns = 8;
    Guarded(*db_, busyTimeoutMs_, [&] {
        SqliteDb::Transaction tx(*db_);
        for (size_t first = 0; first < folders.size(); first += kRowsPerStatement) {
            const size_t rows = std::min(kRowsPerStatement, folders.size() - first);
            std::string sql =
                "INSERT INTO folders (run, mailbox, url, count, bytes, moved, error, name) VALUES ";
            for (size_t i = 0; i < rows; ++i) sql += i ? ",(?,?,?,?,?,?,?,?)" : "(?,?,?,?,?,?,?,?)";
            // The full statement is kept: a large run writes many of them.
            auto insert = rows == kRowsPerStatement ? db_->Cached(sql) : db_->Prepare(sql);
            for (size_t i = 0; i < rows; ++i) {
                const auto& f = folders[first + i];
                const int at = static_cast<int>(i) * kColumns;
                insert.Bind(at + 1, run)
                    .Bind(at + 2, f.mailbox)
                    .Bind(at + 3, f.url)
                    .Bind(at + 4, f.count)
                    .Bind(at + 5, f.bytes)
                    .Bind(at + 6, int64_t{f.moved ? 1 : 0})
                    .Bind(at + 7, f.error)
                    .Bind(at + 8, f.name);
            }
            insert.Run();
        }
        tx.Commit();
    });
}

void RunHistory::EndRun(int64_t run, int64_t ended, const std::string& outcome,
                        const std::string& detail, int64_t mailboxes) {
    Guarded(*db_, busyTimeoutMs_, [&] {
        SqliteDb::Transaction tx(*db_);
        db_->Prepare(
               "UPDATE runs SET ended = ?2, outcome = ?3, detail = ?4, mailboxes = ?5,"
               " deleted = (SELECT COALESCE(SUM(count), 0) FROM folders"
               "  WHERE run = ?1 AND moved = 0),"
               " moved = (SELECT COALESCE(SUM(count), 0) FROM folders WHERE run = ?1 AND moved <> "
               "0),"
               " bytes = (SELECT COALESCE(SUM(bytes), 0) FROM folders WHERE run = ?1),"
               " errors = (SELECT COUNT(*) FROM folders WHERE run = ?1 AND error <> '')"
               " WHERE id = ?1")
            .Bind(1, run)
            .Bind(2, ended)
            .Bind(3, outcome)
            .Bind(4, detail)
            .Bind(5, mailboxes)
            .Run();
        if (db_->Changes() == 0) {
            throw platform::Error(
                err::kNotFound,
                platform::Describe("EndRun", db_->Path(),
                                   "no run " + std::to_string(run) + " (pruned?)", err::kNotFound),
                kSource);
        }
        tx.Commit();
    });
}

std::vector<RunRecord> RunHistory::Runs(size_t limit, const std::string& mailbox) const {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        std::string sql = kRunColumns;
        if (!mailbox.empty()) {
            sql +=
                " WHERE EXISTS (SELECT 1 FROM folders f WHERE f.run = runs.id AND f.mailbox = ?1)";
        }
        sql += " ORDER BY id DESC";
        if (limit > 0) sql += " LIMIT ?2";
        auto q = db_->Prepare(sql.c_str());
        if (!mailbox.empty()) q.Bind(1, mailbox);
        if (limit > 0) q.Bind(2, static_cast<int64_t>(limit));
        return ReadRuns(q);
    });
}

std::optional<RunRecord> RunHistory::Run(int64_t id) const {
    return Guarded(*db_, busyTimeoutMs_, [&]() -> std::optional<RunRecord> {
        auto q = db_->Prepare((std::string(kRunColumns) + " WHERE id = ?1").c_str());
        q.Bind(1, id);
        auto runs = ReadRuns(q);
        if (runs.empty()) return std::nullopt;
        return runs.front();
    });
}

std::vector<FolderRecord> RunHistory::Folders(int64_t run, const std::string& mailbox) const {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        std::string sql =
            "SELECT mailbox, url, count, bytes, moved, error, name FROM folders WHERE run = ?1";
        if (!mailbox.empty()) sql += " AND mailbox = ?2";
        sql += " ORDER BY seq";
        auto q = db_->Prepare(sql.c_str());
        q.Bind(1, run);
        if (!mailbox.empty()) q.Bind(2, mailbox);
        std::vector<FolderRecord> out;
        while (q.Step()) {
            out.push_back(
                {q.Text(0), q.Text(1), q.Int(2), q.Int(3), q.Int(4) != 0, q.Text(5), q.Text(6)});
        }
        return out;
    });
}

std::vector<RunRecord> RunHistory::LastRuns() const {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        auto q = db_->Prepare(
            (std::string(kRunColumns) +
             " WHERE id IN (SELECT MAX(id) FROM runs WHERE ended IS NOT NULL AND outcome <> ?1"
             " GROUP BY item_url) ORDER BY item_url")
                .c_str());
        q.Bind(1, std::string(run_outcome::kNotARunDay));
        return ReadRuns(q);
    });
}

int RunHistory::Prune(int64_t before) {
    return Guarded(*db_, busyTimeoutMs_, [&] {
        SqliteDb::Transaction tx(*db_);
        db_->Prepare("DELETE FROM runs WHERE started < ?1").Bind(1, before).Run();
        const int removed = db_->Changes();
        tx.Commit();
        return removed;
    });
}

}  // namespace localplatform
