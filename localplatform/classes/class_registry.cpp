#include "localplatform/classes/class_registry.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/sqlite/sqlite_db.h"

namespace localplatform {

namespace {

// Writers of other processes are waited for this long before a call fails.
constexpr int kBusyTimeoutMs = 10000;

std::vector<ClassRow> Rows(SqliteDb::Statement& s) {
    std::vector<ClassRow> rows;
    while (s.Step()) rows.push_back({s.Text(0), s.Text(1), s.Text(2), s.Text(3)});
    return rows;
}

}  // namespace

struct ClassRegistry::Db {
    SqliteDb db;
};

ClassRegistry::ClassRegistry(std::unique_ptr<Db> db) : db_(std::move(db)) {}
ClassRegistry::ClassRegistry(ClassRegistry&&) noexcept = default;
ClassRegistry& ClassRegistry::operator=(ClassRegistry&&) noexcept = default;
ClassRegistry::~ClassRegistry() = default;

ClassRegistry ClassRegistry::Open(const std::string& path, bool create) {
    struct stat st {};
    const bool inMemory = !create && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
    auto db = std::make_unique<Db>(
        Db{SqliteDb::Open(inMemory ? ":memory:" : path, {.busyTimeoutMs = kBusyTimeoutMs,
                                                         .wal = false,
                                                         .ownerOnly = false,
                                                         .create = create,
                                                         .source = "ClassRegistry",
                                                         .opening = "open",
                                                         .newMode = 0644})});
    db->db.Exec(
        "CREATE TABLE IF NOT EXISTS classes ("
        " clsid TEXT PRIMARY KEY COLLATE NOCASE,"
        " progid TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " module TEXT NOT NULL,"
        " threading TEXT NOT NULL)");
    return ClassRegistry(std::move(db));
}

ClassRegistry ClassRegistry::OpenCurrent(bool create) {
    return Open(PlatformConfig::Current().ClassesPath(), create);
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
    SqliteDb::Transaction tx(db_->db);
    db_->db.Prepare("DELETE FROM classes WHERE progid = ?1 OR clsid = ?2")
        .Bind(1, row.progId)
        .Bind(2, platform::Upper(row.clsid))
        .Run();
    db_->db
        .Prepare("INSERT INTO classes (clsid, progid, module, threading) VALUES (?1, ?2, ?3, ?4)")
        .Bind(1, platform::Upper(row.clsid))
        .Bind(2, row.progId)
        .Bind(3, row.modulePath)
        .Bind(4, row.threadingModel)
        .Run();
    tx.Commit();
}

bool ClassRegistry::Unregister(const std::string& clsid) {
    db_->db.Prepare("DELETE FROM classes WHERE clsid = ?1").Bind(1, platform::Upper(clsid)).Run();
    return db_->db.Changes() > 0;
}

std::optional<ClassRow> ClassRegistry::FindByProgId(const std::string& progId) const {
    auto q =
        db_->db.Prepare("SELECT progid, clsid, module, threading FROM classes WHERE progid = ?1");
    q.Bind(1, progId);
    auto rows = Rows(q);
    if (rows.empty()) return std::nullopt;
    return rows.front();
}

std::optional<ClassRow> ClassRegistry::FindByClsid(const std::string& clsid) const {
    auto q =
        db_->db.Prepare("SELECT progid, clsid, module, threading FROM classes WHERE clsid = ?1");
    q.Bind(1, platform::Upper(clsid));
    auto rows = Rows(q);
    if (rows.empty()) return std::nullopt;
    return rows.front();
}

std::vector<ClassRow> ClassRegistry::List() const {
    auto q =
        db_->db.Prepare("SELECT progid, clsid, module, threading FROM classes ORDER BY progid");
    return Rows(q);
}

}  // namespace localplatform
