// The embedded item store: one SQLite database (WAL mode) per server holding
// a tree of namespaces, the "MBX" container, mailboxes, folders and items,
// with typed properties, a content stream per item and transactions.
//
// One handle per (thread, database path): every Connection, Record,
// Recordset and message of a thread shares it, so a transaction begun on any
// of them covers all their writes. When the last user lets go, an open
// transaction is rolled back and the handle is kept for the thread's next use. Several processes
// may share one store: a busy store is waited for up to a bound (platform configuration key
// "store.busy_timeout_ms", default 10000), then err::kResourceLocked.
// Commits survive a crash of the process; "store.synchronous = full" makes
// them survive a power loss too (a disk flush per commit).
// Every failure raises platform::Error; the database is never left half
// written (multi-statement operations are atomic).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.h"
#include "base/variant.h"
#include "localplatform/store/store_url.h"

namespace localplatform {

struct MailStoreMessage;

// What a node of the tree is. Everything but kItem is a folder.
enum class ItemKind : int {
    kItem = 0,
    kFolder = 1,
    kNamespace = 2,
    kMailboxContainer = 3,
    kMailbox = 4
};

// One node as stored; dates are Unix seconds, UTC.
struct ItemRow {
    int64_t id = 0;
    int64_t parent = 0;  // 0 for a namespace
    std::string name;
    ItemKind kind = ItemKind::kItem;
    bool hidden = false;
    std::optional<std::string> contentClass;  // as set; readers apply the defaults
    int64_t created = 0;
    int64_t modified = 0;
    std::optional<int64_t> received;
    bool hasProps = false;  // carries custom properties
    int64_t size = 0;       // length of the content stream in bytes
    // Held by the mail store of a mapped namespace (its id is negative):
    // the scans return it without applying their SQL condition, so whoever
    // filters rows evaluates the condition on it.
    bool foreign = false;

    [[nodiscard]] bool IsFolder() const { return kind != ItemKind::kItem; }
};

// One entry of the move manifest: a message a run moved, where from and
// where to, and where it is now. Dates are Unix seconds, UTC.
struct MoveEntry {
    int64_t entry = 0;  // the manifest row
    int64_t run = 0;
    int64_t item = 0;
    int64_t sourceFolder = 0;
    std::vector<std::string> sourcePath;  // the source folder's path when moved
    std::string sourceName;               // the message's name there
    int64_t destinationFolder = 0;
    std::string destinationName;  // the name the move gave it
    int64_t size = 0;             // content bytes when moved
    int64_t movedAt = 0;
    std::optional<int64_t> restoredAt;  // when put back
    // Now: the item's folder (none when deleted), its received time, and
    // the run of a later move of the item not put back (0 when none).
    std::optional<int64_t> currentFolder;
    std::optional<int64_t> received;
    int64_t laterRun = 0;
};

// A run as the store knows it: the identity it handed out.
struct StoreRun {
    int64_t id = 0;
    std::string itemUrl;  // the registration item that fired
    int64_t started = 0;  // Unix seconds, UTC
    bool moves = false;   // it moves expired messages (else it deletes them)
};

// What RestoreMove did with one entry.
enum class RestoreOutcome {
    kRestored,          // back in its source folder
    kAlreadyRestored,   // an earlier restore put it back; nothing changed
    kNotInDestination,  // moved or deleted since; left alone
    kMovedLater,        // a later run moved it again; left alone
    kSourceFolderGone,  // nowhere to put it back; left alone
};

struct RestoreResult {
    RestoreOutcome outcome = RestoreOutcome::kRestored;
    std::string name;  // its name in the source folder, when restored
};

// A value bound into a SQL fragment of a scan.
using SqlParam = std::variant<int64_t, double, std::string>;

struct ParsedQuery;
struct QueryResult;
struct MailMove;  // a manifest entry's part for a mail store's message

class ItemStore {
public:
    // This thread's handle on the store named by the platform configuration
    // (PlatformConfig::Current().StorePath()), or on the database at path.
    // Opening never creates a store (Create does): a missing file raises
    // err::kFileNotFound, an empty, truncated or damaged one err::kCorrupt, a
    // store locked past the bound err::kResourceLocked, a bad "store.*"
    // setting err::kInvalidArg; each description names the cause and the path.
    [[nodiscard]] static std::shared_ptr<ItemStore> ForThisThread();
    [[nodiscard]] static std::shared_ptr<ItemStore> ForThisThread(const std::string& path);

