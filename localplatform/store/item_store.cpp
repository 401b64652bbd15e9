#include "localplatform/store/item_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <unordered_map>
#include <utility>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/item_store_ends.h"
#include "localplatform/store/item_store_internal.h"
#include "localplatform/store/mapped_namespace.h"
#include "localplatform/store/run_lock.h"

namespace localplatform {
namespace {

namespace err = platform::err;
using platform::Error;
using platform::Variant;
using platform::VariantType;

constexpr int kBatchMaxWrites = 256;
// Inside a write group the age bounds a batch; this only bounds the pages
// one commit holds in memory.
constexpr int kGroupMaxWrites = 8192;
constexpr int kDefaultBusyMs = 10000;
constexpr int64_t kDefaultBusyBudgetMs = 60000;
constexpr int64_t kWalCheckpointBytes = int64_t{256} << 20;

// A new store's page. Nearly every byte of a store is message content, a
// few kilobytes each and up: with pages of 4 KiB such a message's bytes
// have a page of their own, so removing a folder's oldest messages frees
// those pages whole, and a page freed whole is not written at all (unless
// "store.secure_delete = on" wipes it); only the pages around them and the
// rows and indexes are. Pages of 16 KiB held five such messages each, and
// the same removal rewrote the pages that kept the others: over 80,000
// deletes three times the bytes and half as long again. A store made with
// another page keeps it: the size changes only by rewriting the whole file.
constexpr int kNewStorePageBytes = 4096;

// The page cache of a handle that writes. SQLite's default of 2 MiB is 128
// such pages, fewer than a batch of moves dirties (each move changes its
// row's page, both indexes by folder and the manifest's pages), and a
// full cache writes pages into the log before the batch commits, the same
// page again and again.
constexpr int kWriterCacheKiB = 4096;

// Storage codes of property types (the props.type column).
enum PropCode : int {
    kString = 1,
    kInt16 = 2,
    kInt32 = 3,
    kBool = 4,
    kDateCode = 5,
    kDouble = 6,
    kBytes = 7
};

// Ids in one extent: a day's or a week's mail of a busy folder. A folder
// that gets fewer leaves the rest unused, which costs nothing but numbers.
constexpr int64_t kExtentIds = 64;

// Levels of folders above any item, far beyond what a mailbox holds: a
// walk up that goes further is walking a loop of parents.
constexpr size_t kMaxDepth = 4096;

// How many columns RowOf reads.
constexpr int kRowColumnCount = 11;

// Paths up to this deep are looked up in one statement, a join a level;
// deeper ones a statement a level (SQLite joins at most 64 tables).
constexpr size_t kJoinedLookupDepth = 16;

// The columns RowOf reads, of the items named t in a store of version.
std::string RowColumnsOf(const std::string& t, int version) {
    std::string columns;
    for (const char* c : {"id", "parent", "name", "kind", "hidden", "content_class", "created",
                          "modified", "received", "has_props"})
        columns += t + "." + c + ", ";
    return columns + SizeOf(t, version);
}

// The mailbox's standard folders, and the property of the mailbox root that
// names each one's URL.
struct StandardFolder {
    const char* name;
    const char* property;  // folded
};
constexpr std::array<StandardFolder, 10> kStandardFolders = {{
    {"Inbox", "urn:schemas:httpmail:inbox"},
    {"Outbox", "urn:schemas:httpmail:outbox"},
    {"Sent Items", "urn:schemas:httpmail:sentitems"},
    {"Deleted Items", "urn:schemas:httpmail:deleteditems"},
    {"Drafts", "urn:schemas:httpmail:drafts"},
    {"Calendar", "urn:schemas:httpmail:calendar"},
    {"Contacts", "urn:schemas:httpmail:contacts"},
    {"Tasks", "urn:schemas:httpmail:tasks"},
    {"Notes", "urn:schemas:httpmail:notes"},
    {"Journal", "urn:schemas:httpmail:journal"},
}};

// Intrinsic property names, as shown; every one is read-only except the
// three that WriteProperties routes to columns.
constexpr std::array<const char*, 10> kIntrinsic = {
    "DAV:href",       "DAV:displayname",     "DAV:creationdate", "DAV:getlastmodified",
    "DAV:ishidden",   "DAV:iscollection",    "DAV:isfolder",     "DAV:contentclass",
    "DAV:parentname", "DAV:getcontentlength"};
constexpr const char* kReceived = "urn:schemas:httpmail:datereceived";

void CheckName(const std::string& name) {
    bool bad = name.empty() || name == "." || name == ".." || name.size() > 1024;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) bad = true;
    }
    if (bad) {
        throw Error(err::kInvalidArg, platform::Describe("name store item", name,
                                                         "not a valid name", err::kInvalidArg));
    }
}

}  // namespace

// ---------------------------------------------------------------- handle

