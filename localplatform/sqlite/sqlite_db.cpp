#include "localplatform/sqlite/sqlite_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/file_safety.h"
#include "base/unique_fd.h"

namespace localplatform {

namespace {

void WarnOthersRead(const std::string& path, const std::string& source) {
    const std::string line = "quellix: warning: " + source + " " + path +
                             ": others may read this file; chmod o-rwx it\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

void CloseDb(sqlite3* db) {
    sqlite3_close_v2(db);
}
void FinalizeStmt(sqlite3_stmt* s) {
    sqlite3_finalize(s);
}

}  // namespace

int32_t SqliteErrorNumber(int resultCode) {
    namespace err = platform::err;
    switch (resultCode & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return err::kResourceLocked;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return err::kCorrupt;
        case SQLITE_CONSTRAINT:
            return err::kResourceExists;
        case SQLITE_NOMEM:
            return err::kOutOfMemory;
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_IOERR:
        case SQLITE_FULL:
            return err::kPathFileAccess;
        default:
            return err::kFail;
    }
}

struct SqliteDb::Waiting {
    BusyWait wait;
    std::chrono::steady_clock::time_point since;  // the current statement's first wait
    bool budgetSpent = false;                     // the last wait ended on the budget
};

namespace {

// The busy handler: sleeps in growing steps while the database is busy,
// until the statement has waited its time or the run's budget is spent.
int WaitWhileBusy(void* arg, int count) {
    static constexpr std::array<int, 12> kDelays = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    auto* w = static_cast<SqliteDb::Waiting*>(arg);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) {
        w->since = now;
        w->budgetSpent = false;
    }
    const int64_t waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - w->since).count();
    const int64_t statementMs = w->wait.statementMs;
    if (waited >= statementMs) return 0;
    int64_t step =
        std::min<int64_t>(kDelays[std::min<size_t>(static_cast<size_t>(count), kDelays.size() - 1)],
                          statementMs - waited);
    if (SqliteDb::BusyBudget* budget = w->wait.budget) {
        if (!budget->started) {
            budget->leftMs = w->wait.budgetMs;
            budget->started = true;
        }
        if (budget->leftMs <= 0) {
            w->budgetSpent = true;
            return 0;
        }
        step = std::min(step, budget->leftMs);
        budget->leftMs -= step;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    return 1;
}

// The hooks that count a connection's transactions as they end.
int CountCommit(void* ended) {
    ++*static_cast<uint64_t*>(ended);
    return 0;  // let the commit go on
}

void CountRollback(void* ended) {
    ++*static_cast<uint64_t*>(ended);
}

}  // namespace

void SqliteDb::Raise(const std::string& operation) const {
    sqlite3* db = db_.get();
    // sqlite3_errmsg is overwritten by the next call: copy it now.
    std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    if ((code & 0xff) == SQLITE_BUSY && waiting_->budgetSpent) reason += waiting_->wait.spentNote;
    waiting_->budgetSpent = false;
    throw platform::Error(SqliteErrorNumber(code),
                          platform::Describe(operation, path_, reason, code), source_);
}

SqliteDb::SqliteDb()
    : waiting_(std::make_unique<Waiting>()), transactionsEnded_(std::make_unique<uint64_t>(0)) {}

SqliteDb SqliteDb::Open(const std::string& path, const Options& options) {
    // SQLite refuses a link at the database's own name; the files it opens
    // beside it (the write-ahead log, its index, a rollback journal) are
    // looked at here: a link or anything but a regular file there is refused
    // before SQLite could write through it.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        const std::string beside = path + suffix;
        struct stat st {};
        if (lstat(beside.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            throw platform::Error(
                platform::err::kPermissionDenied,
                platform::Describe(options.opening, beside,
                                   S_ISLNK(st.st_mode) ? "a link beside the database"
                                                       : "not a regular file beside the database",
                                   EPERM),
                options.source);
        }
    }
    const bool create = options.create && !options.readOnly;
    if (create) {
        std::error_code ec;
        const auto parent = std::filesystem::path(path).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
        // Made here, empty, with its mode and owner settled, before SQLite
        // writes a byte into it: never a moment open to others.
        if (!platform::CreateSettledFile(path, options.newMode) && options.warnOthersRead &&
            platform::OthersMayRead(path).value_or(false)) {
            WarnOthersRead(path, options.source);
        }
    } else if (options.warnOthersRead && platform::OthersMayRead(path).value_or(false)) {
        WarnOthersRead(path, options.source);
    }

    SqliteDb db;
    db.path_ = path;
    db.source_ = options.source;
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(
        path.c_str(), &raw,
        (options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX |
            SQLITE_OPEN_NOFOLLOW | (create ? SQLITE_OPEN_CREATE : 0),
        nullptr);
    db.db_ = std::unique_ptr<sqlite3, void (*)(sqlite3*)>(raw, CloseDb);  // owned even on failure
    if (rc != SQLITE_OK) db.Raise(options.opening);
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_commit_hook(raw, &CountCommit, db.transactionsEnded_.get());
    sqlite3_rollback_hook(raw, &CountRollback, db.transactionsEnded_.get());
    // Closed to others when it is open to them, through a descriptor of the
    // file itself (never a link's target); the write-ahead log and its index
    // take the file's mode.
    struct stat st {};
    if (options.ownerOnly && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & 077) != 0) {
        const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.IsOpen() || fchmod(fd.Get(), S_IRUSR | S_IWUSR) != 0) {
            throw platform::Error(
                platform::err::kPermissionDenied,
                platform::Describe("chmod", path, "cannot close the file to others", errno),
                options.source);
        }
    }
    BusyWait wait;
    wait.statementMs = options.busyTimeoutMs;
    db.SetBusyWait(wait);
    if (options.wal && !options.readOnly) db.Exec("PRAGMA journal_mode=WAL");
    db.Exec("PRAGMA foreign_keys=ON");
    return db;
}

