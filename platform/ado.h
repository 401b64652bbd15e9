// The data-access objects through which the system reaches the item store and
// the directory, shaped like the platform's ADO objects so that calling code
// reads like its description: a Connection chooses the provider
// ("exoledb.datasource" for the store, "adsDSOobject" for the directory),
// Records open single items by URL, Recordsets hold query results.
//
// Every failure raises platform::Error with a number and a description; where
// ADO or OLE DB document a code for the condition, that code is used (a URL
// that names no item raises err::kNotFound). Objects are movable, not
// copyable; closing an object that is not open is harmless.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/variant.h"

namespace platform {

// ObjectStateEnum
constexpr int32_t adStateClosed = 0;
constexpr int32_t adStateOpen = 1;
// ConnectModeEnum
constexpr int32_t adModeUnknown = 0;
constexpr int32_t adModeRead = 1;
constexpr int32_t adModeReadWrite = 3;
// RecordCreateOptionsEnum
constexpr int32_t adFailIfNotExists = -1;
constexpr int32_t adCreateOverwrite = 0x4000000;
// RecordOpenOptionsEnum
constexpr int32_t adOpenRecordUnspecified = -1;
constexpr int32_t adDelayFetchFields = 0x8000;
// AffectEnum
constexpr int32_t adAffectCurrent = 1;
// DataTypeEnum (the types a store property can hold)
constexpr int32_t adSmallInt = 2;
constexpr int32_t adInteger = 3;
constexpr int32_t adDouble = 5;
constexpr int32_t adDate = 7;
constexpr int32_t adBSTR = 8;
constexpr int32_t adBoolean = 11;
constexpr int32_t adVarWChar = 202;
constexpr int32_t adLongVarWChar = 203;
// Fields(adDefaultStream) is the item's content stream.
constexpr int32_t adDefaultStream = -1;

class Stream;
class Connection;

// Opaque state of the backends; defined by platform/ sources only.
struct ConnectionImpl;
struct RecordImpl;
struct RecordsetImpl;

// A content stream: the bytes of an item's default stream (a message's
// RFC 5322 text), held in memory.
class Stream {
public:
    Stream();
    explicit Stream(std::string bytes);

    [[nodiscard]] const std::string& Bytes() const { return bytes_; }
    [[nodiscard]] int64_t Size() const { return static_cast<int64_t>(bytes_.size()); }
    void SetBytes(std::string bytes) { bytes_ = std::move(bytes); }
    // Reads or writes a whole file; errors as platform::Error.
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

private:
    std::string bytes_;
};

// One property of a record or one column of a recordset row. A Field handed
// out by a Record stays valid while that Record is open; writes are kept
// until Fields::Update.
class Field {
public:
    [[nodiscard]] const std::string& Name() const { return name_; }
    [[nodiscard]] Variant Value() const&;
    // A recordset's field read once (rs.Fields(name).Value()) gives its value
    // up rather than copying it.
    [[nodiscard]] Variant Value() &&;
    void SetValue(Variant value);
    // The item's content, for the field Fields(adDefaultStream) of a record.
    [[nodiscard]] Stream GetStream() const;

private:
    friend class Fields;
    friend class Recordset;
    Field(std::string name, RecordImpl* owner, Variant snapshot);
    std::string name_;
    RecordImpl* owner_ = nullptr;  // null for a recordset row: value is the snapshot
    Variant snapshot_;
};

// The property collection of an open Record.
class Fields {
public:
    // Names compare without regard to case. An absent property reads as Null.
    [[nodiscard]] Field Item(const std::string& name);
    // Index adDefaultStream (-1) is the content stream; 0..Count()-1 the
    // properties in name order.
    [[nodiscard]] Field Item(int32_t index);
    [[nodiscard]] int32_t Count() const;
    // Adds or replaces a property value, kept until Update.
    void Append(const std::string& name, int32_t type, int32_t definedSize, int32_t attributes,
                Variant value);
    // Writes the pending values to the store.
    void Update();

private:
    friend class Record;
    explicit Fields(RecordImpl* owner) : owner_(owner) {}
    RecordImpl* owner_;
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(Connection&&) noexcept;
    Connection& operator=(Connection&&) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void SetProvider(std::string provider);
    [[nodiscard]] const std::string& Provider() const;
    void SetConnectionString(std::string text);
    [[nodiscard]] const std::string& ConnectionString() const;