namespace {

Stmt& BindParam(Stmt& s, int i, const SqlParam& p) {
    std::visit([&](const auto& v) { s.Bind(i, v); }, p);
    return s;
}

// The node of a row selected with RowColumnsOf.
ItemRow RowOf(const Stmt& s) {
    ItemRow r;
    r.id = s.Int(0);
    r.parent = s.Int(1);
    r.name = s.Text(2);
    r.kind = static_cast<ItemKind>(s.Int(3));
    r.hidden = s.Int(4) != 0;
    if (!s.IsNull(5)) r.contentClass = s.Text(5);
    r.created = s.Int(6);
    r.modified = s.Int(7);
    if (!s.IsNull(8)) r.received = s.Int(8);
    r.hasProps = s.Int(9) != 0;
    r.size = s.Int(10);
    return r;
}

// A property's value from its storage code and value columns.
Variant PropertyOf(const Stmt& s, int typeCol, int valueCol) {
    switch (s.Int(typeCol)) {
        case kString:
            return Variant(s.Text(valueCol));
        case kInt16:
            return Variant(static_cast<int16_t>(s.Int(valueCol)));
        case kInt32:
            return Variant(static_cast<int32_t>(s.Int(valueCol)));
        case kBool:
            return Variant(s.Int(valueCol) != 0);
        case kDateCode:
            return Variant(FromStoreTime(s.Int(valueCol)));
        case kDouble:
            return Variant(s.Real(valueCol));
        case kBytes: {
            const std::string b = s.Text(valueCol);
            return Variant(std::vector<uint8_t>(b.begin(), b.end()));
        }
        default:
            // A value is there, of a type no reader knows: it cannot be
            // read, which is not the same as absent.
            throw Error(
                err::kCantConvert,
                platform::Describe("read property", "type " + std::to_string(s.Int(typeCol)),
                                   "a property type the store does not know", err::kCantConvert));
    }
}

// What the "store.*" keys of the platform configuration ask for.
struct StoreSettings {
    int busyMs = kDefaultBusyMs;
    std::chrono::milliseconds batchAge{kDefaultBatchMs};
    bool synchronousFull = false;
    bool wipeFreedPages = false;
    int64_t busyBudgetMs = kDefaultBusyBudgetMs;
    int64_t maxCopyBytes = kDefaultMaxCopyBytes;
};

StoreSettings ReadSettings() {
    const auto& cfg = PlatformConfig::Current();
    // A configuration, once loaded, stays as it is: its settings are read
    // once, not at every folder a run opens.
    thread_local const PlatformConfig* readFrom = nullptr;
    thread_local StoreSettings read;
    if (readFrom == &cfg) return read;
    StoreSettings s;
    s.busyMs = static_cast<int>(StoreSettingMs("store.busy_timeout_ms", kDefaultBusyMs, 3600000));
    s.batchAge =
        std::chrono::milliseconds(StoreSettingMs("store.batch_ms", kDefaultBatchMs, 3600000));
    s.synchronousFull = cfg.GetChoice("store.synchronous", "normal", {"normal", "full"}) == "full";
    s.wipeFreedPages = cfg.GetChoice("store.secure_delete", "fast", {"fast", "on"}) == "on";
    s.busyBudgetMs = StoreSettingMs("store.busy_budget_ms", kDefaultBusyBudgetMs, 86400000);
    s.maxCopyBytes = cfg.GetWholeNumber("store.max_copy_bytes", kDefaultMaxCopyBytes,
                                        int64_t{1} << 40, "bytes", 1);
    read = s;
    readFrom = &cfg;
    return s;
}

// The time this thread may still spend waiting for a busy store: starts at
// "store.busy_budget_ms", and again after StartRun.
thread_local SqliteDb::BusyBudget budget;

void SetBusyWait(ItemStore::Handle& h, const StoreSettings& settings) {
    h.db.SetBusyWait({.statementMs = settings.busyMs,
                      .budget = &budget,
                      .budgetMs = settings.busyBudgetMs,
                      .spentNote = "; this run has spent its time for waiting on a busy store"
                                   " (store.busy_budget_ms = " +
                                   std::to_string(settings.busyBudgetMs) + ")"});
}

// The journal and the checkpoints of a handle that writes.
void ConfigureWriting(ItemStore::Handle& h, const StoreSettings& settings) {
    {
        auto s = h.db.Cached("PRAGMA journal_mode=WAL");
        s.Run();
    }
    // A run commits a batch every 100 ms; checkpointing every 1000 pages (the
    // default) copied the same index pages into the database again and
    // again, with two disk flushes each time. A larger WAL is checkpointed
    // seldom and writes each page once per checkpoint; the last handle to
    // close checkpoints the rest. Messages arrive mixed over every mailbox,
    // so a folder's deletes touch pages that the next folders' deletes touch
    // again: over 10,000 mailboxes a window of 64 MiB wrote 0.9 GB into the
    // database, one of 256 MiB about half that, with a quarter of the
    // flushes. Much larger ones cost more than they save: every page read
    // looks through the log's index.
    // A savepoint inside a batch keeps its undo journal in a temporary file
    // once it passes 64 KiB: a batch of moves, each a savepoint as they once
    // were, wrote a gigabyte there for 24,000 moves, more than the store's
    // own log. In memory it holds one savepoint's pages at a time.
    h.db.Exec("PRAGMA temp_store=MEMORY");
    h.db.Exec("PRAGMA cache_size=-" + std::to_string(kWriterCacheKiB));
    int64_t pageBytes = 4096;
    {
        auto s = h.db.Cached("PRAGMA page_size");
        if (s.Step() && s.Int(0) > 0) pageBytes = s.Int(0);
    }
    h.db.Exec("PRAGMA wal_autocheckpoint=" + std::to_string(kWalCheckpointBytes / pageBytes));
    // WAL with synchronous NORMAL never corrupts and keeps every commit
    // through a crash of the process; after a power loss the last commits
    // may be rolled back, each one whole (a move is one transaction, so it
    // is undone entirely, never half). "store.synchronous = full" makes
    // every commit durable at the price of a disk flush each.
    h.db.Exec(settings.synchronousFull ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    // A deleted message's bytes are overwritten with zeros in every page
    // that is written anyway; a page a delete frees whole keeps them until
    // new mail takes the page, as a mail server's deleted files keep their
    // blocks. Wiping freed pages too ("store.secure_delete = on", this
    // SQLite's own default) writes each of them into the log and again into
    // the file: almost four times the bytes for a run deleting 80,000
    // messages of a few KB, each with a page of its own.
    h.db.Exec(settings.wipeFreedPages ? "PRAGMA secure_delete=ON" : "PRAGMA secure_delete=FAST");
}

// Handles opened while a ReadOnly scope lives on this thread.
thread_local int readOnlyScopes = 0;

std::unique_ptr<ItemStore::Handle> OpenHandle(const std::string& path,
                                              const StoreSettings& settings, bool create,
                                              bool readOnly = false) {
    if (!create) CheckStoreFile(path);
    SqliteDb::Options options;
    options.busyTimeoutMs = settings.busyMs;
    options.create = create;
    options.readOnly = readOnly;
    options.opening = "open store";
    // Every mailbox is in it: a store others may read is said.
    options.warnOthersRead = true;
    auto h = std::make_unique<ItemStore::Handle>(SqliteDb::Open(path, options));
    h->readOnly = readOnly;
    SetBusyWait(*h, settings);

    // The first read finds out whether the file is a database at all; SQLite
    // reads the write-ahead log before it answers.
    int version = 0;
    try {
        auto s = h->db.Cached("PRAGMA user_version");
        if (s.Step()) version = static_cast<int>(s.Int(0));
    } catch (const Error& e) {
        RaiseUnreadableStore(path, e);
    }
    if (version == 0) {
        if (!create) {
            throw Error(
                err::kCorrupt,
                platform::Describe("open store", path, "database is not an item store (no schema)",
                                   err::kCorrupt));
        }
        // Before the first table: once the file has one, the page stays.
        h->db.Exec("PRAGMA page_size=" + std::to_string(kNewStorePageBytes));
        SqliteDb::Transaction tx(h->db);
        int tables = 0;
        {
            auto s = h->db.Cached("SELECT count(*) FROM sqlite_master");
            if (s.Step()) tables = static_cast<int>(s.Int(0));
        }
        if (tables != 0) {
            throw Error(err::kCorrupt,
                        platform::Describe("open store", path, "database is not an item store",
                                           err::kCorrupt));
        }
        CreateSchema(h->db);
        tx.Commit();
    } else if (version < 1 || version > kSchemaVersion) {
        throw Error(
            err::kCorrupt,
            platform::Describe("open store", path,
                               "unknown store version " + std::to_string(version), err::kCorrupt));
    } else if (readOnly) {
        // Read as it stands: an older store is not upgraded, and what it
        // lacks reads as empty. Nothing below is asked of a read-only handle.
        h->version = version;
    } else if (version < kSchemaVersion) {
        UpgradeSchema(*h);
    }
    if (!readOnly) ConfigureWriting(*h, settings);
    h->rowColumns = RowColumnsOf("items", h->version);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        h->dev = st.st_dev;
        h->ino = st.st_ino;
    }
    return h;
}

std::string CanonicalPath(const std::string& path) {
    // Asked once per connection: remember the answer (a few paths per thread).
    thread_local std::unordered_map<std::string, std::string> known;
    if (auto it = known.find(path); it != known.end()) return it->second;
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(std::filesystem::path(path), ec);
    std::string canonical = ec ? path : p.string();
    if (known.size() > 64) known.clear();
    known.emplace(path, canonical);
    return canonical;
}

const StandardFolder* StandardFolderFor(std::string_view folded) {
    for (const auto& f : kStandardFolders) {
        if (folded == f.property) return &f;
    }
    return nullptr;
}

// The name of a mailbox's standard folder: its own (kept under the
// folder's property) or the standard one.
std::string StandardFolderName(ItemStore& store, const ItemRow& mailbox,
                               const StandardFolder& folder) {
    if (!mailbox.hasProps) return folder.name;
    const Variant v = store.CustomValue(mailbox.id, folder.property);
    return v.Type() == VariantType::String ? v.AsString() : std::string(folder.name);
}

bool IsIntrinsic(const std::string& folded) {
    for (const char* n : kIntrinsic) {
        if (folded == FoldName(n)) return true;
    }
    return folded == kReceived;
}

}  // namespace

// ---------------------------------------------------------------- free helpers

int64_t StoreSettingMs(const std::string& key, int64_t fallback, int64_t max) {
    return PlatformConfig::Current().GetWholeNumber(key, fallback, max, "milliseconds", 0);
}

namespace {

// A descriptor of the store file for reading its header, kept open for the
// life of the process. Closing any descriptor of a file drops every POSIX
// lock the process holds on it, SQLite's included: a handle of this process
// (another thread's, or a parked one) would then look closed to the other
// processes, and the last of them to close would checkpoint and delete the
// write-ahead log that handle still writes to. So the probe is never closed;
// there is one per store file (a few per process).
int HeaderProbe(const std::string& path, const struct stat& st) {
    static std::mutex mutex;
    static std::map<std::pair<dev_t, ino_t>, int> probes;
    const std::lock_guard<std::mutex> lock(mutex);
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    if (const auto it = probes.find(key); it != probes.end()) return it->second;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        // Replaced between stat and open: this descriptor was never SQLite's
        // file, so closing it drops no lock of ours.
        ::close(fd);
        errno = ESTALE;
        return -1;
    }
    probes.emplace(key, fd);
    return fd;
}

}  // namespace

namespace {

// What a database header says of the file's pages.
struct PageCount {
    int64_t pageSize = 0;
    int64_t pages = 0;  // 0 when the header's count is not valid
};

PageCount PagesOf(const std::array<unsigned char, 100>& hdr) {
    const auto be32 = [&](size_t at) {
        return (int64_t{hdr[at]} << 24) | (int64_t{hdr[at + 1]} << 16) |
               (int64_t{hdr[at + 2]} << 8) | int64_t{hdr[at + 3]};
    };
    PageCount c;
    c.pageSize = (int64_t{hdr[16]} << 8) | int64_t{hdr[17]};
    if (c.pageSize == 1) c.pageSize = 65536;
    // The page count is valid when its version stamp matches the change counter.
    if (be32(92) == be32(24)) c.pages = be32(28);
    return c;
}

}  // namespace

void CheckStoreFile(const std::string& path) {
    auto fail = [&](int32_t number, const std::string& why) {
        throw Error(number, platform::Describe("open store", path, why, number));
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            fail(err::kFileNotFound,
                 "no store at this path (quellix-admin store create-namespace makes one)");
        }
        fail(err::kPathFileAccess, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) fail(err::kCorrupt, "not a regular file");
    if (st.st_size == 0) fail(err::kCorrupt, "empty file, not a store");
    if (st.st_size < 100) fail(err::kCorrupt, "truncated: shorter than a database header");
    std::array<unsigned char, 100> hdr{};
    const int fd = HeaderProbe(path, st);
    if (fd < 0) fail(err::kPathFileAccess, std::string("cannot be read: ") + std::strerror(errno));
    if (::pread(fd, hdr.data(), hdr.size(), 0) != static_cast<ssize_t>(hdr.size()))
        fail(err::kCorrupt, "truncated: shorter than a database header");
    if (std::memcmp(hdr.data(), "SQLite format 3", 16) != 0)
        fail(err::kCorrupt, "damaged header: not an SQLite database");
    const int64_t pageSize = PagesOf(hdr).pageSize;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        fail(err::kCorrupt, "damaged header: page size " + std::to_string(pageSize));
    // Whether the file holds every page its header counts is not asked here:
    // the write-ahead log may hold the pages a checkpoint has not yet copied
    // (one running now, or one a full disk stopped). SQLite reads the log
    // and judges; RaiseUnreadableStore names what it cannot read.
}

