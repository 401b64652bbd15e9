// An SQLite database file of the local platform shared by several processes
// (the item store, the class registry, the component catalog, the run
// history): statements with bound values only, prepared once and kept where
// they are run often, immediate transactions with savepoints inside them, a
// bounded wait for other writers. Failures raise platform::Error phrased
// "operation(path) failed: reason (code)"; a database still busy after the
// wait raises err::kResourceLocked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

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
        int busyTimeoutMs = 10000;     // how long other writers are waited for
        bool wal = false;              // write-ahead log: readers never wait for writers
        bool ownerOnly = false;        // an existing file open to others is closed to them
        bool warnOthersRead = false;   // an existing file others may read is warned about
        bool create = true;            // make the file and its folder when missing
        bool readOnly = false;         // never write the file (create is then ignored)
        std::string source;            // the Source of raised errors ("ClassRegistry")
        std::string opening = "open";  // the operation an open failure names
        // A new file gets this mode whatever the umask (its write-ahead log
        // and index take the file's mode and owner); made by root among
        // another account's files, it is that account's.
        unsigned newMode = 0600;
    };

    // Opens the database at path, never through a link; raises as described
    // above, naming the operation options.opening.
    static SqliteDb Open(const std::string& path, const Options& options);

    SqliteDb(SqliteDb&&) noexcept;
    SqliteDb& operator=(SqliteDb&&) noexcept;
    ~SqliteDb();

    // A prepared statement; values are bound by 1-based index. A statement
    // from Prepare is finalized when it goes; one from Cached is reset and
    // its values cleared, and stays with the database for the next use.
    class Statement {
    public:
        Statement(Statement&&) noexcept;
        Statement& operator=(Statement&&) noexcept;
        ~Statement();

        Statement& Bind(int index, const std::string& value);
        Statement& Bind(int index, int64_t value);
        Statement& Bind(int index, double value);
        Statement& BindBlob(int index, const std::string& bytes);
        Statement& BindNull(int index);
        // Runs to the next row: true on a row, false when done.
        bool Step();
        // Runs the statement through every row it returns.
        void Run();
        // Back to before its first step, its values cleared: to run again.
        void Reset();
        [[nodiscard]] bool IsNull(int column) const;
        // The column's bytes (a text or a blob), whole, NUL bytes included.
        [[nodiscard]] std::string Text(int column) const;
        [[nodiscard]] int64_t Int(int column) const;
        [[nodiscard]] double Real(int column) const;

    private:
        friend class SqliteDb;
        Statement(const SqliteDb* db, sqlite3_stmt* stmt, bool cached);
        const SqliteDb* db_;
        sqlite3_stmt* stmt_;
        bool cached_;
    };

    [[nodiscard]] Statement Prepare(const std::string& sql) const;
    // The statement of this SQL text, prepared at its first use and kept
    // until the database closes. One user at a time: a cached statement is
    // not to be asked for again while it is still in use.
    [[nodiscard]] Statement Cached(const std::string& sql) const;
    // Runs SQL text without values (schema, pragmas, transaction control);
    // a failure names the text's first line as the operation.
    void Exec(const std::string& sql) const;
    // Runs SQL text ignoring failure: only for undoing (a rollback) on the
    // way out of a failure.
    void ExecQuietly(const char* sql) const noexcept;
    // A blob read or written piece by piece (sqlite3_blob_*), so that a
    // large one is never whole in memory: the blob of column in the row
    // rowid of table. ReadBlob gives take each piece of at most piece bytes
    // and returns false when there is no such row (or the value is not a
    // blob); WriteBlob overwrites the blob from its start with what produce
    // hands its sink (the blob has its size already: zeroblob(N)), inside
    // the caller's transaction. Both raise as the statements do.
    using BlobSink = std::function<void(const char*, size_t)>;
    bool ReadBlob(const char* table, const char* column, int64_t rowid, size_t piece,
                  const BlobSink& take) const;
    void WriteBlob(const char* table, const char* column, int64_t rowid,
                   const std::function<void(const BlobSink&)>& produce) const;
    // Rows changed by the last statement.
    [[nodiscard]] int Changes() const;
    // The rowid of the last row inserted.
    [[nodiscard]] int64_t LastInsertId() const;
    // Whether a transaction is open (an explicit one, or a statement's).
    [[nodiscard]] bool InTransaction() const;
    // Whether the open transaction is one that writes (BEGIN IMMEDIATE, or
    // one that has written).
    [[nodiscard]] bool InWriteTransaction() const;
    // Moves on when a statement of this connection changes a row and when
    // a transaction of it that writes ends (committed or rolled back) or
    // rolls back to a savepoint. Nobody else writes while it holds such a
    // transaction, so what it read there holds while this stays the same.
    // (A transaction that only read ends unseen.)
    [[nodiscard]] uint64_t ViewSerial() const;
    [[nodiscard]] const std::string& Path() const { return path_; }

    // Makes a group of statements atomic: BEGIN IMMEDIATE on construction
    // when no transaction is open (the write lock is taken up front, so a
    // busy database is waited for), else a savepoint inside the open one.
    // Rolled back on destruction unless committed, so a failing step leaves
    // the database as it was.
    class Transaction {
    public:
        explicit Transaction(const SqliteDb& db);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        const SqliteDb& db_;
        bool top_ = false;
        bool done_ = false;
        std::string savepoint_;
    };

    // The time a run of statements may spend waiting for a busy database in
    // all, shared by the databases that point to it (one thread's run). It
    // is filled at the first wait after it was made or reset.
    struct BusyBudget {
        bool started = false;
        int64_t leftMs = 0;
    };
    // How a statement waits for a busy database: in growing steps, at most
    // statementMs, and (with a budget) at most what is left of budget, which
    // starts at budgetMs. An error raised because the budget ended the wait
    // adds spentNote to its reason.
    struct BusyWait {
        int statementMs = 10000;
        BusyBudget* budget = nullptr;
        int64_t budgetMs = 0;
        std::string spentNote;
    };
    void SetBusyWait(const BusyWait& wait);

    // Raises the error of the last call on this database.
    [[noreturn]] void Raise(const std::string& operation) const;

    // The state of a wait for a busy database; defined in sqlite_db.cpp.
    struct Waiting;

private:
    SqliteDb();
    // Declared first, so that it outlives the connection whose busy handler
    // points to it; the cached statements go before the connection.
    std::unique_ptr<Waiting> waiting_;
    // Transactions ended, counted by the connection's hooks (its own place,
    // which a move leaves where it is).
    std::unique_ptr<uint64_t> transactionsEnded_;
    std::unique_ptr<sqlite3, void (*)(sqlite3*)> db_{nullptr, nullptr};
    mutable std::unordered_map<std::string, std::unique_ptr<sqlite3_stmt, void (*)(sqlite3_stmt*)>>
        cache_;
    mutable int savepoints_ = 0;
    std::string path_;
    std::string source_;
};

}  // namespace localplatform