    // Store: source is a store URL (or empty to use the connection string);
    // the URL must be well-formed (err::kBadUrl) and name an existing item of
    // this server's store (err::kNotFound), as the platform's provider
    // requires. Directory: source is the provider's name, "Active Directory
    // Provider". Any other provider raises err::kAdoProviderNotFound.
    void Open(const std::string& source = "", const std::string& user = "",
              const std::string& password = "", int32_t options = -1);
    [[nodiscard]] int32_t State() const;
    void Close();  // rolls back a transaction that was not committed

    // Store transactions: everything written through this connection, and
    // through Records, Recordsets and messages using the same store on this
    // thread, commits or rolls back together.
    void BeginTrans();
    void CommitTrans();
    void RollbackTrans();

    [[nodiscard]] ConnectionImpl* Impl() const { return impl_.get(); }

private:
    std::unique_ptr<ConnectionImpl> impl_;
};

class Record {
public:
    Record();
    ~Record();
    Record(Record&&) noexcept;
    Record& operator=(Record&&) noexcept;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // Opens the item at a store URL. cnn may be null (a connection to that
    // URL's store is made). createOptions adFailIfNotExists raises
    // err::kNotFound for a missing item; adCreateOverwrite creates the item,
    // replacing an existing one wholesale (no old property survives), in an
    // existing folder (err::kNotFound otherwise); a folder is never replaced
    // (err::kResourceExists). Only mode adModeReadWrite writes: writing
    // through a record opened adModeRead or adModeUnknown raises
    // err::kPermissionDeniedDb.
    void Open(const std::string& source, Connection* cnn = nullptr, int32_t mode = adModeUnknown,
              int32_t createOptions = adFailIfNotExists, int32_t options = adOpenRecordUnspecified,
              const std::string& user = "", const std::string& password = "");
    [[nodiscard]] int32_t State() const;
    void Close();

    [[nodiscard]] class Fields& Fields();
    [[nodiscard]] Field Fields(const std::string& name) { return Fields().Item(name); }
    [[nodiscard]] Field Fields(int32_t index) { return Fields().Item(index); }

    // Deletes the item at url (the open item when url is empty) with
    // everything below it.
    void DeleteRecord(const std::string& url = "", bool async = false);

    // Moves the message (or other non-folder item) at source into the
    // folder at destination, a folder URL of the same store: the store gives
    // it a new name there and keeps its content, received time and
    // properties. Atomic: afterwards it is in the folder and gone from
    // source, or (on any failure, a crash) still at source only. Raises
    // err::kNotFound, moving nothing, when source names no item (or one
    // moved or deleted meanwhile) or destination no folder. The record need
    // not be open. Returns the item's new URL in destination's scheme.
    std::string MoveRecord(const std::string& source, const std::string& destination,
                           const std::string& user = "", const std::string& password = "",
                           int32_t options = -1, bool async = false);

    [[nodiscard]] RecordImpl* Impl() const { return impl_.get(); }

private:
    std::unique_ptr<RecordImpl> impl_;
    class Fields fields_;
};

// Rows of a query, store or directory. RecordCount is known when Open or
// Execute returns. Delete(adAffectCurrent) deletes the current row's item
// from the store; the cursor stays on that row until MoveNext.
class Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(Recordset&&) noexcept;
    Recordset& operator=(Recordset&&) noexcept;
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    // Runs a query of the store's SQL dialect on an open store connection.
    void Open(const std::string& query, Connection& cnn, int32_t cursorType = -1,
              int32_t lockType = -1, int32_t options = -1);
    [[nodiscard]] int32_t State() const;
    void Close();

    [[nodiscard]] int32_t RecordCount() const;
    [[nodiscard]] bool Eof() const;
    void MoveNext();
    // Column of the current row, by name without regard to case; Null when
    // the row has no such value. Raises kAdoItemNotFound for a name the query
    // did not select, kAdoNoCurrentRecord at EOF.
    [[nodiscard]] Field Fields(const std::string& name) const;
    // Fields(name).Value() without the field: for rows read by the thousand.
    [[nodiscard]] Variant FieldValue(const std::string& name) const;
    void Delete(int32_t affect = adAffectCurrent);

    // For the backends: adopts an implementation.
    explicit Recordset(std::unique_ptr<RecordsetImpl> impl);
    [[nodiscard]] RecordsetImpl* Impl() const { return impl_.get(); }

private:
    std::unique_ptr<RecordsetImpl> impl_;
};

