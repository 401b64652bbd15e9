#include "localplatform/catalog/component_catalog.h"

#include <crypt.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/classes/class_registry.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/process/service_account.h"
#include "localplatform/sqlite/sqlite_db.h"

namespace localplatform {

namespace {

constexpr const char* kSource = "ComponentCatalog";
constexpr int kDefaultBusyTimeoutMs = 10000;

[[noreturn]] void Fail(int32_t number, const std::string& operation, const std::string& object,
                       const std::string& reason) {
    throw platform::Error(number, platform::Describe(operation, object, reason, number), kSource);
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with any hex case.
bool IsGuidText(const std::string& s) {
    if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        const char c = s[i];
        if (dash != (c == '-')) return false;
        if (!dash && !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

void RandomBytes(void* out, size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            Fail(platform::err::kFail, "getrandom", "", std::strerror(errno));
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
}

CatalogApplication ApplicationRow(const SqliteDb::Statement& s) {
    return {s.Text(0), s.Text(1), s.Int(2) != 0, s.Text(3), s.Text(4)};
}

CatalogComponent ComponentRow(const SqliteDb::Statement& s) {
    return {s.Text(0), s.Text(1), s.Text(2), s.Text(3), s.Int(4) != 0, s.Text(5)};
}

// The catalog's default identity: the account of whoever starts the
// component. Not an account: the event service, running as root, refuses it.
constexpr const char* kInteractiveUser = "Interactive User";

// An identity given to an application must be an account a component may
// run as; checked when it is given, not first at the next firing.
void CheckIdentity(const CatalogApplication& app) {
    if (platform::EqualsNoCase(platform::Trim(app.identity), kInteractiveUser)) return;
    std::string why;
    if (!UsableServiceAccount(app.identity, &why)) {
        Fail(catalog_err::kUserPasswordNotValid, "SaveChanges", app.name, "Identity: " + why);
    }
}

constexpr const char* kApplicationColumns =
    "SELECT id, name, access_checks, identity, password_hash FROM applications";
constexpr const char* kComponentColumns =
    "SELECT clsid, progid, module, threading, construction_enabled, constructor_string "
    "FROM components";

}  // namespace

struct ComponentCatalog::Db {
    SqliteDb db;
    std::string path;  // the file, also when a missing one is read as empty

    std::optional<CatalogApplication> Find(const std::string& key) const {
        auto q = db.Prepare(
            (std::string(kApplicationColumns) + " WHERE id = ?1 OR name = ?1 ORDER BY seq")
                .c_str());
        q.Bind(1, key);
        if (!q.Step()) return std::nullopt;
        return ApplicationRow(q);
    }
    void RequireApplication(const std::string& id, const char* operation) const {
        auto q = db.Prepare("SELECT 1 FROM applications WHERE id = ?1");
        q.Bind(1, id);
        if (!q.Step()) Fail(catalog_err::kKeyMissing, operation, id, "no such application");
    }
};

ComponentCatalog::ComponentCatalog(std::unique_ptr<Db> db) : db_(std::move(db)) {}
ComponentCatalog::ComponentCatalog(ComponentCatalog&&) noexcept = default;
ComponentCatalog& ComponentCatalog::operator=(ComponentCatalog&&) noexcept = default;
ComponentCatalog::~ComponentCatalog() = default;

ComponentCatalog ComponentCatalog::Open(const std::string& path, int busyTimeoutMs, bool create) {
    struct stat st {};
    const bool inMemory = !create && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
    // Owner only: the file holds password hashes.
    auto db = std::make_unique<Db>(
        Db{SqliteDb::Open(inMemory ? ":memory:" : path, {.busyTimeoutMs = busyTimeoutMs,
                                                         .wal = !inMemory,
                                                         .ownerOnly = !inMemory,
                                                         .create = create,
                                                         .source = kSource}),
           path});
    SqliteDb::Transaction tx(db->db);
    db->db.Exec(
        "CREATE TABLE IF NOT EXISTS applications ("
        " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
        " id TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " access_checks INTEGER NOT NULL,"
        " identity TEXT NOT NULL,"
        " password_hash TEXT NOT NULL)");
    db->db.Exec(
        "CREATE TABLE IF NOT EXISTS components ("
        " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
        " clsid TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " app_id TEXT NOT NULL COLLATE NOCASE"
        "  REFERENCES applications(id) ON DELETE CASCADE ON UPDATE CASCADE,"
        " progid TEXT NOT NULL COLLATE NOCASE,"
        " module TEXT NOT NULL,"
        " threading TEXT NOT NULL,"
        " construction_enabled INTEGER NOT NULL DEFAULT 0,"
        " constructor_string TEXT NOT NULL DEFAULT '')");
    tx.Commit();
    return ComponentCatalog(std::move(db));
}

ComponentCatalog ComponentCatalog::OpenCurrent(bool create) {
    const auto& config = PlatformConfig::Current();
    const int busy = static_cast<int>(config.GetWholeNumber(
        "catalog.busy_timeout_ms", kDefaultBusyTimeoutMs, 3600000, "milliseconds"));
    return Open(config.CatalogPath(), busy, create);
}

const std::string& ComponentCatalog::Path() const {
    return db_->path;
}

std::vector<CatalogApplication> ComponentCatalog::Applications() const {
    auto q = db_->db.Prepare((std::string(kApplicationColumns) + " ORDER BY seq").c_str());
    std::vector<CatalogApplication> out;
    while (q.Step()) out.push_back(ApplicationRow(q));
    return out;
}

std::optional<CatalogApplication> ComponentCatalog::FindApplication(const std::string& key) const {
    return db_->Find(key);
}

void ComponentCatalog::SaveApplications(const std::vector<ApplicationChange>& changes) {
    SqliteDb::Transaction tx(db_->db);
    for (const auto& change : changes) {
        const auto& app = change.application;
        if (change.kind == ApplicationChange::Kind::Remove) {
            db_->db.Prepare("DELETE FROM applications WHERE id = ?1").Bind(1, app.id).Run();
            continue;
        }
        if (platform::Trim(app.name).empty()) {
            Fail(catalog_err::kObjectInvalid, "SaveChanges", app.id, "an application needs a Name");
        }
        if (!IsGuidText(app.id)) {
            Fail(catalog_err::kObjectInvalid, "SaveChanges", app.name,
                 "ID is not of the form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: " + app.id);
        }
        // Names are unique without regard to case.
        auto other = db_->db.Prepare("SELECT id FROM applications WHERE name = ?1 AND id <> ?2");
        other.Bind(1, app.name).Bind(2, app.id);
        if (other.Step()) {
            Fail(catalog_err::kApplicationExists, "SaveChanges", app.name,
                 "an application of that name is already installed");
        }
        if (change.kind == ApplicationChange::Kind::Add) {
            CheckIdentity(app);
            auto exists = db_->db.Prepare("SELECT 1 FROM applications WHERE id = ?1");
            exists.Bind(1, app.id);
            if (exists.Step()) {
                Fail(catalog_err::kApplicationExists, "SaveChanges", app.id,
                     "an application with that ID is already installed");
            }
            db_->db
                .Prepare(
                    "INSERT INTO applications (id, name, access_checks, identity, password_hash)"
                    " VALUES (?1, ?2, ?3, ?4, ?5)")
                .Bind(1, platform::Upper(app.id))
                .Bind(2, app.name)
                .Bind(3, int64_t{app.accessChecksEnabled ? 1 : 0})
                .Bind(4, app.identity)
                .Bind(5, app.passwordHash)
                .Run();
        } else {
            auto before = db_->db.Prepare("SELECT identity FROM applications WHERE id = ?1");
            before.Bind(1, app.id);
            if (before.Step() && before.Text(0) != app.identity) CheckIdentity(app);
            db_->db
                .Prepare(
                    "UPDATE applications SET name = ?2, access_checks = ?3, identity = ?4,"
                    " password_hash = ?5 WHERE id = ?1")
                .Bind(1, app.id)
                .Bind(2, app.name)
                .Bind(3, int64_t{app.accessChecksEnabled ? 1 : 0})
                .Bind(4, app.identity)
                .Bind(5, app.passwordHash)
                .Run();
            if (db_->db.Changes() == 0) {
                Fail(catalog_err::kKeyMissing, "SaveChanges", app.id,
                     "the application is no longer in the catalog");
            }
        }
    }
    tx.Commit();
}

std::vector<CatalogComponent> ComponentCatalog::Components(const std::string& applicationId) const {
    db_->RequireApplication(applicationId, "Components");
    auto q = db_->db.Prepare(
        (std::string(kComponentColumns) + " WHERE app_id = ?1 ORDER BY seq").c_str());
    q.Bind(1, applicationId);
    std::vector<CatalogComponent> out;
    while (q.Step()) out.push_back(ComponentRow(q));
    return out;
}

void ComponentCatalog::SaveComponents(const std::string& applicationId,
                                      const std::vector<CatalogComponent>& changed,
                                      const std::vector<std::string>& removedClsids) {
    SqliteDb::Transaction tx(db_->db);
    db_->RequireApplication(applicationId, "SaveChanges");
    for (const auto& c : changed) {
        db_->db
            .Prepare(
                "UPDATE components SET construction_enabled = ?3, constructor_string = ?4"
                " WHERE clsid = ?1 AND app_id = ?2")
            .Bind(1, c.clsid)
            .Bind(2, applicationId)
            .Bind(3, int64_t{c.constructionEnabled ? 1 : 0})
            .Bind(4, c.constructorString)
            .Run();
        if (db_->db.Changes() == 0) {
            Fail(catalog_err::kKeyMissing, "SaveChanges", c.progId,
                 "the component is not installed in application " + applicationId);
        }
    }
    for (const auto& clsid : removedClsids) {
        db_->db.Prepare("DELETE FROM components WHERE clsid = ?1 AND app_id = ?2")
            .Bind(1, clsid)
            .Bind(2, applicationId)
            .Run();
    }
    tx.Commit();
}

std::vector<CatalogComponent> ComponentCatalog::InstallComponents(const std::string& applicationKey,
                                                                  const std::string& modulePath) {
    std::vector<ClassRow> classes;
    for (auto& row : ClassRegistry::OpenCurrent().List()) {
        if (row.modulePath == modulePath) classes.push_back(std::move(row));
    }
    SqliteDb::Transaction tx(db_->db);
    const auto app = db_->Find(applicationKey);
    if (!app)
        Fail(catalog_err::kKeyMissing, "InstallComponent", applicationKey, "no such application");
    if (classes.empty()) {
        Fail(catalog_err::kCompFileNotInstallable, "InstallComponent", modulePath,
             "the module registers no class");
    }
    for (const auto& cls : classes) {
        auto where = db_->db.Prepare(
            "SELECT a.name FROM components c JOIN applications a ON a.id = c.app_id"
            " WHERE c.clsid = ?1 AND c.app_id <> ?2");
        where.Bind(1, cls.clsid).Bind(2, app->id);
        if (where.Step()) {
            Fail(catalog_err::kAlreadyInstalled, "InstallComponent", cls.progId,
                 "the class is already installed in application " + where.Text(0));
        }
        // A class installed here before keeps its construction settings.
        db_->db
            .Prepare(
                "INSERT INTO components (clsid, app_id, progid, module, threading)"
                " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT(clsid) DO UPDATE SET"
                " progid = excluded.progid, module = excluded.module,"
                " threading = excluded.threading")
            .Bind(1, platform::Upper(cls.clsid))
            .Bind(2, app->id)
            .Bind(3, cls.progId)
            .Bind(4, cls.modulePath)
            .Bind(5, cls.threadingModel)
            .Run();
    }
    tx.Commit();
    std::vector<CatalogComponent> installed;
    for (const auto& c : Components(app->id)) {
        for (const auto& cls : classes) {
            if (platform::EqualsNoCase(c.clsid, cls.clsid)) installed.push_back(c);
        }
    }
    return installed;
}

int ComponentCatalog::RefreshComponents() {
    const auto registry = ClassRegistry::OpenCurrent();
    SqliteDb::Transaction tx(db_->db);
    std::vector<CatalogComponent> all;
    {
        auto q = db_->db.Prepare((std::string(kComponentColumns) + " ORDER BY seq").c_str());
        while (q.Step()) all.push_back(ComponentRow(q));
    }
    int changed = 0;
    for (const auto& c : all) {
        const auto row = registry.FindByClsid(c.clsid);
        if (!row) continue;
        if (row->progId == c.progId && row->modulePath == c.modulePath &&
            row->threadingModel == c.threadingModel) {
            continue;
        }
        db_->db
            .Prepare(
                "UPDATE components SET progid = ?2, module = ?3, threading = ?4 WHERE clsid = ?1")
            .Bind(1, c.clsid)
            .Bind(2, row->progId)
            .Bind(3, row->modulePath)
            .Bind(4, row->threadingModel)
            .Run();
        ++changed;
    }
    tx.Commit();
    return changed;
}

std::string HashPassword(const std::string& password) {
    if (password.empty()) return {};
    unsigned char salt[32];
    RandomBytes(salt, sizeof salt);
    auto data = std::make_unique<crypt_data>();  // large: not on the stack
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    for (const char* prefix : {"$y$", "$6$"}) {
        if (!crypt_gensalt_rn(prefix, 0, reinterpret_cast<const char*>(salt), sizeof salt, setting,
                              sizeof setting)) {
            continue;
        }
        std::memset(data.get(), 0, sizeof(crypt_data));
        const char* hash = crypt_r(password.c_str(), setting, data.get());
        std::string out = hash && hash[0] != '*' ? hash : "";
        // The clear password went through crypt_data: wipe it.
        explicit_bzero(data.get(), sizeof(crypt_data));
        if (!out.empty()) return out;
    }
    Fail(catalog_err::kUserPasswordNotValid, "crypt", "password",
         "neither yescrypt nor SHA-512 crypt is available");
}

bool VerifyPassword(const std::string& password, const std::string& hash) {
    if (hash.empty()) return password.empty();
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    const bool ok = out && out[0] != '*' && hash == out;
    explicit_bzero(data.get(), sizeof(crypt_data));
    return ok;
}

}  // namespace localplatform
