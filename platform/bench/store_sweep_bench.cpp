// Benchmark of the sink's sweep on the item store. Runs one of:
//   access  through the ADO-shaped layer, for every mailbox: open the
//           folder, run the sweep's query for the cutoff and delete every
//           row with Recordset::Delete(adAffectCurrent);
//   floor   the same messages deleted directly in SQLite, one DELETE
//           statement and one transaction per folder;
//   bulk    the same messages deleted by one DELETE statement in one
//           transaction (the lowest possible figure, which holds the write
//           lock for the whole run and so is no way to run a store).
// Prints one line: mode, folders, rows deleted, wall seconds, CPU seconds
// (user + system), peak RSS (KiB).
// The store is the one named by the platform configuration (QUELLIX_CONFIG),
// made by "quellix-admin store generate-corpus".
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <string>

#include "base/testing/bench_args.h"
#include "base/testing/bench_report.h"
#include "base/testing/bench_timing.h"
#include "localplatform/config/platform_config.h"
#include "platform/ado.h"

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtCloser {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

std::string Alias(const std::string& prefix, long i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%06ld", prefix.c_str(), i);
    return buf;
}

// The sweep's query, built exactly as the sink builds it.
std::string SweepQuery(const std::string& folderUrl, const std::string& iso) {
    return std::string("select ") + " \"urn:schemas:mailheader:content-class\"" + ", \"DAV:href\"" +
           ", \"DAV:displayname\"" + ", \"DAV:creationdate\"" + ", \"DAV:getlastmodified\"" +
           " from scope ('" + "shallow" + " traversal of " + "\"" + folderUrl + "\"') " +
           " WHERE \"DAV:ishidden\" = false " + " AND \"DAV:iscollection\" = false " +
           " AND (\"urn:schemas:httpmail:datereceived\" <= CAST(\"" + iso + "\" as 'dateTime'))";
}

long RunAccess(const std::string& ns, const std::string& prefix, long mailboxes,
               const std::string& folder, const std::string& iso) {
    long deleted = 0;
    for (long i = 1; i <= mailboxes; ++i) {
        const std::string url =
            "file://./backofficestorage/" + ns + "/MBX/" + Alias(prefix, i) + "/" + folder;
        platform::Connection cnn;
        cnn.SetProvider("ExOLEDB.DataSource");
        cnn.SetConnectionString(url);
        cnn.Open(url, "", "", -1);
        platform::Record rec;
        rec.Open(url, &cnn, platform::adModeRead, platform::adFailIfNotExists,
                 platform::adOpenRecordUnspecified);
        platform::Recordset rs;
        rs.Open(SweepQuery(url, iso), cnn, -1, -1, -1);
        (void)rs.RecordCount();
        while (!rs.Eof()) {
            (void)rs.Fields("DAV:href").Value();
            (void)rs.Fields("DAV:displayname").Value();
            (void)rs.Fields("DAV:creationdate").Value();
            (void)rs.Fields("DAV:getlastmodified").Value();
            rs.Delete(platform::adAffectCurrent);
            ++deleted;
            (void)rs.RecordCount();
            rs.MoveNext();
        }
        rs.Close();
        rec.Close();
        cnn.Close();
    }
    return deleted;
}

[[noreturn]] void Die(sqlite3* db, const char* what) {
    std::fprintf(stderr, "store_sweep_bench: %s failed: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
}

void Exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Die(db, sql);
}

long RunFloor(const std::string& path, const std::string& ns, const std::string& prefix,
              long mailboxes, const std::string& folder, long long cutoff, bool bulk) {
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        Die(raw, "open");
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    sqlite3_busy_timeout(raw, 10000);
    Exec(raw, "PRAGMA synchronous=NORMAL");
    // The folders, found by name as the sweep finds them: mailbox under the
    // namespace's MBX container, then the folder.
    const char* findSql =
        "SELECT f.id FROM items n JOIN items x ON x.parent = n.id AND x.key = 'mbx'"
        " JOIN items m ON m.parent = x.id AND m.key = lower(?2)"
        " JOIN items f ON f.parent = m.id AND f.key = lower(?3)"
        " WHERE n.parent = 0 AND n.key = lower(?1)";
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(raw, findSql, -1, &s, nullptr) != SQLITE_OK) Die(raw, "prepare");
    std::unique_ptr<sqlite3_stmt, StmtCloser> find(s);
    const char* deleteSql =
        bulk ? "DELETE FROM items WHERE parent IN (SELECT value FROM json_each(?1))"
               " AND received <= ?2 AND hidden = 0 AND kind = 0"
             : "DELETE FROM items WHERE parent = ?1 AND received <= ?2 AND hidden = 0 AND kind = 0";
    if (sqlite3_prepare_v2(raw, deleteSql, -1, &s, nullptr) != SQLITE_OK) Die(raw, "prepare");
    std::unique_ptr<sqlite3_stmt, StmtCloser> del(s);
    long deleted = 0;
    std::string ids = "[";
    if (bulk) Exec(raw, "BEGIN IMMEDIATE");
    for (long i = 1; i <= mailboxes; ++i) {
        const std::string alias = Alias(prefix, i);
        sqlite3_bind_text(find.get(), 1, ns.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(find.get(), 2, alias.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(find.get(), 3, folder.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(find.get()) != SQLITE_ROW) Die(raw, "find folder");
        const long long id = sqlite3_column_int64(find.get(), 0);
        sqlite3_reset(find.get());
        if (bulk) {
            ids += (ids.size() > 1 ? "," : "") + std::to_string(id);
            continue;
        }
        Exec(raw, "BEGIN IMMEDIATE");
        sqlite3_bind_int64(del.get(), 1, id);
        sqlite3_bind_int64(del.get(), 2, cutoff);
        if (sqlite3_step(del.get()) != SQLITE_DONE) Die(raw, "delete");
        sqlite3_reset(del.get());
        deleted += sqlite3_changes(raw);
        Exec(raw, "COMMIT");
    }
    if (bulk) {
        ids += "]";
        sqlite3_bind_text(del.get(), 1, ids.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(del.get(), 2, cutoff);
        if (sqlite3_step(del.get()) != SQLITE_DONE) Die(raw, "delete");
        deleted = sqlite3_changes(raw);
        Exec(raw, "COMMIT");
    }
    return deleted;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform::testing;
    BenchArgs args(argc, argv,
                   "store_sweep_bench access|floor|bulk --namespace NS --mailboxes N --cutoff "
                   "yyyy-mm-ddThh:mm:ssZ [--folder NAME] [--prefix P]");
    const std::string mode = args.Word().value_or("");
    const std::string ns = args.Text("--namespace", "");
    const long mailboxes = args.Number("--mailboxes", 0, 1);
    const std::string cutoffText = args.Text("--cutoff", "");
    const std::string folder = args.Text("--folder", "Junk Mail");
    const std::string prefix = args.Text("--prefix", "user");
    if (auto exit = args.Done()) return *exit;
    if (mode != "access" && mode != "floor" && mode != "bulk")
        return args.Fail("no such mode '" + mode + "'");
    if (ns.empty() || mailboxes == 0) return args.Fail("--namespace and --mailboxes are needed");
    const auto cutoff = platform::ParseDateText(cutoffText);
    if (!cutoff) return args.Fail("--cutoff: '" + cutoffText + "' is not a date");
    const auto start = BenchClock::now();
    long deleted = 0;
    try {
        if (mode == "access") {
            deleted = RunAccess(ns, prefix, mailboxes, folder, cutoffText);
        } else {
            deleted = RunFloor(localplatform::PlatformConfig::Current().StorePath(), ns, prefix,
                               mailboxes, folder, static_cast<long long>(cutoff->UnixSeconds()),
                               mode == "bulk");
        }
    } catch (const platform::Error& e) {
        std::fprintf(stderr, "store_sweep_bench: %s (%d)\n", e.Description().c_str(), e.Number());
        return 1;
    }
    const double seconds = SecondsSince(start);
    ReportLine(mode)
        .Add("folders", mailboxes)
        .Add("deleted", deleted)
        .Add("seconds", seconds)
        .Add("cpu_seconds", CpuSeconds())
        .Add("peak_rss_kib", PeakRssKib())
        .Print();
    return 0;
}