void RaiseUnreadableStore(const std::string& path, const Error& e) {
    if (e.Number() != err::kCorrupt) throw e;
    struct stat st {};
    std::array<unsigned char, 100> hdr{};
    const int fd = ::stat(path.c_str(), &st) == 0 ? HeaderProbe(path, st) : -1;
    if (fd < 0 || ::pread(fd, hdr.data(), hdr.size(), 0) != static_cast<ssize_t>(hdr.size()))
        throw e;
    const auto [pageSize, pages] = PagesOf(hdr);
    const auto size = static_cast<int64_t>(st.st_size);
    if (pageSize < 512 || pages <= 0 || size >= pages * pageSize) throw e;
    throw Error(err::kCorrupt,
                platform::Describe("open store", path,
                                   "truncated: " + std::to_string(size / pageSize) + " of " +
                                       std::to_string(pages) + " pages (" + e.Description() + ")",
                                   err::kCorrupt),
                e.Source());
}

namespace {

// The dates a store holds: years 1 to 9999, UTC.
constexpr int64_t kFirstStoreTime = -62135596800;  // 0001-01-01T00:00:00Z
constexpr int64_t kLastStoreTime = 253402300799;   // 9999-12-31T23:59:59Z

[[noreturn]] void DateOutOfRange(const std::string& value) {
    throw Error(
        err::kCantConvert,
        platform::Describe("convert date", value,
                           "outside the dates a store holds (years 1 to 9999)", err::kCantConvert));
}

}  // namespace

int64_t ToStoreTime(platform::Date utc) {
    // Range-checked as a serial first: a huge or NaN serial has no seconds.
    constexpr double kFirstSerial = -693593.0;                     // 0001-01-01
    constexpr double kLastSerial = 2958465.0 + 86399.0 / 86400.0;  // 9999-12-31 23:59:59
    const double serial = utc.Serial();
    if (!(serial >= kFirstSerial - 0.5 / 86400 && serial <= kLastSerial + 0.5 / 86400))
        DateOutOfRange("serial " + std::to_string(serial));
    return utc.UnixSeconds();
}
platform::Date FromStoreTime(int64_t seconds) {
    // A corrupt store may hold any value: refuse those no date has.
    if (seconds < kFirstStoreTime || seconds > kLastStoreTime)
        DateOutOfRange(std::to_string(seconds) + " s");
    // Same arithmetic as Date::FromParts (whole days, then the seconds of
    // the day), so a date written and read back compares equal.
    constexpr int64_t kUnixEpochSerial = 25569;  // 1970-01-01 in days from the zero date
    const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const int64_t rest = seconds - days * 86400;
    return platform::Date(static_cast<double>(days + kUnixEpochSerial) +
                          static_cast<double>(rest) / 86400.0);
}

std::string ThisServerFqdn() {
    // Asked for every URL: without configured names the answer costs a
    // resolver lookup, so keep it per configuration (they live as long as
    // the process).
    const auto& cfg = PlatformConfig::Current();
    thread_local const PlatformConfig* known = nullptr;
    thread_local std::string fqdn;
    if (known != &cfg) {
        fqdn = FoldName(cfg.ComputerName() + "." + cfg.DomainDnsName());
        known = &cfg;
    }
    return fqdn;
}

// ---------------------------------------------------------------- lifetime

ItemStore::ItemStore(std::unique_ptr<Handle> handle) : h_(std::move(handle)) {}

namespace {

// The write groups living on this thread, the handles whose batch is open
// (a group keeps one open past its users), and the first commit that failed
// since the outermost group began.
thread_local int writeGroups = 0;
thread_local std::vector<ItemStore*> openBatches;
thread_local std::optional<Error> lostCommit;
// Batched deletes of a mail store that found their message gone already
// when they were made (at a flush), for TakeDeletesFoundGone.
thread_local int64_t deletesFoundGone = 0;

void ForgetBatch(ItemStore* store) {
    std::erase(openBatches, store);
}

// A batch is open on the handle: of this store's rows, or of mail stores'
// deletes alone.
bool BatchOpen(const ItemStore::Handle& h) {
    return h.tx == ItemStore::Handle::Tx::kBatch || h.tx == ItemStore::Handle::Tx::kMailBatch;
}

void StartBatch(ItemStore* store, ItemStore::Handle& h, ItemStore::Handle::Tx kind) {
    h.tx = kind;
    h.batchWrites = 0;
    h.batchStart = std::chrono::steady_clock::now();
    openBatches.push_back(store);
}

}  // namespace

ItemStore::~ItemStore() {
    // Batched deletes were asked for: keep them. An explicit transaction
    // that nobody committed is abandoned.
    if (BatchOpen(*h_)) {
        try {
            FlushBatch();
        } catch (const Error&) {
            // Kept in lostCommit for a write group to tell.
        }
    }
    if (h_->db.InTransaction()) h_->db.ExecQuietly("ROLLBACK");
}

std::shared_ptr<ItemStore> ItemStore::ForThisThread() {
    return ForThisThread(PlatformConfig::Current().StorePath());
}

namespace {

// Handles nobody uses any more, kept open per thread so that the next
// Connection on the same store (the sink opens one per folder) does not pay
// for opening the database again. A few paths at most.
constexpr size_t kMaxParked = 4;
thread_local std::map<std::string, std::unique_ptr<ItemStore>> parked;

// Read-only and writing handles of one file are kept apart.
std::string HandleKey(const std::string& canonicalPath, bool readOnly) {
    return readOnly ? canonicalPath + "\n(read-only)" : canonicalPath;
}

bool SameFile(const std::string& path, dev_t dev, ino_t ino) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

}  // namespace

void ItemStore::Release(ItemStore* store) {
    // The last user let go: end what it left open, then park the handle.
    std::unique_ptr<ItemStore> owned(store);
    if (BatchOpen(*store->h_) && store->GroupSpansBatch()) {
        // A write group spans the batch: it stays open, parked with the
        // handle, until the group commits it (and tells of a failure).
    } else {
        try {
            store->FlushBatch();
        } catch (const Error&) {
            // The rows stay undeleted; the failure is kept in lostCommit
            // for a write group to tell, a caller that left hears nothing.
        }
        if (store->h_->db.InTransaction()) store->h_->db.ExecQuietly("ROLLBACK");
        store->h_->tx = Handle::Tx::kNone;
    }
    // Whoever held a mail store's row held the handle too: nobody does now,
    // so the rows handed out need not be remembered (a run lets go of the
    // handle after each folder).
    store->h_->mapped.ForgetNodes();
    if (parked.size() >= kMaxParked) parked.erase(parked.begin());
    const std::string key = HandleKey(store->h_->db.Path(), store->h_->readOnly);
    parked[key] = std::move(owned);
}

std::shared_ptr<ItemStore> ItemStore::ForThisThread(const std::string& path) {
    thread_local std::map<std::string, std::weak_ptr<ItemStore>> handles;
    const std::string canonical = CanonicalPath(path);
    const bool readOnly = readOnlyScopes > 0;
    const std::string key = HandleKey(canonical, readOnly);
    if (auto existing = handles[key].lock()) return existing;
    const StoreSettings settings = ReadSettings();
    std::unique_ptr<ItemStore> raw;
    if (auto it = parked.find(key); it != parked.end()) {
        raw = std::move(it->second);
        parked.erase(it);
        // A store file replaced under the same name needs a fresh handle.
        if (!SameFile(canonical, raw->h_->dev, raw->h_->ino)) raw.reset();
    }
    if (raw) {
        SetBusyWait(*raw->h_, settings);
        // A batch a write group kept open while nobody used the handle may
        // be due by now.
        raw->BatchTick();
    } else {
        // The constructor is private: make_unique cannot reach it.
        // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
        raw.reset(new ItemStore(OpenHandle(canonical, settings, false, readOnly)));
    }
    raw->h_->batchMaxAge = settings.batchAge;
    raw->h_->maxCopyBytes = settings.maxCopyBytes;
    std::shared_ptr<ItemStore> store(raw.release(), &ItemStore::Release);
    handles[key] = store;
    return store;
}

bool ItemStore::Create() {
    return Create(PlatformConfig::Current().StorePath());
}

bool ItemStore::Create(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        CheckStoreFile(path);
        (void)ForThisThread(path);  // a store, not some other database
        return false;
    }
    // The handle made here is closed at once: the settings of the handles
    // that use the store are read when they open it.
    (void)OpenHandle(CanonicalPath(path), StoreSettings{}, true);
    return true;
}

ItemStore::ReadOnly::ReadOnly() {
    ++readOnlyScopes;
}
ItemStore::ReadOnly::~ReadOnly() {
    --readOnlyScopes;
}

void ItemStore::StartRun() {
    budget.started = false;
    StartMailStoreRun();
}

const std::string& ItemStore::Path() const {
    return h_->db.Path();
}

