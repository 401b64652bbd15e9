// The component services catalog, shaped like the platform's COMAdminCatalog
// so that calling code reads like its description:
//
//   ComAdminCatalog catalog;
//   CatalogCollection apps = catalog.GetCollection("Applications");
//   apps.Populate();
//   CatalogObject& app = apps.Add();
//   app.SetValue("Name", Variant("Quellix"));
//   apps.SaveChanges();
//   catalog.InstallComponent("Quellix", "/opt/quellix/Quellix.so", "", "");
//
// Collections: "Applications" (of the catalog) and "Components" (of one
// application, keyed by its "ID"). A collection holds what Populate read;
// changes (Add, SetValue, Remove) are kept until SaveChanges writes them in
// one transaction. Property and collection names compare without regard to
// case.
//
// Application properties: "Name" (text), "ApplicationAccessChecksEnabled"
// (Boolean, default true), "Identity" (text, default "Interactive User"),
// "Password" (write only: kept as a salted hash, reads "********" when set,
// "" when not), "ID" (text "{GUID}", assigned at Add, settable until saved).
// Component properties: "ProgID", "CLSID", "DLL", "ThreadingModel" (read
// only), "ConstructionEnabled" (Boolean), "ConstructorString" (text).
//
// Every failure raises platform::Error with the catalog's own numbers where
// it has one (localplatform/catalog/component_catalog.h: catalog_err).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/variant.h"

namespace platform {

// What the catalog shows for a password that is set.
inline constexpr const char* kPasswordMask = "********";

struct CatalogObjectImpl;
struct CatalogCollectionImpl;

class CatalogObject {
public:
    CatalogObject(CatalogObject&&) noexcept;
    CatalogObject& operator=(CatalogObject&&) noexcept;
    ~CatalogObject();

    // The application's name, or the component's ProgID.
    [[nodiscard]] std::string Name() const;
    // The application's "ID", or the component's "CLSID".
    [[nodiscard]] Variant Key() const;
    // Raises kInvalidArg for a property the object does not have.
    [[nodiscard]] Variant Value(const std::string& property) const;
    // Raises kInvalidArg for an unknown property, catalog_err kObjectInvalid
    // for a read-only one or a value of the wrong kind.
    void SetValue(const std::string& property, const Variant& value);

private:
    friend struct CatalogCollectionImpl;
    explicit CatalogObject(std::unique_ptr<CatalogObjectImpl> impl);
    std::unique_ptr<CatalogObjectImpl> impl_;
};

class CatalogCollection {
public:
    CatalogCollection(CatalogCollection&&) noexcept;
    CatalogCollection& operator=(CatalogCollection&&) noexcept;
    ~CatalogCollection();

    [[nodiscard]] const std::string& Name() const;
    // Loads the current content, dropping unsaved changes.
    void Populate();
    [[nodiscard]] int32_t Count() const;
    // index 0 .. Count() - 1; kInvalidArg otherwise.
    [[nodiscard]] CatalogObject& Item(int32_t index);
    // A new object at the end ("Applications" only; kept until SaveChanges).
    CatalogObject& Add();
    // Takes the object at index out; removed from the catalog by SaveChanges.
    void Remove(int32_t index);
    // Writes every change in one transaction; returns how many objects it
    // wrote. On failure nothing is written and the changes stay pending.
    int32_t SaveChanges();
    // A related collection: "Components" of the application whose "ID" is
    // key (without regard to case), for the "Applications" collection.
    [[nodiscard]] CatalogCollection GetCollection(const std::string& name, const Variant& key);

private:
    friend class ComAdminCatalog;
    explicit CatalogCollection(std::unique_ptr<CatalogCollectionImpl> impl);
    std::unique_ptr<CatalogCollectionImpl> impl_;
};

class ComAdminCatalog {
public:
    // The catalog of this machine (PlatformConfig::CatalogPath()); opened
    // when first used.
    ComAdminCatalog();
    ~ComAdminCatalog();
    ComAdminCatalog(ComAdminCatalog&&) noexcept;
    ComAdminCatalog& operator=(ComAdminCatalog&&) noexcept;

    // "Applications"; any other name raises kInvalidArg.
    [[nodiscard]] CatalogCollection GetCollection(const std::string& name);

    // Installs the classes of the module file into the application (its ID
    // or its name): the module's self-registration (DllRegisterServer) writes
    // them to the class registry and the catalog takes every class registered
    // for that file. typeLibFile and proxyStubFile must be empty (this
    // platform has neither). Raises kKeyMissing (no such application),
    // kCompFileDoesNotExist, kCompFileLoadDllFail (not loadable),
    // kDllRegisterServer (self-registration failed), kCompFileNotInstallable
    // (no class), kAlreadyInstalled (a class is in another application).
    void InstallComponent(const std::string& applicationIdOrName, const std::string& moduleFile,
                          const std::string& typeLibFile, const std::string& proxyStubFile);

    // Brings the components' registration data up to date from the class
    // registry.
    void RefreshComponents();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
