// A small SQLite database file of the local platform shared by several
// processes (the class registry, the component catalog): statements with
// bound values only, immediate transactions, a bounded wait for other
// writers. Failures raise platform::Error phrased
// "operation(path) failed: reason (code)"; a database still busy after the
// wait raises err::kResourceLocked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace localplatform {

// The platform's error number for an SQLite result code, the same for every
// database of the platform: busy or locked -> err::kResourceLocked, corrupt
// or not a database -> err::kCorrupt, a constraint -> err::kResourceExists,
// out of memory -> err::kOutOfMemory, a file that cannot be opened, read,
// written or grown -> err::kPathFileAccess, anything else -> err::kFail.
[[nodiscard]] int32_t SqliteErrorNumber(int resultCode);

class SqliteDb {
public:
    struct Options {
        int busyTimeoutMs = 10000;  // how long other writers are waited for
        bool wal = false;           // write-ahead log: readers never wait for writers
        bool ownerOnly = false;     // file mode 0600: the file holds secrets
        std::string source;         // the Source of raised errors ("ClassRegistry")
    };

    // Opens (creating it and its folder when missing) the database at path.
    static SqliteDb Open(const std::string& path, const Options& options);

    SqliteDb(SqliteDb&&) noexcept;
    SqliteDb& operator=(SqliteDb&&) noexcept;
    ~SqliteDb();

    // A prepared statement; values are bound by 1-based index.
    class Statement {
    public:
        Statement(Statement&&) noexcept;
        Statement& operator=(Statement&&) noexcept;
        ~Statement();

        Statement& Bind(int index, const std::string& value);
        Statement& Bind(int index, int64_t value);
        // Runs to the next row: true on a row, false when done.
        bool Step();
        // Runs a statement that returns no row.
        void Run();
        [[nodiscard]] std::string Text(int column) const;
        [[nodiscard]] int64_t Int(int column) const;

    private:
        friend class SqliteDb;
        Statement(const SqliteDb* db, sqlite3_stmt* stmt);
        const SqliteDb* db_;
        std::unique_ptr<sqlite3_stmt, void (*)(sqlite3_stmt*)> stmt_;
    };

    [[nodiscard]] Statement Prepare(const char* sql) const;
    // Runs SQL text without values (schema, pragmas).
    void Exec(const char* sql) const;
    // Rows changed by the last statement.
    [[nodiscard]] int Changes() const;
    [[nodiscard]] const std::string& Path() const { return path_; }

    // BEGIN IMMEDIATE on construction; rolled back on destruction unless
    // committed, so a failing step leaves the database as it was.
    class Transaction {
    public:
        explicit Transaction(const SqliteDb& db);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        const SqliteDb& db_;
        bool done_ = false;
    };

    // Raises the error of the last call on this database.
    [[noreturn]] void Raise(const std::string& operation) const;

private:
    SqliteDb() = default;
    std::unique_ptr<sqlite3, void (*)(sqlite3*)> db_{nullptr, nullptr};
    std::string path_;
    std::string source_;
};

}  // namespace localplatform
