// The item store's own floor for a run: what SQLite alone does to delete
// the expired messages of every mailbox's FOLDER from the store the way a
// run must, folder by folder, with nothing of the run around it (no
// directory, no URLs, no query text, no log, report or history).
//
//   store_floor STORE_DB CUTOFF [FOLDER]
//
// Per mailbox in the order of their names: the run's SQL for the folder's
// expired messages (through the index by received time), then one DELETE
// per row, as the run deletes the rows its query returned. Writes are
// committed every 100 ms, as the run's batches are, with the store's
// journal settings (WAL, synchronous NORMAL, a checkpoint every 256 MiB of
// log, a page cache of 4 MiB, pages freed whole left as they are:
// secure_delete FAST); the timed process includes the last checkpoint,
// done by the close.
//
// Written against SQLite's C interface, as the store is, so that what it
// costs is SQLite's and the file system's: driven from an interpreter, the
// same statements cost a fifth more, all of it the interpreter's.
// Prints: folders=N deleted=N txn_s=S close_s=S
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "usage: store_floor STORE_DB CUTOFF [FOLDER]\n";
constexpr double kBatchSeconds = 0.1;
constexpr int64_t kCheckpointBytes = int64_t{256} << 20;
constexpr int kCacheKiB = 4096;
constexpr int kKindItem = 0;
constexpr int kKindMailbox = 4;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;
using Stmt = std::unique_ptr<sqlite3_stmt, Finalize>;

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const std::string& sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db, sql);
}

Stmt Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) Fail(db, sql);
    return Stmt(s);
}

// Steps s once; true with a row, false when done.
bool Step(sqlite3* db, sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail(db, sqlite3_sql(s));
    return false;
}

int64_t OneInt(sqlite3* db, const std::string& sql) {
    Stmt s = Prepare(db, sql);
    return Step(db, s.get()) ? sqlite3_column_int64(s.get(), 0) : 0;
}

bool HasColumn(sqlite3* db, const std::string& table, const std::string& column) {
    Stmt s = Prepare(db, "PRAGMA table_info(" + table + ")");
    while (Step(db, s.get())) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1));
        if (name != nullptr && column == name) return true;
    }
    return false;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

int Run(const std::string& path, int64_t cutoff, const std::string& folder) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    Db db(raw);
    if (opened != SQLITE_OK) Fail(db.get(), "open " + path);
    Exec(db.get(), "PRAGMA journal_mode=WAL");
    Exec(db.get(), "PRAGMA synchronous=NORMAL");
    Exec(db.get(), "PRAGMA cache_size=-" + std::to_string(kCacheKiB));
    Exec(db.get(), "PRAGMA secure_delete=FAST");
    const int64_t page = OneInt(db.get(), "PRAGMA page_size");
    Exec(db.get(), "PRAGMA wal_autocheckpoint=" + std::to_string(kCheckpointBytes / page));
    const std::string size = HasColumn(db.get(), "items", "content_size")
                                 ? "coalesce(content_size, length(content))"
                                 : "length(content)";
    const std::string select =
        "SELECT id, parent, name, kind, hidden, content_class, created, modified, received,"
        " has_props, " +
        size +
        " FROM items WHERE parent = ?1 AND (hidden = 0 AND (kind <> 0) = 0 AND received <= ?2)";
    Stmt rows = Prepare(db.get(), select);
    Stmt del = Prepare(db.get(), "DELETE FROM items WHERE id = ?1 AND kind = ?2");

    std::vector<int64_t> folders;
    {
        Stmt s = Prepare(db.get(),
                         "SELECT f.id FROM items m JOIN items f ON f.parent = m.id AND f.key = ?1"
                         " WHERE m.kind = ?2 ORDER BY m.key");
        const std::string key = Lower(folder);
        sqlite3_bind_text(s.get(), 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(s.get(), 2, kKindMailbox);
        while (Step(db.get(), s.get())) folders.push_back(sqlite3_column_int64(s.get(), 0));
    }

    const auto start = Clock::now();
    int64_t deleted = 0;
    std::vector<int64_t> ids;
    Exec(db.get(), "BEGIN IMMEDIATE");
    auto batchStart = Clock::now();
    for (const int64_t f : folders) {
        // The rows are read whole before the first delete, as the run's
        // query hands them over.
        ids.clear();
        sqlite3_bind_int64(rows.get(), 1, f);
        sqlite3_bind_int64(rows.get(), 2, cutoff);
        while (Step(db.get(), rows.get())) ids.push_back(sqlite3_column_int64(rows.get(), 0));
        sqlite3_reset(rows.get());
        for (const int64_t id : ids) {
            sqlite3_bind_int64(del.get(), 1, id);
            sqlite3_bind_int(del.get(), 2, kKindItem);
            Step(db.get(), del.get());
            sqlite3_reset(del.get());
            ++deleted;
        }
        if (SecondsSince(batchStart) >= kBatchSeconds) {
            Exec(db.get(), "COMMIT");
            Exec(db.get(), "BEGIN IMMEDIATE");
            batchStart = Clock::now();
        }
    }
    Exec(db.get(), "COMMIT");
    const double txn = SecondsSince(start);
    rows.reset();
    del.reset();
    // The last connection: the close checkpoints the log into the store.
    const auto closing = Clock::now();
    if (sqlite3_close(db.release()) != SQLITE_OK) throw std::runtime_error("close " + path);
    std::printf("folders=%zu deleted=%lld txn_s=%.3f close_s=%.3f\n", folders.size(),
                static_cast<long long>(deleted), txn, SecondsSince(closing));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3 && argc != 4) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    char* end = nullptr;
    const long long cutoff = std::strtoll(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0') {
        std::fprintf(stderr, "store_floor: CUTOFF is not a whole number of seconds: %s\n", argv[2]);
        return 2;
    }
    try {
        return Run(argv[1], cutoff, argc == 4 ? argv[3] : "Junk");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "store_floor: %s: %s\n", argv[1], e.what());
        return 1;
    }
}
