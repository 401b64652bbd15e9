// The component catalog of the local platform: applications that host
// components, and their components by class. It stands in for the
// platform's component services catalog.
//
// An application has an ID ("{GUID}", upper case), a name (unique without
// regard to ASCII case), whether access checks are enabled, the account it
// runs under ("Identity") and a password, kept only as a salted hash
// (yescrypt, else SHA-512 crypt) and never in clear. A component is a class of
// the class registry (ClassesPath()) installed into one application, with its
// construction settings.
//
// The catalog is one SQLite database (PlatformConfig::CatalogPath()), in WAL
// mode, readable by its owner only; several processes may use it at once:
// writers wait for each other up to "catalog.busy_timeout_ms" (default
// 10000), then fail with err::kResourceLocked. Every failure raises
// platform::Error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace localplatform {

struct CatalogApplication {
    std::string id;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    std::string name;
    bool accessChecksEnabled = true;
    std::string identity = "Interactive User";
    std::string passwordHash;  // crypt(3) text; empty: no password
};

struct CatalogComponent {
    std::string clsid;  // "{...}", upper case
    std::string progId;
    std::string modulePath;
    std::string threadingModel;
    bool constructionEnabled = false;
    std::string constructorString;
};

// Numbers of the component catalog's errors (HRESULTs of the platform's
// catalog, printed as negative decimals).
namespace catalog_err {
inline constexpr int32_t kObjectErrors = static_cast<int32_t>(0x80110401);      // save failed
inline constexpr int32_t kObjectInvalid = static_cast<int32_t>(0x80110402);     // bad property
inline constexpr int32_t kKeyMissing = static_cast<int32_t>(0x80110403);        // no such object
inline constexpr int32_t kAlreadyInstalled = static_cast<int32_t>(0x80110404);  // class elsewhere
inline constexpr int32_t kBadPath = static_cast<int32_t>(0x8011040A);
inline constexpr int32_t kApplicationExists = static_cast<int32_t>(0x8011040B);
inline constexpr int32_t kUserPasswordNotValid = static_cast<int32_t>(0x80110414);
inline constexpr int32_t kDllRegisterServer = static_cast<int32_t>(0x8011041A);
inline constexpr int32_t kCompFileDoesNotExist = static_cast<int32_t>(0x80110424);
inline constexpr int32_t kCompFileLoadDllFail = static_cast<int32_t>(0x80110425);
inline constexpr int32_t kCompFileNotInstallable = static_cast<int32_t>(0x80110429);
}  // namespace catalog_err

// One change of the applications collection, applied by SaveApplications.
struct ApplicationChange {
    enum class Kind { Add, Update, Remove };
    Kind kind = Kind::Update;
    CatalogApplication application;  // Remove needs only the id
};

class ComponentCatalog {
public:
    // Opens the catalog database at path. A missing one is created (mode
    // 0600) when create is set; otherwise it reads as an empty catalog, held
    // in memory, and nothing is written to the file system.
    static ComponentCatalog Open(const std::string& path, int busyTimeoutMs = 10000,
                                 bool create = true);
    // The catalog named by the platform configuration in force; only those
    // who change it (create) make it when it is missing.
    static ComponentCatalog OpenCurrent(bool create = false);

    ComponentCatalog(ComponentCatalog&&) noexcept;
    ComponentCatalog& operator=(ComponentCatalog&&) noexcept;
    ~ComponentCatalog();

    // Every application, in the order they were added.
    [[nodiscard]] std::vector<CatalogApplication> Applications() const;
    // The application whose ID or name (without regard to case) is key.
    [[nodiscard]] std::optional<CatalogApplication> FindApplication(const std::string& key) const;

    // Applies the changes in one transaction: all or none. Raises
    // kApplicationExists for a name another application has (without regard
    // to case), kKeyMissing for an update of an application that is gone,
    // kObjectInvalid for an empty name or a malformed ID, and
    // kUserPasswordNotValid for an identity (new or changed) that no
    // component may run as: an empty one, an account that does not exist,
    // is locked or expired, or has uid 0 (see localplatform/process). Removing an
    // application removes its components; removing one that is gone is no
    // error.
    void SaveApplications(const std::vector<ApplicationChange>& changes);

    // The components of the application with that ID, in the order they were
    // installed. Raises kKeyMissing when there is no such application.
    [[nodiscard]] std::vector<CatalogComponent> Components(const std::string& applicationId) const;
    // Writes the construction settings of the listed components and removes
    // the classes in removedClsids from the application, in one transaction.
    // Raises kKeyMissing for a component not installed in that application.
    void SaveComponents(const std::string& applicationId,
                        const std::vector<CatalogComponent>& changed,
                        const std::vector<std::string>& removedClsids);

    // Installs into the application (ID or name) every class that the class
    // registry lists for modulePath (absolute). A class already installed in
    // this application keeps its construction settings; one installed in
    // another application raises kAlreadyInstalled and nothing changes. No
    // class for the module raises kCompFileNotInstallable. Returns the
    // installed components.
    std::vector<CatalogComponent> InstallComponents(const std::string& applicationKey,
                                                    const std::string& modulePath);

    // Brings every component's ProgID, module and threading model up to date
    // from the class registry; a class no longer registered is left as it
    // is. Returns how many components changed.
    int RefreshComponents();

    [[nodiscard]] const std::string& Path() const;

private:
    struct Db;
    explicit ComponentCatalog(std::unique_ptr<Db> db);
    std::unique_ptr<Db> db_;
};

// A salted hash of a password for the catalog: "$y$..." (yescrypt), or
// "$6$..." (SHA-512 crypt) where yescrypt is not available, with a random
// salt. An empty password gives an empty text. Raises platform::Error when no
// hash can be made.
std::string HashPassword(const std::string& password);
// Whether password matches a hash made by HashPassword.
bool VerifyPassword(const std::string& password, const std::string& hash);

}  // namespace localplatform