SqliteDb::SqliteDb(SqliteDb&&) noexcept = default;
SqliteDb& SqliteDb::operator=(SqliteDb&& other) noexcept {
    // Swapped, so that the old connection closes with other, its cached
    // statements first and its busy state last.
    std::swap(waiting_, other.waiting_);
    std::swap(transactionsEnded_, other.transactionsEnded_);
    std::swap(db_, other.db_);
    std::swap(cache_, other.cache_);
    std::swap(savepoints_, other.savepoints_);
    std::swap(path_, other.path_);
    std::swap(source_, other.source_);
    return *this;
}
SqliteDb::~SqliteDb() = default;

void SqliteDb::SetBusyWait(const BusyWait& wait) {
    waiting_->wait = wait;
    sqlite3_busy_handler(db_.get(), &WaitWhileBusy, waiting_.get());
}

SqliteDb::Statement SqliteDb::Prepare(const std::string& sql) const {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        Raise("prepare");
    }
    return Statement(this, s, false);
}

SqliteDb::Statement SqliteDb::Cached(const std::string& sql) const {
    auto& slot = cache_.try_emplace(sql, nullptr, FinalizeStmt).first->second;
    if (!slot) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db_.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s,
                               nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            cache_.erase(sql);
            Raise("prepare");
        }
        slot.reset(s);
    }
    return Statement(this, slot.get(), true);
}

void SqliteDb::Exec(const std::string& sql) const {
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        Raise(sql.substr(0, sql.find('\n')));
}

void SqliteDb::ExecQuietly(const char* sql) const noexcept {
    sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
}

namespace {

// An open blob handle, closed when it goes.
struct BlobHandle {
    sqlite3_blob* blob = nullptr;
    BlobHandle() = default;
    BlobHandle(const BlobHandle&) = delete;
    BlobHandle& operator=(const BlobHandle&) = delete;
    ~BlobHandle() {
        if (blob != nullptr) sqlite3_blob_close(blob);
    }
};

}  // namespace

bool SqliteDb::ReadBlob(const char* table, const char* column, int64_t rowid, size_t piece,
                        const BlobSink& take) const {
    BlobHandle h;
    const int rc = sqlite3_blob_open(db_.get(), "main", table, column, rowid, 0, &h.blob);
    if (rc == SQLITE_ERROR) return false;  // no such row, or no blob in it
    if (rc != SQLITE_OK) Raise("read blob");
    const int size = sqlite3_blob_bytes(h.blob);
    std::vector<char> buf(std::min(piece, static_cast<size_t>(size > 0 ? size : 1)));
    for (int at = 0; at < size;) {
        const int n = std::min(static_cast<int>(buf.size()), size - at);
        if (sqlite3_blob_read(h.blob, buf.data(), n, at) != SQLITE_OK) Raise("read blob");
        take(buf.data(), static_cast<size_t>(n));
        at += n;
    }
    return true;
}