    // Makes a new, empty store at path (or at the configured path) when no
    // file is there; returns false, doing nothing, when a store is already
    // there. Raises as ForThisThread for any other file (an empty file is
    // not taken for a store). For the administration commands and tests.
    static bool Create();
    static bool Create(const std::string& path);

    // While one lives, this thread's handles are read-only ones, apart from
    // its other handles: the file is opened read-only, an older store is
    // read as it stands (not upgraded, and what it lacks reads as empty),
    // and every write raises err::kPathFileAccess. For those who look
    // without changing a byte (a preview). Scopes nest.
    class ReadOnly {
    public:
        ReadOnly();
        ~ReadOnly();
        ReadOnly(const ReadOnly&) = delete;
        ReadOnly& operator=(const ReadOnly&) = delete;
    };

    // Starts a fresh budget for this thread's waits on a busy store: from
    // now on the thread waits at most "store.busy_timeout_ms" per statement
    // and "store.busy_budget_ms" (default 60000) in all; a statement that
    // finds the budget spent fails at once with err::kResourceLocked, and
    // its description says the budget is spent. A cleanup run calls it once
    // at its start; the mail stores then ask their servers afresh
    // (StartMailStoreRun).
    static void StartRun();

    ~ItemStore();
    ItemStore(const ItemStore&) = delete;
    ItemStore& operator=(const ItemStore&) = delete;

    [[nodiscard]] const std::string& Path() const;

    // ---- Transactions
    // An explicit transaction (a store Connection's BeginTrans). Pending
    // batched writes are committed first. Raises err::kAdoFeatureNotAvailable
    // when one is already open (transactions do not nest).
    void BeginTransaction();
    void CommitTransaction();
    void RollbackTransaction();
    [[nodiscard]] bool InTransaction() const;
    // A read snapshot for a run of reads (a query, a scan of the
    // registrations), held while the object lives: the reads see one state
    // of the store and take the file locks once. Inside a transaction it
    // does nothing (the transaction is the snapshot).
    class ScopedRead {
    public:
        explicit ScopedRead(ItemStore& store);
        ~ScopedRead();
        ScopedRead(const ScopedRead&) = delete;
        ScopedRead& operator=(const ScopedRead&) = delete;

    private:
        ItemStore& store_;
        bool began_;
    };
    // Batched writes (a recordset deleting row after row): BatchWrite makes
    // sure an implicit transaction is open unless an explicit one is; it is
    // committed after 256 writes or 100 ms (configuration key
    // "store.batch_ms"; checked at BatchWrite and BatchTick), by FlushBatch,
    // and, outside a WriteGroup, by SettleBatch and when the last user lets
    // go of the handle. A crash loses only uncommitted deletes, i.e. leaves
    // items in place, and undoes a move whole.
    void BatchWrite();
    // BatchWrite for a delete of item id. A mail store's item opens no
    // transaction of this store (its delete is the mail store's, made
    // durable when the batch is flushed); the batch is still committed and
    // flushed as BatchWrite's is.
    void BatchDeleteOf(int64_t id);
    void BatchTick();
    void FlushBatch();
    // How many deletes of this thread's batches, since the last call, found
    // their message gone already only when a mail store made them at a
    // flush (an IMAP server's deletes go in batches): DeleteItem had said
    // true for them.
    [[nodiscard]] static int64_t TakeDeletesFoundGone();
    // A user of the batch is done with it (a recordset closing): commits it
    // as FlushBatch does, or inside a WriteGroup only when it is due.
    void SettleBatch();

    // While one lives on this thread, a batch spans recordsets and the
    // handle's users (a run's folders, one after another), so that pages
    // several folders change are written once per commit, not once per
    // folder: it is committed after 8192 writes or "store.batch_ms" (checked
    // at every batched write and row step, when a handle is taken again,
    // and at Tick), at Commit, and when the scope ends. Another process
    // waiting for the store is thus held no longer than that age plus one
    // step. Whoever tells of the writes (a log, a history) tells only once
    // Idle says they are committed. Where the configuration maps namespaces
    // to mail stores, whose folders wait on a mail server, a batch still
    // ends with its recordset and its handle's users. Scopes nest.
    class WriteGroup {
    public:
        WriteGroup();
        // Commits what is still open; a failure is kept in Lost (call
        // Commit first to have it raised).
        ~WriteGroup();
        WriteGroup(const WriteGroup&) = delete;
        WriteGroup& operator=(const WriteGroup&) = delete;

