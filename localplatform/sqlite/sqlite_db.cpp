#include "localplatform/sqlite/sqlite_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "base/error.h"

namespace localplatform {

namespace {

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

void SqliteDb::Raise(const std::string& operation) const {
    sqlite3* db = db_.get();
    // sqlite3_errmsg is overwritten by the next call: copy it now.
    const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    throw platform::Error(SqliteErrorNumber(code),
                          platform::Describe(operation, path_, reason, code), source_);
}

SqliteDb SqliteDb::Open(const std::string& path, const Options& options) {
    std::error_code ec;
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);

    SqliteDb db;
    db.path_ = path;
    db.source_ = options.source;
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db.db_ = std::unique_ptr<sqlite3, void (*)(sqlite3*)>(raw, CloseDb);
    if (rc != SQLITE_OK) db.Raise("open");
    // Closed to others when it is open to them (a new file gets the umask's
    // mode); the write-ahead log and its index take the file's mode.
    struct stat st {};
    if (options.ownerOnly && stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0 &&
        chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0) {
        throw platform::Error(
            platform::err::kPermissionDenied,
            platform::Describe("chmod", path, "cannot close the file to others", errno),
            options.source);
    }
    sqlite3_busy_timeout(raw, options.busyTimeoutMs);
    if (options.wal) db.Exec("PRAGMA journal_mode=WAL");
    db.Exec("PRAGMA foreign_keys=ON");
    return db;
}

SqliteDb::SqliteDb(SqliteDb&&) noexcept = default;
SqliteDb& SqliteDb::operator=(SqliteDb&&) noexcept = default;
SqliteDb::~SqliteDb() = default;

SqliteDb::Statement SqliteDb::Prepare(const char* sql) const {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &s, nullptr) != SQLITE_OK) Raise("prepare");
    return Statement(this, s);
}

void SqliteDb::Exec(const char* sql) const {
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) Raise("exec");
}

int SqliteDb::Changes() const {
    return sqlite3_changes(db_.get());
}

SqliteDb::Statement::Statement(const SqliteDb* db, sqlite3_stmt* stmt)
    : db_(db), stmt_(stmt, FinalizeStmt) {}
SqliteDb::Statement::Statement(Statement&&) noexcept = default;
SqliteDb::Statement& SqliteDb::Statement::operator=(Statement&&) noexcept = default;
SqliteDb::Statement::~Statement() = default;

SqliteDb::Statement& SqliteDb::Statement::Bind(int index, const std::string& value) {
    if (sqlite3_bind_text(stmt_.get(), index, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        db_->Raise("bind");
    }
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(stmt_.get(), index, value) != SQLITE_OK) db_->Raise("bind");
    return *this;
}

bool SqliteDb::Statement::Step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_->Raise("step");
}

void SqliteDb::Statement::Run() {
    if (sqlite3_step(stmt_.get()) != SQLITE_DONE) db_->Raise("write");
}

std::string SqliteDb::Statement::Text(int column) const {
    const unsigned char* t = sqlite3_column_text(stmt_.get(), column);
    return t ? reinterpret_cast<const char*>(t) : std::string();
}

int64_t SqliteDb::Statement::Int(int column) const {
    return sqlite3_column_int64(stmt_.get(), column);
}

SqliteDb::Transaction::Transaction(const SqliteDb& db) : db_(db) {
    db_.Exec("BEGIN IMMEDIATE");
}

SqliteDb::Transaction::~Transaction() {
    if (!done_) sqlite3_exec(db_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteDb::Transaction::Commit() {
    db_.Exec("COMMIT");
    done_ = true;
}

}  // namespace localplatform
