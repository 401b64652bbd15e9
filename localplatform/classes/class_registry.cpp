#include "localplatform/classes/class_registry.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "base/error.h"
#include "localplatform/config/platform_config.h"

namespace localplatform {

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtCloser {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtCloser>;

// Writers of other processes are waited for this long before a call fails.
constexpr int kBusyTimeoutMs = 10000;

[[noreturn]] void Raise(sqlite3* db, const std::string& operation, const std::string& object) {
    // sqlite3_errmsg is overwritten by the next call: copy it now.
    const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    const int32_t number = (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED
                               ? platform::err::kResourceLocked
                               : platform::err::kFail;
    throw platform::Error(number, platform::Describe(operation, object, reason, code),
                          "ClassRegistry");
}

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string Column(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? reinterpret_cast<const char*>(t) : std::string();
}

}  // namespace

struct ClassRegistry::Db {
    DbPtr db;
    std::string path;

    StmtPtr Prepare(const char* sql) const {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db.get(), sql, -1, &s, nullptr) != SQLITE_OK) {
            Raise(db.get(), "prepare", path);
        }
        return StmtPtr(s);
    }
    void Bind(sqlite3_stmt* s, int i, const std::string& v) const {
        if (sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK) {
            Raise(db.get(), "bind", path);
        }
    }
    void Exec(const char* sql) const {
        if (sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            Raise(db.get(), "exec", path);
        }
    }
    std::vector<ClassRow> Query(sqlite3_stmt* s) const {
        std::vector<ClassRow> rows;
        for (;;) {
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) Raise(db.get(), "read", path);
            rows.push_back({Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3)});
        }
        return rows;
    }
    void Step(sqlite3_stmt* s) const {
        if (sqlite3_step(s) != SQLITE_DONE) Raise(db.get(), "write", path);
    }
};

ClassRegistry::ClassRegistry(std::unique_ptr<Db> db) : db_(std::move(db)) {}
ClassRegistry::ClassRegistry(ClassRegistry&&) noexcept = default;
ClassRegistry& ClassRegistry::operator=(ClassRegistry&&) noexcept = default;
ClassRegistry::~ClassRegistry() = default;

ClassRegistry ClassRegistry::Open(const std::string& path) {
    std::error_code ec;
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);

    auto db = std::make_unique<Db>();
    db->path = path;
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db->db.reset(raw);
    if (rc != SQLITE_OK) Raise(raw, "open", path);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    db->Exec(
        "CREATE TABLE IF NOT EXISTS classes ("
        " clsid TEXT PRIMARY KEY COLLATE NOCASE,"
        " progid TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " module TEXT NOT NULL,"
        " threading TEXT NOT NULL)");
    return ClassRegistry(std::move(db));
}

ClassRegistry ClassRegistry::OpenCurrent() {
    return Open(PlatformConfig::Current().ClassesPath());
}

void ClassRegistry::Register(const ClassRow& row) {
    if (row.progId.empty() || row.clsid.empty() || row.modulePath.empty()) {
        throw platform::Error(
            platform::err::kInvalidArg,
            platform::Describe("ClassRegistry.Register", row.progId,
                               "ProgID, class identifier and module are required", 0));
    }
    // One transaction: the ProgID leaves any other class and the row is
    // written, or neither happens.
    db_->Exec("BEGIN IMMEDIATE");
    try {
        auto del = db_->Prepare("DELETE FROM classes WHERE progid = ?1 OR clsid = ?2");
        db_->Bind(del.get(), 1, row.progId);
        db_->Bind(del.get(), 2, Upper(row.clsid));
        db_->Step(del.get());
        auto ins = db_->Prepare(
            "INSERT INTO classes (clsid, progid, module, threading) VALUES (?1, ?2, ?3, ?4)");
        db_->Bind(ins.get(), 1, Upper(row.clsid));
        db_->Bind(ins.get(), 2, row.progId);
        db_->Bind(ins.get(), 3, row.modulePath);
        db_->Bind(ins.get(), 4, row.threadingModel);
        db_->Step(ins.get());
        db_->Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

bool ClassRegistry::Unregister(const std::string& clsid) {
    auto del = db_->Prepare("DELETE FROM classes WHERE clsid = ?1");
    db_->Bind(del.get(), 1, Upper(clsid));
    db_->Step(del.get());
    return sqlite3_changes(db_->db.get()) > 0;
}

std::optional<ClassRow> ClassRegistry::FindByProgId(const std::string& progId) const {
    auto q = db_->Prepare("SELECT progid, clsid, module, threading FROM classes WHERE progid = ?1");
    db_->Bind(q.get(), 1, progId);
    auto rows = db_->Query(q.get());
    if (rows.empty()) return std::nullopt;
    return rows.front();
}

std::optional<ClassRow> ClassRegistry::FindByClsid(const std::string& clsid) const {
    auto q = db_->Prepare("SELECT progid, clsid, module, threading FROM classes WHERE clsid = ?1");
    db_->Bind(q.get(), 1, Upper(clsid));
    auto rows = db_->Query(q.get());
    if (rows.empty()) return std::nullopt;
    return rows.front();
}

std::vector<ClassRow> ClassRegistry::List() const {
    auto q = db_->Prepare("SELECT progid, clsid, module, threading FROM classes ORDER BY progid");
    return db_->Query(q.get());
}

}  // namespace localplatform