        // Commits the batches of this thread that are due.
        static void Tick();
        // Commits every batch of this thread now.
        static void Commit();
        // True when no write of this thread waits for its commit.
        [[nodiscard]] static bool Idle();
        // The first commit that failed since the outermost scope began or
        // the last call (the error names the store's path), forgotten
        // here: the writes since the commit before it were rolled back.
        // Tick and Commit raise the failure of a commit they make, too.
        [[nodiscard]] static std::optional<platform::Error> TakeLost();
    };

    // ---- The tree
    // The node at a path from the root (names compared after FoldName).
    // storedPath, when given, gets the path with the names as stored where
    // that comes for free (the store's own nodes); it is left empty
    // otherwise, and PathOf tells.
    [[nodiscard]] std::optional<ItemRow> Lookup(const std::vector<std::string>& segments,
                                                std::vector<std::string>* storedPath = nullptr);
    // As Lookup; raises err::kNotFound naming url when there is no node.
    [[nodiscard]] ItemRow Require(const std::vector<std::string>& segments, const std::string& url);
    [[nodiscard]] std::optional<ItemRow> Get(int64_t id);
    // Names from the root down to the node itself.
    [[nodiscard]] std::vector<std::string> PathOf(int64_t id);
    // Namespace names in creation order.
    [[nodiscard]] std::vector<std::string> Namespaces();

    // Creates a namespace with its "MBX" container; err::kResourceExists if
    // it exists. Returns the namespace's id.
    int64_t CreateNamespace(const std::string& name);
    // Creates mailbox alias in namespace ns with the standard folders
    // (and "StoreEvents/GlobalEvents" for a system mailbox), its Inbox named
    // inboxName (a localised mailbox's "Posteingang"; the mailbox's
    // "urn:schemas:httpmail:inbox" gives its URL). Returns its id. In a
    // namespace mapped to a mail store only a system mailbox is made here;
    // any other raises err::kPermissionDeniedDb (the mail server makes it).
    int64_t CreateMailbox(const std::string& ns, const std::string& alias, bool systemMailbox,
                          const std::string& inboxName = "Inbox");
    // Creates a folder under a folder; err::kResourceExists if the name is taken.
    int64_t CreateFolder(int64_t parent, const std::string& name);
    // Creates a plain item, replacing an existing item of that name wholesale
    // (no old property survives). Refuses (err::kResourceExists) to replace a
    // folder, and requires parent to be a folder (err::kNotFound).
    int64_t ReplaceItem(int64_t parent, const std::string& name);
    // Saves a message (content class "urn:content-class:message"). name empty
    // = a new unique "<32 hex>.EML"; an existing name raises err::kResourceExists.
    int64_t SaveMessage(int64_t parent, const std::string& rfc822, int64_t receivedUtc,
                        const std::string& name = "");
    // Moves the item (not a folder) id out of folder fromFolder into folder
    // toFolder under a new unique "<32 hex>.EML" name, keeping its content,
    // received time and properties: one atomic step, batched like a
    // recordset's deletes (BatchWrite), so a crash leaves it in fromFolder
    // or in toFolder, never both or neither. Raises err::kNotFound, copying
    // nothing, when id is no longer in fromFolder (moved or deleted
    // meanwhile) or toFolder is no folder. Returns the moved item's row.
    // With a run (not 0) the move manifest records the move under it, in the
    // same transaction: the manifest never holds a move that did not happen,
    // nor misses one that did. sourcePath is fromFolder's path as the caller
    // reached it (the names of its URL), recorded for putting the item back;
    // null: looked up in the tree.
    ItemRow MoveItem(int64_t id, int64_t fromFolder, int64_t toFolder, int64_t run = 0,
                     const std::vector<std::string>* sourcePath = nullptr);
    // Deletes a node with everything below it. Returns false when it was
    // already gone.
    bool DeleteItem(int64_t id);

    // ---- Runs
    // Hands out the identity of a run of itemUrl starting at started (Unix
    // seconds): a number above every run this store gave one, every run its
    // move manifest names, and above (say, the highest a history knows),
    // recorded with whether the run moves. One atomic step: no two runs of
    // this store ever get one number.
    int64_t BeginRun(const std::string& itemUrl, int64_t started, bool moves, int64_t above);
    // The run the store gave that identity; nothing for one it did not.
    [[nodiscard]] std::optional<StoreRun> Run(int64_t id);