void SqliteDb::WriteBlob(const char* table, const char* column, int64_t rowid,
                         const std::function<void(const BlobSink&)>& produce) const {
    BlobHandle h;
    if (sqlite3_blob_open(db_.get(), "main", table, column, rowid, 1, &h.blob) != SQLITE_OK)
        Raise("write blob");
    const int size = sqlite3_blob_bytes(h.blob);
    int at = 0;
    produce([&](const char* data, size_t n) {
        if (n > static_cast<size_t>(size - at)) {
            throw platform::Error(
                platform::err::kFail,
                platform::Describe("write blob", path_, "more bytes than the blob was made for",
                                   platform::err::kFail));
        }
        if (sqlite3_blob_write(h.blob, data, static_cast<int>(n), at) != SQLITE_OK)
            Raise("write blob");
        at += static_cast<int>(n);
    });
    if (at != size) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe("write blob", path_, "fewer bytes than the blob was made for",
                               platform::err::kFail));
    }
}

int SqliteDb::Changes() const {
    return sqlite3_changes(db_.get());
}

int64_t SqliteDb::LastInsertId() const {
    return sqlite3_last_insert_rowid(db_.get());
}

bool SqliteDb::InTransaction() const {
    return sqlite3_get_autocommit(db_.get()) == 0;
}

bool SqliteDb::InWriteTransaction() const {
    return sqlite3_txn_state(db_.get(), nullptr) == SQLITE_TXN_WRITE;
}

uint64_t SqliteDb::ViewSerial() const {
    // Both counts only grow, so their sum moves when either does.
    return *transactionsEnded_ + static_cast<uint64_t>(sqlite3_total_changes64(db_.get()));
}

SqliteDb::Statement::Statement(const SqliteDb* db, sqlite3_stmt* stmt, bool cached)
    : db_(db), stmt_(stmt), cached_(cached) {}

SqliteDb::Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)), cached_(other.cached_) {}

SqliteDb::Statement& SqliteDb::Statement::operator=(Statement&& other) noexcept {
    std::swap(db_, other.db_);
    std::swap(stmt_, other.stmt_);
    std::swap(cached_, other.cached_);
    return *this;
}

SqliteDb::Statement::~Statement() {
    if (stmt_ == nullptr) return;
    if (cached_) {
        Reset();
    } else {
        sqlite3_finalize(stmt_);
    }
}

SqliteDb::Statement& SqliteDb::Statement::Bind(int index, const std::string& value) {
    if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        db_->Raise("bind");
    }
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_->Raise("bind");
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::Bind(int index, double value) {
    if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) db_->Raise("bind");
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::BindBlob(int index, const std::string& bytes) {
    if (sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        db_->Raise("bind");
    }
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::BindNull(int index) {
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_->Raise("bind");
    return *this;
}

bool SqliteDb::Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_->Raise("step");
}

void SqliteDb::Statement::Run() {
    while (Step()) {
    }
}

void SqliteDb::Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool SqliteDb::Statement::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string SqliteDb::Statement::Text(int column) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
}

int64_t SqliteDb::Statement::Int(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

double SqliteDb::Statement::Real(int column) const {
    return sqlite3_column_double(stmt_, column);
}

SqliteDb::Transaction::Transaction(const SqliteDb& db) : db_(db) {
    if (!db_.InTransaction()) {
        db_.Exec("BEGIN IMMEDIATE");
        top_ = true;
        return;
    }
    savepoint_ = "quellix_sp" + std::to_string(++db_.savepoints_);
    try {
        // Prepared once per depth: a run opens one for every message it
        // moves.
        db_.Cached("SAVEPOINT " + savepoint_).Run();
    } catch (...) {
        --db_.savepoints_;
        throw;
    }
}

SqliteDb::Transaction::~Transaction() {
    if (done_) return;
    if (top_) {
        db_.ExecQuietly("ROLLBACK");
    } else {
        // No hook sees a savepoint rolled back; rows it took back may have
        // been read since they were changed.
        ++*db_.transactionsEnded_;
        db_.ExecQuietly(("ROLLBACK TO " + savepoint_).c_str());
        db_.ExecQuietly(("RELEASE " + savepoint_).c_str());
        --db_.savepoints_;
    }
}

void SqliteDb::Transaction::Commit() {
    if (top_) {
        db_.Exec("COMMIT");
    } else {
        db_.Cached("RELEASE " + savepoint_).Run();
    }
    if (!top_) --db_.savepoints_;
    done_ = true;
}

}  // namespace localplatform