// Delete(adAffectCurrent), telling what it found: false when the row's
// item was gone already, taken by another program since the query (a mail
// server may also have renamed it past finding). Raises as Delete does.
[[nodiscard]] bool DeleteCurrent(Recordset& rs);
// How many of this thread's deletes, since the last call, found their row's
// item gone only when the store completed them (a mail server's deletes go
// in batches, made when the recordset closes): DeleteCurrent said true for
// them, and a caller counting deletes takes these off.
[[nodiscard]] int64_t TakeDeletesFoundGone();

// Data that goes into store query text or store URLs passes through these,
// never pasted: QuoteStoreQueryText gives value as a quoted token of the
// store's query dialect (quote ' for a text or a SCOPE argument, " for a
// property name or a folder URL; quote marks inside doubled);
// EncodeStoreUrlPath percent-encodes "%", "?", "#", "\" and control
// characters of a name or "/"-separated folder path, so the store decodes it
// once back to exactly that name.
[[nodiscard]] std::string QuoteStoreQueryText(const std::string& value, char quote);
[[nodiscard]] std::string EncodeStoreUrlPath(const std::string& text);

// A cleanup run calls it when it starts. Its waits on a busy store get a
// fresh budget ("store.busy_budget_ms", default 60000, in all; each
// statement waits at most "store.busy_timeout_ms"); once the budget is
// spent, a busy store fails at once with err::kResourceLocked, saying so in
// the description. Mail servers that failed the last run (silent, refusing
// a login) are asked again, and their password files read again.
void StartStoreRun();

// How many mailboxes a cleanup run sweeps at once ("run.workers"; by
// default 1, or 2 per core up to 8 when mail servers hold namespaces: their
// waits overlap). Each worker thread calls StartStoreRun and reaches the
// store through handles of its own. Raises platform::Error naming the
// configuration's line for a value out of 1 to 64.
[[nodiscard]] int StoreRunWorkers();

// True when both URLs name one item of this server's store, in either
// scheme and whatever the letter case of its names; false when either is no
// store URL of an item.
bool SameStoreItem(const std::string& a, const std::string& b);

// True when the item at url (either scheme) is in a namespace that a mail
// server holds (platform.conf maps it to a Maildir tree or an IMAP server):
// there a mailbox's name is the user's login or home, made from the alias by
// the namespace's templates. False for the item store's own namespaces and
// for anything that is no store URL. Raises platform::Error when the
// namespace's mapping is a setting that cannot be taken.
bool HeldByMailServer(const std::string& url);

// While one lives, this thread reaches the store read-only: its file is
// opened read-only, an older store is read as it stands (never upgraded),
// and any write raises. For those who look without changing a byte (a
// preview). Scopes nest.
class ReadOnlyStore {
public:
    ReadOnlyStore();
    ~ReadOnlyStore();
    ReadOnlyStore(const ReadOnlyStore&) = delete;
    ReadOnlyStore& operator=(const ReadOnlyStore&) = delete;

private:
    struct Scope;
    std::unique_ptr<Scope> scope_;
};

// While one lives, this thread's store writes (recordset deletes, moves)
// are committed together across recordsets and connections: after
// "store.batch_ms" (default 100) or some thousands of writes, at Commit, and
// when the scope ends, no longer at each recordset's Close. A crash loses
// the writes since the last commit (deleted messages are back in place, a
// move is undone whole). Whoever tells of writes tells of them only once
// Idle is true. Scopes nest.
class StoreWriteGroup {
public:
    StoreWriteGroup();
    // Commits what is open; a failure is kept for TakeLost.
    ~StoreWriteGroup();
    StoreWriteGroup(const StoreWriteGroup&) = delete;
    StoreWriteGroup& operator=(const StoreWriteGroup&) = delete;

    // Commits the writes that are due. Raises the commit's failure (naming
    // the store's path).
    static void Tick();
    // Commits every write now. Raises as Tick.
    static void Commit();
    // True when no write of this thread waits for its commit.
    [[nodiscard]] static bool Idle();
    // The first commit that failed since the outermost scope began or the
    // last call, forgotten here: the writes since the commit before it were
    // rolled back. Its description names the store's path.
    [[nodiscard]] static std::optional<Error> TakeLost();

private:
    struct Scope;
    std::unique_ptr<Scope> group_;
};

}  // namespace platform