    // ---- The move manifest
    // The moves recorded under run, in the order they were made: at most
    // limit of them (0 = all) from the first after the entry afterEntry on.
    [[nodiscard]] std::vector<MoveEntry> MovesOfRun(int64_t run, int64_t afterEntry = 0,
                                                    int64_t limit = 0);
    // Puts the message of a manifest entry back, atomically: out of the
    // destination folder into its source folder, under its old name when
    // that is free there, else a new unique one, with its content, received
    // time and properties. Only when it is still in the destination folder
    // and no later move of it is recorded; anything else is left as it is
    // and said in the outcome. Raises err::kNotFound for an unknown entry.
    RestoreResult RestoreMove(int64_t entry);
    // Settles the moves between two stores (the item store and a mail
    // store, or two mail stores) that runs of the registration item at
    // itemUrl left under way when they were killed or crashed: each message
    // is then kept exactly once, where the run put it when its copy was
    // made (the source still there is removed), else where it was (the
    // entry is forgotten, with any copy that a crash left unrecorded). For
    // a run of that registration as it begins, holding its run lock, so no
    // other run is moving those messages. Returns how many entries it
    // settled. Raises platform::Error, after trying every entry, with the
    // first failure (a mail server down): those entries stay under way.
    int64_t SettleMoves(const std::string& itemUrl);
    // Forgets at most limit entries of moves made before movedBefore (Unix
    // seconds), oldest first, in one transaction; returns how many went.
    int64_t PruneMoves(int64_t movedBefore, int64_t limit);

    // ---- Properties and content
    // The value of a property by schema name (compared without regard to
    // case): intrinsic properties computed from the node (DAV:href and the
    // mailbox's folder URLs in the given scheme), custom ones as stored; Null
    // when absent.
    [[nodiscard]] platform::Variant Value(const ItemRow& row, const std::string& name,
                                          UrlScheme scheme);
    // The same, with the name already folded (FoldName): a query reads the
    // same few names for every row.
    [[nodiscard]] platform::Variant Value(const ItemRow& row, const std::string& name,
                                          std::string_view folded, UrlScheme scheme);
    // The names of every property the node has: intrinsic first, then custom.
    [[nodiscard]] std::vector<std::string> PropertyNames(const ItemRow& row);
    // A custom property only (no intrinsic names); Null when absent.
    [[nodiscard]] platform::Variant CustomValue(int64_t id, const std::string& name);
    // Writes properties in order, atomically. A Null value removes the
    // property. "DAV:ishidden", "DAV:contentclass" and
    // "urn:schemas:httpmail:datereceived" write the node itself; other
    // intrinsic names are read-only (err::kPermissionDeniedDb). Updates
    // "DAV:getlastmodified".
    void WriteProperties(int64_t id,
                         const std::vector<std::pair<std::string, platform::Variant>>& values);
    [[nodiscard]] std::string Content(int64_t id);
    void SetContent(int64_t id, const std::string& bytes);

    // ---- Scans (for the query dialect)
    // The folder and every folder below it, the folder first.
    [[nodiscard]] std::vector<int64_t> FolderSubtree(int64_t folder);
    // The messages and other items (not folders) directly in folder, in id
    // order.
    [[nodiscard]] std::vector<ItemRow> ItemsIn(int64_t folder);
    // The items directly in folder whose content class is contentClass, in
    // id order.
    [[nodiscard]] std::vector<ItemRow> ItemsOfContentClass(int64_t folder,
                                                           const std::string& contentClass);
    // The mailboxes directly below container (a namespace's "MBX") that have
    // a child named childName (compared as names are), in id order: one
    // indexed probe per mailbox.
    [[nodiscard]] std::vector<ItemRow> MailboxesHaving(int64_t container,
                                                       const std::string& childName);

