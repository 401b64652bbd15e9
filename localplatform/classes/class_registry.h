// The class registry of the local platform: which module implements which
// component class. Each row holds a ProgID, the class identifier (text form
// "{...}"), the module's path and its threading model. Self-registration of a
// module writes its rows; the event host and the component catalog read them.
//
// The registry is one SQLite database (PlatformConfig::ClassesPath()); several
// processes may use it at once: writers wait for each other within a bound.
// Every failure raises platform::Error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace localplatform {

struct ClassRow {
    std::string progId;
    std::string clsid;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    std::string modulePath;
    std::string threadingModel;
};

class ClassRegistry {
public:
    // Opens the registry database at path. A missing one is created when
    // create is set (mode 0644: the component host reads it under the
    // component's account, and it holds no secret); otherwise it reads as
    // an empty registry and nothing is written to the file system.
    static ClassRegistry Open(const std::string& path, bool create = true);
    // The registry named by the platform configuration in force; only
    // self-registration (create) makes it when it is missing.
    static ClassRegistry OpenCurrent(bool create = false);

    ClassRegistry(ClassRegistry&&) noexcept;
    ClassRegistry& operator=(ClassRegistry&&) noexcept;
    ~ClassRegistry();

    // Adds the class or replaces the row of the same class identifier; a
    // ProgID registered to another class identifier moves to this one.
    void Register(const ClassRow& row);
    // Removes the class; false when it was not registered.
    bool Unregister(const std::string& clsid);

    // ProgIDs and class identifiers compare without regard to case.
    [[nodiscard]] std::optional<ClassRow> FindByProgId(const std::string& progId) const;
    [[nodiscard]] std::optional<ClassRow> FindByClsid(const std::string& clsid) const;
    // Every row, ordered by ProgID.
    [[nodiscard]] std::vector<ClassRow> List() const;

private:
    struct Db;
    explicit ClassRegistry(std::unique_ptr<Db> db);
    std::unique_ptr<Db> db_;
};

}  // namespace localplatform