// ---------------------------------------------------------------- transactions

void ItemStore::BeginTransaction() {
    if (h_->tx == Handle::Tx::kExplicit) {
        throw Error(err::kAdoFeatureNotAvailable,
                    platform::Describe("BeginTrans", h_->db.Path(), "a transaction is already open",
                                       err::kAdoFeatureNotAvailable));
    }
    FlushBatch();
    h_->db.Exec("BEGIN IMMEDIATE");
    h_->tx = Handle::Tx::kExplicit;
}

void ItemStore::CommitTransaction() {
    if (h_->tx != Handle::Tx::kExplicit) {
        throw Error(err::kFail, platform::Describe("CommitTrans", h_->db.Path(),
                                                   "no transaction is open", err::kFail));
    }
    h_->tx = Handle::Tx::kNone;
    if (!h_->db.InTransaction()) {
        // SQLite rolled it back after a failure (e.g. disk full).
        throw Error(err::kFail, platform::Describe("CommitTrans", h_->db.Path(),
                                                   "the transaction was rolled back", err::kFail));
    }
    try {
        h_->db.Exec("COMMIT");
    } catch (...) {
        h_->db.ExecQuietly("ROLLBACK");
        throw;
    }
}

void ItemStore::RollbackTransaction() {
    if (h_->tx != Handle::Tx::kExplicit) return;
    h_->tx = Handle::Tx::kNone;
    if (h_->db.InTransaction()) h_->db.ExecQuietly("ROLLBACK");
}

bool ItemStore::InTransaction() const {
    return h_->tx == Handle::Tx::kExplicit;
}

bool ItemStore::BeginRead() {
    if (h_->db.InTransaction()) return false;
    h_->db.Cached("BEGIN").Run();
    return true;
}

void ItemStore::EndRead() {
    if ((h_->tx == Handle::Tx::kNone || h_->tx == Handle::Tx::kMailBatch) && h_->db.InTransaction())
        h_->db.Cached("COMMIT").Run();
}

void ItemStore::BatchWrite() {
    // A batch that SQLite (or a move's failed take-back) rolled back is
    // reported before anything else is written: otherwise the next writes
    // would each commit by themselves, outside any batch, and the report
    // would then call them lost.
    if (h_->tx == Handle::Tx::kBatch && !h_->db.InTransaction()) FlushBatch();
    if (h_->tx == Handle::Tx::kMailBatch && !h_->db.InTransaction()) {
        // The batch's first write of this store's own.
        h_->db.Exec("BEGIN IMMEDIATE");
        h_->tx = Handle::Tx::kBatch;
    }
    if (h_->tx == Handle::Tx::kNone && !h_->db.InTransaction()) {
        h_->db.Exec("BEGIN IMMEDIATE");
        StartBatch(this, *h_, Handle::Tx::kBatch);
    }
    if (BatchOpen(*h_)) ++h_->batchWrites;
}

void ItemStore::BatchDeleteOf(int64_t id) {
    if (!MappedNamespaces::IsMapped(id)) {
        BatchWrite();
        return;
    }
    if (h_->tx == Handle::Tx::kNone) StartBatch(this, *h_, Handle::Tx::kMailBatch);
    if (BatchOpen(*h_)) ++h_->batchWrites;
}

void ItemStore::BatchTick() {
    if (!BatchOpen(*h_)) return;
    if (h_->batchWrites >= (writeGroups > 0 ? kGroupMaxWrites : kBatchMaxWrites) ||
        std::chrono::steady_clock::now() - h_->batchStart >= h_->batchMaxAge) {
        FlushBatch();
    }
}

void ItemStore::FlushBatch() {
    std::exception_ptr failed;
    if (h_->tx == Handle::Tx::kMailBatch) {
        h_->tx = Handle::Tx::kNone;
        ForgetBatch(this);
    }
    if (h_->tx == Handle::Tx::kBatch) {
        h_->tx = Handle::Tx::kNone;
        ForgetBatch(this);
        try {
            // SQLite rolls a transaction back by itself after some failures
            // (a full disk): the batch's writes are gone, which must not
            // pass for a commit.
            if (!h_->db.InTransaction()) {
                throw Error(err::kFail,
                            platform::Describe("commit store writes", h_->db.Path(),
                                               "the batch was rolled back after a failed write",
                                               err::kFail));
            }
            h_->db.Exec("COMMIT");
        } catch (const Error& e) {
            h_->db.ExecQuietly("ROLLBACK");
            if (!lostCommit) lostCommit = e;
            failed = std::current_exception();
        } catch (...) {
            h_->db.ExecQuietly("ROLLBACK");
            failed = std::current_exception();
        }
    }
    // Then the mail stores' deletes are made durable, outside the write
    // transaction: a server may take up to its reply bound to answer, and
    // nobody else waits on this store meanwhile. No write of the batch
    // records a mail store's delete (a move removes its source and syncs
    // it before its entry says so). They go even when the commit failed:
    // none is left pending for a later caller.
    try {
        deletesFoundGone += static_cast<int64_t>(h_->mapped.Flush());
    } catch (...) {
        if (!failed) failed = std::current_exception();
    }
    if (failed) std::rethrow_exception(failed);
}

int64_t ItemStore::TakeDeletesFoundGone() {
    return std::exchange(deletesFoundGone, 0);
}

bool ItemStore::GroupSpansBatch() {
    // A folder of a mail store waits on its server, which must not happen
    // while this store is locked for writing: with mail stores configured,
    // a batch ends with its recordset as it does outside a group.
    return writeGroups > 0 && !h_->mapped.AnyMapped();
}

void ItemStore::SettleBatch() {
    if (GroupSpansBatch()) {
        BatchTick();
    } else {
        FlushBatch();
    }
}

ItemStore::WriteGroup::WriteGroup() {
    if (writeGroups++ == 0) lostCommit.reset();
}

ItemStore::WriteGroup::~WriteGroup() {
    if (--writeGroups > 0) return;
    try {
        Commit();
    } catch (const Error&) {
        // Kept in lostCommit: TakeLost tells it.
    }
}

void ItemStore::WriteGroup::Tick() {
    for (ItemStore* store : std::vector<ItemStore*>(openBatches)) store->BatchTick();
}

void ItemStore::WriteGroup::Commit() {
    std::optional<Error> first;
    for (ItemStore* store : std::vector<ItemStore*>(openBatches)) {
        try {
            store->FlushBatch();
        } catch (const Error& e) {
            if (!first) first = e;
        }
    }
    if (first) throw *first;
}

bool ItemStore::WriteGroup::Idle() {
    return openBatches.empty();
}

std::optional<Error> ItemStore::WriteGroup::TakeLost() {
    std::optional<Error> lost;
    lost.swap(lostCommit);
    return lost;
}

// ---------------------------------------------------------------- tree

ItemStore::ScopedRead::ScopedRead(ItemStore& store) : store_(store), began_(store.BeginRead()) {}

ItemStore::ScopedRead::~ScopedRead() {
    if (!began_) return;
    try {
        store_.EndRead();
    } catch (const Error&) {
        // Ending a read loses nothing; the next statement tries again.
    }
}

std::optional<ItemRow> ItemStore::Lookup(const std::vector<std::string>& segments,
                                         std::vector<std::string>* storedPath) {
    if (storedPath != nullptr) storedPath->clear();
    if (!segments.empty() && segments.size() <= kJoinedLookupDepth && !h_->mapped.AnyMapped()) {
        // Every node is the store's own: one statement walks down the name
        // index from the top, a join a level, and reads only the last
        // node's row from the table (rows of messages lie scattered over
        // the file; a run finds two of them by URL for every message it
        // moves). One statement is one snapshot, and a run looks up every
        // folder it sweeps three times: a statement a level, inside a read
        // transaction of their own, cost three times as much.
        const size_t depth = segments.size();
        if (h_->lookupSql.size() < depth) h_->lookupSql.resize(depth);
        std::string& sql = h_->lookupSql[depth - 1];
        if (sql.empty()) {
            // The row, then the names of the nodes above it.
            sql = "SELECT " + RowColumnsOf("i" + std::to_string(depth - 1), h_->version);
            for (size_t i = 0; i + 1 < depth; ++i) sql += ", i" + std::to_string(i) + ".name";
            sql += " FROM items i0";
            for (size_t i = 1; i < depth; ++i) {
                const std::string n = std::to_string(i);
                sql += " JOIN items i" + n + " ON i" + n + ".parent = i" + std::to_string(i - 1) +
                       ".id AND i" + n + ".key = ?" + std::to_string(i + 1);
            }
            sql += " WHERE i0.parent = 0 AND i0.key = ?1";
        }
        std::vector<std::string> keys;
        keys.reserve(depth);
        for (const auto& segment : segments) keys.push_back(FoldName(segment));
        // A run looks up each folder it sweeps three times in a row (its
        // connection, its record, its query), mostly inside the batch that
        // holds its writes, where nobody else writes: the answer stands
        // until this handle changes a row or the batch ends.
        Handle::FoundPath& last = h_->lastFound;
        const bool writing = h_->db.InWriteTransaction();
        if (writing && last.valid && last.serial == h_->db.ViewSerial() && last.keys == keys) {
            if (storedPath != nullptr) *storedPath = last.names;
            return last.row;
        }
        last.valid = false;
        auto s = h_->db.Cached(sql);
        for (size_t i = 0; i < depth; ++i) s.Bind(static_cast<int>(i + 1), keys[i]);
        if (!s.Step()) return std::nullopt;
        ItemRow row = RowOf(s);
        std::vector<std::string> names;
        names.reserve(depth);
        for (size_t i = 0; i + 1 < depth; ++i)
            names.push_back(s.Text(static_cast<int>(kRowColumnCount + i)));
        names.push_back(row.name);
        if (storedPath != nullptr) *storedPath = names;
        if (writing) last = {true, h_->db.ViewSerial(), std::move(keys), row, std::move(names)};
        return row;
    }
    const ScopedRead together(*this);
    std::optional<ItemRow> row;
    std::vector<std::string> names;  // as stored, down to row
    int64_t parent = 0;
    auto s =
        h_->db.Cached("SELECT " + h_->rowColumns + " FROM items WHERE parent = ?1 AND key = ?2");
    for (size_t i = 0; i < segments.size(); ++i) {
        if (row && row->foreign) {
            row = h_->mapped.Child(row->id, segments[i]);
            if (!row) return std::nullopt;
            continue;
        }
        s.Reset();
        s.Bind(1, parent).Bind(2, FoldName(segments[i]));
        if (s.Step()) {
            row = RowOf(s);
            names.push_back(row->name);
            parent = row->id;
            continue;
        }
        // A mailbox the store does not hold itself may be its mail store's.
        if (i != 2 || row->kind != ItemKind::kMailboxContainer) return std::nullopt;
        MailStore* backend = h_->mapped.BackendOf(names[0]);
        if (backend == nullptr) return std::nullopt;
        row = h_->mapped.Mailbox(*backend, *row, names, segments[i]);
        if (!row) return std::nullopt;
    }
    return row;
}