    // The database handle; defined in item_store.cpp only.
    struct Handle;

private:
    // The query engine evaluates its dialect here: the nodes whose parent is
    // one of parents and for which the SQL condition sqlFilter (over the
    // columns parent, name, key, kind, hidden, content_class, created,
    // modified, received; "?" for params) holds, in id order.
    friend QueryResult RunQuery(ItemStore& store, const ParsedQuery& query);
    // Rows of a mail store (row.foreign) come unfiltered: a folder of one
    // gives every child, and a mapped namespace's "MBX" its mail store's
    // mailboxes besides its own (unless mailStores is false).
    [[nodiscard]] std::vector<ItemRow> Children(const std::vector<int64_t>& parents,
                                                const std::string& sqlFilter,
                                                const std::vector<SqlParam>& params,
                                                bool mailStores = true);
    // The mail store's mailboxes below container when it is a mapped
    // namespace's "MBX" (none of those the store holds itself).
    [[nodiscard]] std::vector<ItemRow> MappedMailboxes(int64_t container);
    // MoveItem of a mail store's message into a folder of the same mail
    // store, in the store's one atomic step, its manifest entry committed
    // before the message leaves; where the store has no such step between
    // the two folders, the move goes to MoveAcrossStores.
    ItemRow MoveMailStoreItem(int64_t id, int64_t fromFolder, int64_t toFolder, int64_t run,
                              const std::vector<std::string>* sourcePath);
    // MoveItem with no atomic step (between the item store and a mail
    // store, between two mail stores, or within one between folders it
    // joins by none): the manifest entry, naming the copy's planned key, is
    // committed first (in place of the entry replaces, when not 0); then
    // the copy is made and its key committed; then the source is removed.
    // A crash leaves the source or the copy, or both with the entry under
    // way (SettleMoves and RestoreMove keep one).
    ItemRow MoveAcrossStores(int64_t id, int64_t fromFolder, int64_t toFolder, int64_t run,
                             const std::vector<std::string>* sourcePath, int64_t replaces = 0);
    // The row of message in folder: a mail store's as its mapped namespace
    // shows it, the item store's as stored.
    [[nodiscard]] ItemRow RowOfMessage(int64_t folder, const MailStoreMessage& message);
    // Fills in where the message of a manifest entry for a mail store is now.
    void LocateMailMove(MoveEntry& e, const MailMove& m);
    RestoreResult RestoreMailMove(MoveEntry e, const MailMove& m);
    // The same for an entry of a move between two stores.
    void LocateCrossMove(MoveEntry& e, const MailMove& m);
    RestoreResult RestoreCrossMove(MoveEntry e, MailMove m);
    void TakeBackEntry(int64_t entry);
    // Brings an entry of a move between two stores that is under way to
    // rest as the move's next run would: a move whose copy was made is
    // finished (the source removed), one whose copy was not is forgotten; a
    // put back whose copy was made is finished (the destination's copy
    // removed), one whose copy was not is taken back.
    void SettleCrossMove(MoveEntry& e, MailMove& m);
    // The same for a one-step move whose outcome was not heard (a reply
    // lost, an error after the store may have acted): a source still there
    // did not move, and the entry goes; else the moved message is looked
    // for in the destination, and its key recorded.
    void SettleMailMove(MoveEntry& e, MailMove& m);
    // Settles an entry under way by the one of the two for its kind.
    void SettleUnderWay(MoveEntry& e, MailMove& m);
    // Settles the entry so (nothing when it is gone).
    void SettleEntry(int64_t entry);
    // What ScopedRead holds: BeginRead returns false, and does nothing,
    // inside a transaction; EndRead ends what BeginRead began.
    [[nodiscard]] bool BeginRead();
    void EndRead();

    explicit ItemStore(std::unique_ptr<Handle> handle);
    // Whether a write group keeps this handle's batch open past its users.
    [[nodiscard]] bool GroupSpansBatch();
    // Deleter of the shared handles: finishes what the last user left open
    // (batched deletes committed, a transaction rolled back) and keeps the
    // handle for this thread's next user.
    static void Release(ItemStore* store);
    std::unique_ptr<Handle> h_;
};

// A "store.*" setting in milliseconds: fallback when unset; raises
// err::kInvalidArg naming the configuration file, the key and the value for
// anything but a whole number from 0 to max.
[[nodiscard]] int64_t StoreSettingMs(const std::string& key, int64_t fallback, int64_t max);

// Checks, before SQLite opens it, that path names a store file at all: a
// regular file beginning with an SQLite database header. Raises
// err::kFileNotFound (no file) or err::kCorrupt (empty, another kind of
// file, shorter than a header, damaged header), naming the path and the
// cause. Whether every page is there is SQLite's to judge, once it has read
// the write-ahead log (a checkpoint may not have copied the pages yet).
void CheckStoreFile(const std::string& path);

// Raises e, the failure of SQLite's first read of the store at path; a
// damaged store whose file is shorter than its header's page count is said
// to be truncated ("truncated: N of M pages"), naming the path.
[[noreturn]] void RaiseUnreadableStore(const std::string& path, const platform::Error& e);

// This server's fully qualified name from the platform configuration, lower
// case: computer name "." domain DNS name.
[[nodiscard]] std::string ThisServerFqdn();

// Dates of the platform's date type as stored: whole Unix seconds (UTC),
// years 1 to 9999. A value outside them (a corrupt store, a date out of
// range) raises err::kCantConvert in either direction.
[[nodiscard]] int64_t ToStoreTime(platform::Date utc);
[[nodiscard]] platform::Date FromStoreTime(int64_t seconds);

}  // namespace localplatform