ItemRow ItemStore::Require(const std::vector<std::string>& segments, const std::string& url) {
    auto row = Lookup(segments);
    if (row) return *row;
    // A mail server that refused the mailbox's login has said why; the
    // error carries its answer and its number (a mailbox not reached is no
    // absent one), not only the absence it led to.
    if (segments.size() >= 3) {
        if (MailStore* backend = h_->mapped.BackendOf(segments[0])) {
            if (const auto why = backend->WhyNoMailbox(segments[2])) {
                const bool absent = why->Number() == err::kNotFound;
                throw Error(why->Number(), platform::Describe("open", url,
                                                              (absent ? "no such item: "
                                                                      : "mailbox not reached: ") +
                                                                  why->Description(),
                                                              why->Number()));
            }
        }
    }
    throw Error(err::kNotFound, platform::Describe("open", url, "no such item", err::kNotFound));
}

std::optional<ItemRow> ItemStore::Get(int64_t id) {
    if (MappedNamespaces::IsMapped(id)) {
        if (h_->mapped.Find(id) == nullptr) return std::nullopt;
        return h_->mapped.Refresh(id);
    }
    auto s = h_->db.Cached("SELECT " + h_->rowColumns + " FROM items WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return RowOf(s);
}

std::vector<std::string> ItemStore::PathOf(int64_t id) {
    if (MappedNamespaces::IsMapped(id)) {
        const auto* node = h_->mapped.Find(id);
        return node != nullptr ? node->urlPath : std::vector<std::string>();
    }
    // One point lookup per level, up to the namespace: a run asks this for
    // every folder it sweeps, and a recursive query sorting its few rows
    // cost twice as much.
    const ScopedRead together(*this);
    std::vector<std::string> names;
    auto s = h_->db.Cached("SELECT parent, name FROM items WHERE id = ?1");
    for (int64_t at = id; at != 0;) {
        if (names.size() >= kMaxDepth) {
            throw Error(err::kCorrupt,
                        platform::Describe("find the path of item", std::to_string(id),
                                           "its parents loop", err::kCorrupt));
        }
        s.Reset();
        s.Bind(1, at);
        if (!s.Step()) break;
        names.push_back(s.Text(1));
        at = s.Int(0);
    }
    std::reverse(names.begin(), names.end());
    return names;
}

std::vector<std::string> ItemStore::Namespaces() {
    std::vector<std::string> names;
    auto s = h_->db.Cached("SELECT name FROM items WHERE parent = 0 ORDER BY id");
    while (s.Step()) names.push_back(s.Text(0));
    return names;
}

namespace {

// The id for a new item of folder parent: the next of the folder's extent,
// or the first of a new one. Inside the caller's transaction; a number
// taken for an insert that then fails is left unused.
int64_t NewItemId(ItemStore::Handle& h, int64_t parent) {
    {
        auto s = h.db.Cached(
            "UPDATE extents SET next = next + 1 WHERE folder = ?1 AND next <= last"
            " RETURNING next - 1");
        s.Bind(1, parent);
        if (s.Step()) return s.Int(0);
    }
    // Past every id handed out: AUTOINCREMENT's own counter, moved on by
    // the whole extent so that the ids of folders and of other extents
    // come after it. A store that never had an item has no counter yet.
    int64_t last = 0;
    {
        auto s = h.db.Cached(
            "UPDATE sqlite_sequence SET seq = max(seq, coalesce((SELECT max(id) FROM items), 0))"
            " + ?1 WHERE name = 'items' RETURNING seq");
        s.Bind(1, kExtentIds);
        if (s.Step()) last = s.Int(0);
    }
    if (last == 0) {
        auto s = h.db.Cached(
            "INSERT INTO sqlite_sequence(name, seq)"
            " VALUES('items', coalesce((SELECT max(id) FROM items), 0) + ?1) RETURNING seq");
        s.Bind(1, kExtentIds);
        if (s.Step()) last = s.Int(0);
    }
    const int64_t first = last - kExtentIds + 1;
    auto s = h.db.Cached(
        "INSERT INTO extents(folder, next, last) VALUES(?1, ?2, ?3)"
        " ON CONFLICT(folder) DO UPDATE SET next = excluded.next, last = excluded.last");
    s.Bind(1, parent).Bind(2, first + 1).Bind(3, last).Run();
    return first;
}

int64_t InsertNode(ItemStore::Handle& h, int64_t parent, const std::string& name, ItemKind kind,
                   const std::optional<std::string>& contentClass) {
    const int64_t now = NowSeconds();
    // Folders take the next id; items go into their folder's extent.
    std::optional<SqliteDb::Transaction> together;
    if (kind == ItemKind::kItem && !h.db.InTransaction()) together.emplace(h.db);
    auto s = h.db.Cached(
        "INSERT INTO items(id, parent, name, key, kind, hidden, content_class, created, modified)"
        " VALUES(?7, ?1, ?2, ?3, ?4, 0, ?5, ?6, ?6)");
    s.Bind(1, parent).Bind(2, name).Bind(3, FoldName(name)).Bind(4, static_cast<int64_t>(kind));
    BindOptional(s, 5, contentClass).Bind(6, now);
    if (kind == ItemKind::kItem) {
        s.Bind(7, NewItemId(h, parent));
    } else {
        s.BindNull(7);
    }
    s.Run();
    const int64_t id = h.db.LastInsertId();
    if (together) together->Commit();
    return id;
}

// Mailboxes and folders of a mapped namespace are the mail server's to make
// and remove.
[[noreturn]] void RefuseMailStoreChange(const std::string& operation, const std::string& what) {
    throw Error(err::kPermissionDeniedDb,
                platform::Describe(operation, what,
                                   "the namespace is held by a mail store: its mailboxes, folders "
                                   "and properties are the mail server's to change",
                                   err::kPermissionDeniedDb));
}

[[noreturn]] void Exists(const std::string& what) {
    throw Error(
        err::kResourceExists,
        platform::Describe("create", what, "an item of that name exists", err::kResourceExists));
}

}  // namespace

int64_t ItemStore::CreateNamespace(const std::string& name) {
    CheckName(name);
    SqliteDb::Transaction tx(h_->db);
    if (Child(*h_, 0, name)) Exists(name);
    const int64_t id = InsertNode(*h_, 0, name, ItemKind::kNamespace, "urn:content-class:folder");
    InsertNode(*h_, id, "MBX", ItemKind::kMailboxContainer, "urn:content-class:folder");
    tx.Commit();
    return id;
}

int64_t ItemStore::CreateMailbox(const std::string& ns, const std::string& alias,
                                 bool systemMailbox, const std::string& inboxName) {
    CheckName(alias);
    CheckName(inboxName);
    // A system mailbox (store events, registrations) lives in the store
    // even in a mapped namespace, and so may a mailbox the mail server has
    // not (the archive a move run fills). One it has stays the server's:
    // the store's own would hide it from every run.
    if (MailStore* backend = h_->mapped.BackendOf(ns); !systemMailbox && backend != nullptr) {
        if (backend->FindMailbox(alias)) {
            throw Error(err::kResourceExists,
                        platform::Describe("create mailbox", ns + "/MBX/" + alias,
                                           "the mail store (" + backend->Describe() +
                                               ") has a mailbox of that name: it is the mail "
                                               "server's",
                                           err::kResourceExists));
        }
    }
    SqliteDb::Transaction tx(h_->db);
    auto container = Lookup({ns, "MBX"});
    if (!container) {
        throw Error(err::kNotFound, platform::Describe("create mailbox", ns + "/MBX/" + alias,
                                                       "no such namespace", err::kNotFound));
    }
    if (Child(*h_, container->id, alias)) Exists(ns + "/MBX/" + alias);
    const int64_t id =
        InsertNode(*h_, container->id, alias, ItemKind::kMailbox, "urn:content-class:folder");
    for (const auto& f : kStandardFolders) {
        const bool inbox = f.name == kStandardFolders[0].name;
        if (!inbox && FoldName(f.name) == FoldName(inboxName))
            Exists(ns + "/MBX/" + alias + "/" + inboxName + " (a standard folder)");
        InsertNode(*h_, id, inbox ? inboxName : std::string(f.name), ItemKind::kFolder,
                   "urn:content-class:folder");
    }
    if (inboxName != kStandardFolders[0].name) {
        // The mailbox remembers the folder's name under the property that
        // gives its URL (shown as that URL, never as the name).
        auto p = h_->db.Cached(
            "INSERT INTO props(item, key, name, type, value) VALUES(?1, ?2, ?2, ?3, ?4)");
        p.Bind(1, id).Bind(2, std::string(kStandardFolders[0].property));
        p.Bind(3, int64_t{kString}).Bind(4, inboxName).Run();
        auto m = h_->db.Cached("UPDATE items SET has_props = 1 WHERE id = ?1");
        m.Bind(1, id).Run();
    }
    if (systemMailbox) {
        const int64_t events =
            InsertNode(*h_, id, "StoreEvents", ItemKind::kFolder, "urn:content-class:folder");
        InsertNode(*h_, events, "GlobalEvents", ItemKind::kFolder, "urn:content-class:folder");
    }
    tx.Commit();
    return id;
}

int64_t ItemStore::CreateFolder(int64_t parent, const std::string& name) {
    CheckName(name);
    if (MappedNamespaces::IsMapped(parent)) RefuseMailStoreChange("create folder", name);
    SqliteDb::Transaction tx(h_->db);
    RequireFolder(*this, parent);
    if (Child(*h_, parent, name)) Exists(name);
    const int64_t id = InsertNode(*h_, parent, name, ItemKind::kFolder, "urn:content-class:folder");
    tx.Commit();
    return id;
}

int64_t ItemStore::ReplaceItem(int64_t parent, const std::string& name) {
    CheckName(name);
    if (MappedNamespaces::IsMapped(parent)) RefuseMailStoreChange("create item", name);
    SqliteDb::Transaction tx(h_->db);
    RequireFolder(*this, parent);
    if (auto old = Child(*h_, parent, name)) {
        if (old->IsFolder()) Exists(name + " (a folder)");
        auto d = h_->db.Cached("DELETE FROM items WHERE id = ?1");
        d.Bind(1, old->id).Run();
    }
    const int64_t id = InsertNode(*h_, parent, name, ItemKind::kItem, std::nullopt);
    tx.Commit();
    return id;
}

namespace {}  // namespace

int64_t ItemStore::SaveMessage(int64_t parent, const std::string& rfc822, int64_t receivedUtc,
                               const std::string& name) {
    if (MappedNamespaces::IsMapped(parent)) {
        // The mail store names the message itself.
        const auto& folder = h_->mapped.Require(parent, "save message");
        if (folder.row.kind == ItemKind::kItem) RefuseMailStoreChange("save message", name);
        const std::string key = folder.backend->Append(folder.folder, rfc822, receivedUtc, "");
        return h_->mapped
            .MessageRow(parent,
                        MailStoreMessage{key, receivedUtc, static_cast<int64_t>(rfc822.size()), ""})
            .id;
    }
    const std::string itemName = name.empty() ? NewItemName(*h_) : name;
    CheckName(itemName);
    RequireFolder(*this, parent);
    return InsertMessage(*h_, parent, itemName, rfc822, receivedUtc);
}

namespace {

// Why a move of id into toFolder changed nothing: the destination is no
// folder, or else the item is no longer in its folder.
[[noreturn]] void RefuseMove(ItemStore& store, int64_t id, int64_t toFolder) {
    (void)RequireFolder(store, toFolder);
    NoLongerInFolder(id);
}

}  // namespace

// Removes the manifest entry of a move that did not happen. If even that
// fails, the batch is rolled back whole rather than commit an entry for a
// message that never moved; its commit then reports the loss.
void ItemStore::TakeBackEntry(int64_t entry) {
    try {
        h_->db.Cached("DELETE FROM moves WHERE id = ?1").Bind(1, entry).Run();
    } catch (const Error&) {
        h_->db.ExecQuietly("ROLLBACK");
    }
}

ItemRow ItemStore::MoveItem(int64_t id, int64_t fromFolder, int64_t toFolder, int64_t run,
                            const std::vector<std::string>* sourcePath) {
    switch (WayBetween(*h_, id, toFolder)) {
        case MoveWay::kRow:
            break;
        case MoveWay::kWithinMailStore:
            return MoveMailStoreItem(id, fromFolder, toFolder, run, sourcePath);
        case MoveWay::kAcrossStores:
            return MoveAcrossStores(id, fromFolder, toFolder, run, sourcePath);
    }
    const std::string name = NewItemName(*h_);
    const int64_t now = NowSeconds();
    BatchWrite();
    // With a manifest entry the move is two statements, and no savepoint
    // joins them: a savepoint copies every page the move touches (the
    // row's, both indexes by folder, the manifest's) into its undo
    // journal first, which with a store's large pages was a quarter of what
    // a move cost. Each statement changes one row, so SQLite checks its
    // constraints before it writes and needs no undo of its own; a write
    // that fails halfway (a full disk) takes the whole batch back, which
    // the batch's commit reports. What is left is a move whose second
    // statement fails cleanly: its entry is taken back by hand.
    // The row as it stands in its folder: the entry records its name and
    // size there, and the caller gets it back as moved. No entry is written
    // for an item that is no longer there.
    ItemRow row;
    {
        auto s = h_->db.Cached("SELECT " + h_->rowColumns +
                               " FROM items WHERE id = ?1 AND parent = ?2 AND kind = 0");
        s.Bind(1, id).Bind(2, fromFolder);
        if (!s.Step()) RefuseMove(*this, id, toFolder);
        row = RowOf(s);
    }
    int64_t entry = 0;
    if (run != 0) {
        auto e = h_->db.Cached(
            "INSERT INTO moves(run, item, source_folder, source_path, source_name,"
            " destination_folder, destination_name, size, moved_at)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        e.Bind(1, run).Bind(2, id).Bind(3, fromFolder);
        e.Bind(4, JoinPath(sourcePath ? *sourcePath : PathOf(fromFolder))).Bind(5, row.name);
        e.Bind(6, toFolder).Bind(7, name).Bind(8, row.size).Bind(9, now).Run();
        entry = h_->db.LastInsertId();
    }
    try {
        // One statement: the item is in the new folder and out of the old
        // one together, or (any failure, a crash) still in the old one only.
        // The destination is checked in the same statement, so a folder
        // deleted by another process a moment before takes no orphan.
        auto s = h_->db.Cached(
            "UPDATE items SET parent = ?2, name = ?3, key = ?4, created = ?5, modified = ?5"
            " WHERE id = ?1 AND parent = ?6 AND kind = 0"
            " AND EXISTS (SELECT 1 FROM items WHERE id = ?2 AND kind <> 0)");
        s.Bind(1, id).Bind(2, toFolder).Bind(3, name).Bind(4, FoldName(name));
        s.Bind(5, now).Bind(6, fromFolder).Run();
        if (h_->db.Changes() != 1) RefuseMove(*this, id, toFolder);
    } catch (...) {
        if (entry != 0) TakeBackEntry(entry);
        throw;
    }
    BatchTick();
    row.parent = toFolder;
    row.name = name;
    row.created = row.modified = now;
    return row;
}

bool ItemStore::DeleteItem(int64_t id) {
    if (MappedNamespaces::IsMapped(id)) {
        const auto* node = h_->mapped.Find(id);
        if (node == nullptr) return false;
        if (node->row.kind != ItemKind::kItem)
            RefuseMailStoreChange("delete folder", JoinPath(node->urlPath));
        return node->backend->Delete(node->folder, node->key);
    }
    // The common case, one message, in one cheap statement; a folder takes
    // its whole subtree in one statement too (atomic by itself).
    {
        auto s = h_->db.Cached("DELETE FROM items WHERE id = ?1 AND kind = 0");
        s.Bind(1, id).Run();
    }
    if (h_->db.Changes() > 0) return true;
    // The folders' extents go first: a crash between the two statements
    // leaves folders that get a new extent, never extents of folders gone.
    constexpr const char* kSubtree =
        "WITH RECURSIVE sub(id) AS (SELECT id FROM items WHERE id = ?1"
        " UNION ALL SELECT i.id FROM items i JOIN sub ON i.parent = sub.id)";
    h_->db.Cached(std::string(kSubtree) + " DELETE FROM extents WHERE folder IN sub")
        .Bind(1, id)
        .Run();
    auto s = h_->db.Cached(std::string(kSubtree) + " DELETE FROM items WHERE id IN sub");
    s.Bind(1, id).Run();
    return h_->db.Changes() > 0;
}

// ---------------------------------------------------------------- properties

Variant ItemStore::Value(const ItemRow& row, const std::string& name, UrlScheme scheme) {
    return Value(row, name, FoldName(name), scheme);
}

Variant ItemStore::Value(const ItemRow& row, const std::string& name, std::string_view k,
                         UrlScheme scheme) {
    if (k == "dav:href") return Variant(FormatStoreUrl(scheme, ThisServerFqdn(), PathOf(row.id)));
    if (k == "dav:displayname") return Variant(row.name);
    if (k == "dav:creationdate") return Variant(FromStoreTime(row.created));
    if (k == "dav:getlastmodified") return Variant(FromStoreTime(row.modified));
    if (k == "dav:ishidden") return Variant(row.hidden);
    if (k == "dav:iscollection" || k == "dav:isfolder") return Variant(row.IsFolder());
    if (k == "dav:getcontentlength") {
        // The length of the content stream; the type holds 2 GB, far beyond
        // any message the store keeps.
        return Variant(static_cast<int32_t>(std::min<int64_t>(row.size, INT32_MAX)));
    }
    if (k == "dav:contentclass") {
        if (row.contentClass) return Variant(*row.contentClass);
        return row.IsFolder() ? Variant("urn:content-class:folder") : Variant();
    }
    if (k == "dav:parentname") {
        if (row.parent == 0) return Variant();
        return Variant(FormatStoreUrl(scheme, ThisServerFqdn(), PathOf(row.parent)));
    }
    if (k == kReceived) return row.received ? Variant(FromStoreTime(*row.received)) : Variant();
    if (row.kind == ItemKind::kMailbox && row.foreign) {
        if (StandardFolderFor(k) == nullptr) return Variant();
        const auto folder = h_->mapped.StandardFolder(row.id, std::string(k));
        if (!folder) return Variant();
        return Variant(FormatStoreUrl(scheme, ThisServerFqdn(), PathOf(folder->id)));
    }
    if (row.kind == ItemKind::kMailbox) {
        if (const auto* f = StandardFolderFor(k)) {
            auto child = Child(*h_, row.id, StandardFolderName(*this, row, *f));
            if (!child) return Variant();
            return Variant(FormatStoreUrl(scheme, ThisServerFqdn(), PathOf(child->id)));
        }
    }
    // Most items (every message) carry no custom property: no need to look.
    if (!row.hasProps) return Variant();
    return CustomValue(row.id, name);
}

std::vector<std::string> ItemStore::PropertyNames(const ItemRow& row) {
    std::vector<std::string> names(kIntrinsic.begin(), kIntrinsic.end());
    if (row.received) names.emplace_back(kReceived);
    if (row.foreign) {
        // A mail store's node carries no property of its own.
        if (row.kind != ItemKind::kMailbox) return names;
        for (const auto& f : kStandardFolders) {
            if (h_->mapped.StandardFolder(row.id, f.property)) names.emplace_back(f.property);
        }
        return names;
    }
    if (row.kind == ItemKind::kMailbox) {
        for (const auto& f : kStandardFolders) {
            if (Child(*h_, row.id, StandardFolderName(*this, row, f)))
                names.emplace_back(f.property);
        }
    }
    auto s = h_->db.Cached("SELECT name, key FROM props WHERE item = ?1 ORDER BY key");
    s.Bind(1, row.id);
    while (s.Step()) {
        // A mailbox's own name for a standard folder is not a property of its own.
        if (row.kind == ItemKind::kMailbox && StandardFolderFor(s.Text(1))) continue;
        names.push_back(s.Text(0));
    }
    return names;
}

Variant ItemStore::CustomValue(int64_t id, const std::string& name) {
    auto s = h_->db.Cached("SELECT type, value FROM props WHERE item = ?1 AND key = ?2");
    s.Bind(1, id).Bind(2, FoldName(name));
    if (!s.Step()) return Variant();
    return PropertyOf(s, 0, 1);
}

void ItemStore::WriteProperties(int64_t id,
                                const std::vector<std::pair<std::string, Variant>>& values) {
    if (MappedNamespaces::IsMapped(id))
        RefuseMailStoreChange("write properties", std::to_string(id));
    SqliteDb::Transaction tx(h_->db);
    auto row = Get(id);
    if (!row)
        throw Error(err::kNotFound, platform::Describe("write properties", std::to_string(id),
                                                       "no such item", err::kNotFound));
    for (const auto& [name, value] : values) {
        const std::string k = FoldName(name);
        if (k == "dav:ishidden") {
            auto s = h_->db.Cached("UPDATE items SET hidden = ?2 WHERE id = ?1");
            s.Bind(1, id).Bind(2, static_cast<int64_t>(!value.IsNull() && value.ToBool())).Run();
        } else if (k == "dav:contentclass") {
            auto s = h_->db.Cached("UPDATE items SET content_class = ?2 WHERE id = ?1");
            s.Bind(1, id);
            BindOptional(s, 2, value.IsNull() ? std::optional<std::string>() : value.ToString())
                .Run();
        } else if (k == kReceived) {
            auto s = h_->db.Cached("UPDATE items SET received = ?2 WHERE id = ?1");
            s.Bind(1, id);
            BindOptional(s, 2,
                         value.IsNull() ? std::optional<int64_t>() : ToStoreTime(value.ToDate()))
                .Run();
        } else if (IsIntrinsic(k) || (row->kind == ItemKind::kMailbox && StandardFolderFor(k))) {
            throw Error(err::kPermissionDeniedDb,
                        platform::Describe("write property", name, "the property is read-only",
                                           err::kPermissionDeniedDb));
        } else if (value.IsNull()) {
            auto s = h_->db.Cached("DELETE FROM props WHERE item = ?1 AND key = ?2");
            s.Bind(1, id).Bind(2, k).Run();
        } else {
            auto s = h_->db.Cached(
                "INSERT OR REPLACE INTO props(item, key, name, type, value) VALUES(?1, ?2, ?3, "
                "?4, ?5)");
            s.Bind(1, id).Bind(2, k).Bind(3, name);
            switch (value.Type()) {
                case VariantType::String:
                    s.Bind(4, int64_t{kString}).Bind(5, value.AsString());
                    break;
                case VariantType::Int16:
                    s.Bind(4, int64_t{kInt16}).Bind(5, int64_t{value.ToInt16()});
                    break;
                case VariantType::Int32:
                    s.Bind(4, int64_t{kInt32}).Bind(5, int64_t{value.ToInt32()});
                    break;
                case VariantType::Bool:
                    s.Bind(4, int64_t{kBool}).Bind(5, static_cast<int64_t>(value.ToBool()));
                    break;
                case VariantType::Date:
                    s.Bind(4, int64_t{kDateCode}).Bind(5, ToStoreTime(value.ToDate()));
                    break;
                case VariantType::Double:
                    s.Bind(4, int64_t{kDouble}).Bind(5, value.ToDouble());
                    break;
                case VariantType::Bytes: {
                    const auto& b = value.AsBytes();
                    s.Bind(4, int64_t{kBytes}).BindBlob(5, std::string(b.begin(), b.end()));
                    break;
                }
                case VariantType::Null:
                    break;
            }
            s.Run();
        }
    }
    auto m = h_->db.Cached(
        "UPDATE items SET modified = ?2, has_props = EXISTS(SELECT 1 FROM props WHERE item = "
        "?1) WHERE id = ?1");
    m.Bind(1, id).Bind(2, NowSeconds()).Run();
    tx.Commit();
}

std::string ItemStore::Content(int64_t id) {
    if (MappedNamespaces::IsMapped(id)) {
        const auto& node = h_->mapped.Require(id, "read content");
        if (node.row.kind != ItemKind::kItem) return {};
        return node.backend->Content(node.folder, node.key);
    }
    auto s = h_->db.Cached(ContentSql(h_->version, "i.id = ?1"));
    s.Bind(1, id);
    if (!s.Step())
        throw Error(err::kNotFound, platform::Describe("read content", std::to_string(id),
                                                       "no such item", err::kNotFound));
    return s.Text(0);
}

void ItemStore::SetContent(int64_t id, const std::string& bytes) {
    if (MappedNamespaces::IsMapped(id)) RefuseMailStoreChange("write content", std::to_string(id));
    std::optional<SqliteDb::Transaction> together;
    if (!h_->db.InTransaction()) together.emplace(h_->db);
    auto s = h_->db.Cached(
        "UPDATE items SET content = NULL, content_size = ?2, modified = ?3 WHERE id = ?1");
    s.Bind(1, id).Bind(2, static_cast<int64_t>(bytes.size())).Bind(3, NowSeconds()).Run();
    if (h_->db.Changes() == 0) {
        throw Error(err::kNotFound, platform::Describe("write content", std::to_string(id),
                                                       "no such item", err::kNotFound));
    }
    auto c = h_->db.Cached("INSERT OR REPLACE INTO contents(item, data) VALUES(?1, ?2)");
    c.Bind(1, id).BindBlob(2, bytes).Run();
    if (together) together->Commit();
}

// ---------------------------------------------------------------- scans

std::vector<int64_t> ItemStore::FolderSubtree(int64_t folder) {
    if (MappedNamespaces::IsMapped(folder)) return h_->mapped.Subtree(folder);
    std::vector<int64_t> ids;
    auto s = h_->db.Cached(
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL"
        " SELECT i.id FROM items i JOIN sub ON i.parent = sub.id WHERE i.kind <> 0)"
        " SELECT id FROM sub");
    s.Bind(1, folder);
    while (s.Step()) ids.push_back(s.Int(0));
    if (!h_->mapped.AnyMapped()) return ids;
    // The mailboxes of a mapped namespace's mail store, below its "MBX".
    const size_t embedded = ids.size();
    for (size_t i = 0; i < embedded; ++i) {
        for (const auto& mailbox : MappedMailboxes(ids[i])) {
            for (int64_t id : h_->mapped.Subtree(mailbox.id)) ids.push_back(id);
        }
    }
    return ids;
}

std::vector<ItemRow> ItemStore::MappedMailboxes(int64_t container) {
    // Asked for every folder a scan reads: known after the first time.
    const auto known = h_->mapped.KnownContainer(container);
    if (known && *known == nullptr) return {};
    const auto row = Get(container);
    MailStore* backend = nullptr;
    std::vector<std::string> path;
    if (row && row->kind == ItemKind::kMailboxContainer) {
        path = PathOf(container);
        backend = h_->mapped.BackendOf(path[0]);
    }
    h_->mapped.NoteContainer(container, backend);
    if (backend == nullptr) return {};
    // A mailbox the store holds itself wins over the mail store's.
    std::vector<std::string> shadowed;
    auto s = h_->db.Cached("SELECT key FROM items WHERE parent = ?1 AND kind = ?2");
    s.Bind(1, container).Bind(2, static_cast<int64_t>(ItemKind::kMailbox));
    while (s.Step()) shadowed.push_back(s.Text(0));
    return h_->mapped.Mailboxes(*backend, *row, path, shadowed);
}

std::vector<ItemRow> ItemStore::Children(const std::vector<int64_t>& parents,
                                         const std::string& sqlFilter,
                                         const std::vector<SqlParam>& params, bool mailStores) {
    std::vector<ItemRow> rows;
    const std::string sql = "SELECT " + h_->rowColumns + " FROM items WHERE parent = ?1" +
                            (sqlFilter.empty() ? std::string() : " AND (" + sqlFilter + ")");
    const bool anyMapped = mailStores && h_->mapped.AnyMapped();
    for (int64_t parent : parents) {
        if (MappedNamespaces::IsMapped(parent)) {
            // Every child, unfiltered (row.foreign): the caller evaluates.
            for (auto& row : h_->mapped.Children(parent)) rows.push_back(std::move(row));
            continue;
        }
        const size_t first = rows.size();
        auto s = h_->db.Cached(sql);
        s.Bind(1, parent);
        for (size_t i = 0; i < params.size(); ++i) BindParam(s, static_cast<int>(i) + 2, params[i]);
        while (s.Step()) rows.push_back(RowOf(s));
        std::sort(rows.begin() + static_cast<std::ptrdiff_t>(first), rows.end(),
                  [](const ItemRow& a, const ItemRow& b) { return a.id < b.id; });
        if (anyMapped) {
            for (auto& row : MappedMailboxes(parent)) rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::vector<ItemRow> ItemStore::ItemsIn(int64_t folder) {
    auto rows = Children({folder}, "kind = ?", {int64_t{static_cast<int>(ItemKind::kItem)}});
    std::erase_if(rows, [](const ItemRow& r) { return r.foreign && r.IsFolder(); });
    return rows;
}

std::vector<ItemRow> ItemStore::ItemsOfContentClass(int64_t folder,
                                                    const std::string& contentClass) {
    auto rows = Children({folder}, "kind = ? AND content_class = ?",
                         {int64_t{static_cast<int>(ItemKind::kItem)}, contentClass});
    std::erase_if(rows, [&](const ItemRow& r) {
        return r.foreign && (r.IsFolder() || r.contentClass != contentClass);
    });
    return rows;
}

std::vector<ItemRow> ItemStore::MailboxesHaving(int64_t container, const std::string& childName) {
    // The store's own mailboxes only: a mail store keeps no store events,
    // and the event service asks often.
    return Children(
        {container},
        "kind = ? AND EXISTS (SELECT 1 FROM items AS e WHERE e.parent = items.id AND e.key = ?)",
        {int64_t{static_cast<int>(ItemKind::kMailbox)}, FoldName(childName)}, false);
}

// ---------------------------------------------------------------- shared with the moves

// A statement reading the content of the item (items i) that where finds.
std::string ContentSql(int version, const std::string& where) {
    return version >= 7 ? "SELECT coalesce(i.content, c.data) FROM items i"
                          " LEFT JOIN contents c ON c.item = i.id WHERE " +
                              where
                        : "SELECT i.content FROM items i WHERE " + where;
}

// The size of the content of the items named t, in a store of version.
std::string SizeOf(const std::string& t, int version) {
    return version >= 7 ? "coalesce(" + t + ".content_size, length(" + t + ".content))"
                        : "length(" + t + ".content)";
}

// A message as the store keeps one (content class
// "urn:content-class:message", its bytes as its content, its received
// time) under name in folder parent. Returns its id; raises
// err::kResourceExists when the name is taken.
int64_t InsertMessage(ItemStore::Handle& h, int64_t parent, const std::string& name,
                      const std::string& rfc822, int64_t receivedUtc) {
    std::optional<SqliteDb::Transaction> together;
    if (!h.db.InTransaction()) together.emplace(h.db);
    const int64_t id =
        InsertMessageRow(h, parent, name, static_cast<int64_t>(rfc822.size()), receivedUtc);
    auto c = h.db.Cached("INSERT INTO contents(item, data) VALUES(?1, ?2)");
    c.Bind(1, id).BindBlob(2, rfc822).Run();
    if (together) together->Commit();
    return id;
}

int64_t InsertMessageRow(ItemStore::Handle& h, int64_t parent, const std::string& name,
                         int64_t size, int64_t receivedUtc) {
    const int64_t now = NowSeconds();
    auto s = h.db.Cached(
        "INSERT INTO items(id, parent, name, key, kind, hidden, content_class, created, modified, "
        "received, content_size)"
        " VALUES(?7, ?1, ?2, ?3, 0, 0, 'urn:content-class:message', ?4, ?4, ?5, ?6)");
    s.Bind(1, parent).Bind(2, name).Bind(3, FoldName(name)).Bind(4, now).Bind(5, receivedUtc);
    s.Bind(6, size).Bind(7, NewItemId(h, parent));
    try {
        s.Run();
    } catch (const Error& e) {
        if (e.Number() == err::kResourceExists) Exists(name);
        throw;
    }
    return h.db.LastInsertId();
}

// A folder path as the manifest keeps it: names joined by "/" (no name
// holds one).
std::string JoinPath(const std::vector<std::string>& segments) {
    std::string out;
    for (const auto& seg : segments) out += (out.empty() ? "" : "/") + seg;
    return out;
}

// A new unique item name the store chooses: "<32 hex>.EML", the time in
// microseconds (most significant digit first, one more than the last name's
// when the clock has not moved on) and then 64 random bits. The names a
// handle gives therefore sort in the order it gave them, so the name index
// of a folder that many messages are moved into grows at its end: with
// names wholly random, a run moving thousands of messages into one Inbox
// dirtied every page of that folder's stretch of the index in every batch,
// and wrote half as much again as it does now.
std::string NewItemName(ItemStore::Handle& h) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto now = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
    const uint64_t micros = std::max(now, h.lastNameMicros + 1);
    h.lastNameMicros = micros;
    std::string name(32, '0');
    uint64_t r = h.rng();
    for (size_t i = 0; i < 16; ++i, r >>= 4) {
        name[15 - i] = kHex[(micros >> (4 * i)) & 15];
        name[16 + i] = kHex[r & 15];
    }
    return name + ".EML";
}

[[noreturn]] void NoLongerInFolder(int64_t id) {
    throw Error(err::kNotFound, platform::Describe("move item", std::to_string(id),
                                                   "the item is no longer in its folder (moved "
                                                   "or deleted meanwhile); nothing was copied",
                                                   err::kNotFound));
}

int64_t NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

ItemRow RequireFolder(ItemStore& store, int64_t id) {
    auto row = store.Get(id);
    if (!row || !row->IsFolder()) {
        throw Error(err::kNotFound, platform::Describe("open folder", std::to_string(id),
                                                       "no such folder", err::kNotFound));
    }
    return *row;
}

std::optional<ItemRow> Child(ItemStore::Handle& h, int64_t parent, const std::string& name) {
    auto s = h.db.Cached("SELECT " + h.rowColumns + " FROM items WHERE parent = ?1 AND key = ?2");
    s.Bind(1, parent).Bind(2, FoldName(name));
    if (!s.Step()) return std::nullopt;
    return RowOf(s);
}

}  // namespace localplatform
