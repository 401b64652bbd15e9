#include "platform/com_admin.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/strfuncs.h"
#include "localplatform/catalog/component_catalog.h"
#include "platform/com.h"

namespace platform {

namespace cerr = localplatform::catalog_err;
using localplatform::CatalogApplication;
using localplatform::CatalogComponent;
using localplatform::ComponentCatalog;

namespace {

constexpr const char* kSource = "COMAdminCatalog";
constexpr const char* kApplications = "Applications";
constexpr const char* kComponents = "Components";

[[noreturn]] void Raise(int32_t number, const std::string& operation, const std::string& object,
                        const std::string& reason) {
    throw Error(number, Describe(operation, object, reason, number), kSource);
}

// A new application's ID: a random (version 4) GUID.
std::string NewApplicationId() {
    GUID g;
    unsigned char b[16];
    size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            Raise(err::kFail, "getrandom", "application ID", std::strerror(errno));
        }
        got += static_cast<size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    g.Data1 = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    g.Data2 = static_cast<uint16_t>((b[4] << 8) | b[5]);
    g.Data3 = static_cast<uint16_t>((b[6] << 8) | b[7]);
    std::memcpy(g.Data4, b + 8, 8);
    return GuidToString(g);
}

bool BoolValue(const Variant& v, const std::string& property) {
    try {
        return v.ToBool();
    } catch (const Error& e) {
        Raise(cerr::kObjectInvalid, "SetValue", property, "not a Boolean: " + e.Description());
    }
}

std::string TextValue(const Variant& v, const std::string& property) {
    if (v.IsNull()) return {};
    try {
        return v.ToString();
    } catch (const Error& e) {
        Raise(cerr::kObjectInvalid, "SetValue", property, "not a text: " + e.Description());
    }
}

}  // namespace

struct CatalogObjectImpl {
    bool isApplication = true;
    CatalogApplication app;
    CatalogComponent comp;
    bool isNew = false;
    bool dirty = false;
};

CatalogObject::CatalogObject(std::unique_ptr<CatalogObjectImpl> impl) : impl_(std::move(impl)) {}
CatalogObject::CatalogObject(CatalogObject&&) noexcept = default;
CatalogObject& CatalogObject::operator=(CatalogObject&&) noexcept = default;
CatalogObject::~CatalogObject() = default;

std::string CatalogObject::Name() const {
    return impl_->isApplication ? impl_->app.name : impl_->comp.progId;
}

Variant CatalogObject::Key() const {
    return Variant(impl_->isApplication ? impl_->app.id : impl_->comp.clsid);
}

Variant CatalogObject::Value(const std::string& property) const {
    const auto is = [&](const char* name) { return EqualsNoCase(property, name); };
    if (impl_->isApplication) {
        const auto& a = impl_->app;
        if (is("Name")) return Variant(a.name);
        if (is("ApplicationAccessChecksEnabled")) return Variant(a.accessChecksEnabled);
        if (is("Identity")) return Variant(a.identity);
        // The password is never shown, only whether one is set.
        if (is("Password")) return Variant(a.passwordHash.empty() ? "" : kPasswordMask);
        if (is("ID")) return Variant(a.id);
    } else {
        const auto& c = impl_->comp;
        if (is("ProgID")) return Variant(c.progId);
        if (is("CLSID")) return Variant(c.clsid);
        if (is("DLL")) return Variant(c.modulePath);
        if (is("ThreadingModel")) return Variant(c.threadingModel);
        if (is("ConstructionEnabled")) return Variant(c.constructionEnabled);
        if (is("ConstructorString")) return Variant(c.constructorString);
    }
    Raise(err::kInvalidArg, "Value", property, "no such property");
}

void CatalogObject::SetValue(const std::string& property, const Variant& value) {
    const auto is = [&](const char* name) { return EqualsNoCase(property, name); };
    auto& o = *impl_;
    if (o.isApplication) {
        if (is("Name")) {
            o.app.name = TextValue(value, property);
        } else if (is("ApplicationAccessChecksEnabled")) {
            o.app.accessChecksEnabled = BoolValue(value, property);
        } else if (is("Identity")) {
            o.app.identity = TextValue(value, property);
        } else if (is("Password")) {
            // Hashed at once: the clear text is kept nowhere.
            o.app.passwordHash = localplatform::HashPassword(TextValue(value, property));
        } else if (is("ID")) {
            if (!o.isNew) Raise(cerr::kObjectInvalid, "SetValue", property, "read only once saved");
            const std::string id = TextValue(value, property);
            if (!GuidFromString(id)) {
                Raise(cerr::kObjectInvalid, "SetValue", property, "not a {GUID}: " + id);
            }
            o.app.id = Upper(id);
        } else {
            Raise(err::kInvalidArg, "SetValue", property, "no such property");
        }
    } else {
        if (is("ConstructionEnabled")) {
            o.comp.constructionEnabled = BoolValue(value, property);
        } else if (is("ConstructorString")) {
            o.comp.constructorString = TextValue(value, property);
        } else if (is("ProgID") || is("CLSID") || is("DLL") || is("ThreadingModel")) {
            Raise(cerr::kObjectInvalid, "SetValue", property, "read only");
        } else {
            Raise(err::kInvalidArg, "SetValue", property, "no such property");
        }
    }
    o.dirty = true;
}

struct CatalogCollectionImpl {
    std::string name;
    std::string applicationId;  // of a "Components" collection
    std::vector<std::unique_ptr<CatalogObject>> items;
    std::vector<std::string> removed;  // keys of saved objects taken out

    static CatalogObject MakeObject(std::unique_ptr<CatalogObjectImpl> impl) {
        return CatalogObject(std::move(impl));
    }
    static CatalogObjectImpl& Of(CatalogObject& o) { return *o.impl_; }
};

CatalogCollection::CatalogCollection(std::unique_ptr<CatalogCollectionImpl> impl)
    : impl_(std::move(impl)) {}
CatalogCollection::CatalogCollection(CatalogCollection&&) noexcept = default;
CatalogCollection& CatalogCollection::operator=(CatalogCollection&&) noexcept = default;
CatalogCollection::~CatalogCollection() = default;

const std::string& CatalogCollection::Name() const {
    return impl_->name;
}

void CatalogCollection::Populate() {
    auto catalog = ComponentCatalog::OpenCurrent();
    std::vector<std::unique_ptr<CatalogObject>> items;
    if (impl_->name == kApplications) {
        for (auto& a : catalog.Applications()) {
            auto o = std::make_unique<CatalogObjectImpl>();
            o->app = std::move(a);
            items.push_back(
                std::make_unique<CatalogObject>(CatalogCollectionImpl::MakeObject(std::move(o))));
        }
    } else {
        for (auto& c : catalog.Components(impl_->applicationId)) {
            auto o = std::make_unique<CatalogObjectImpl>();
            o->isApplication = false;
            o->comp = std::move(c);
            items.push_back(
                std::make_unique<CatalogObject>(CatalogCollectionImpl::MakeObject(std::move(o))));
        }
    }
    impl_->items = std::move(items);
    impl_->removed.clear();
}

int32_t CatalogCollection::Count() const {
    return static_cast<int32_t>(impl_->items.size());
}

CatalogObject& CatalogCollection::Item(int32_t index) {
    if (index < 0 || index >= Count()) {
        Raise(err::kInvalidArg, "Item", impl_->name,
              "index " + std::to_string(index) + " outside 0.." + std::to_string(Count() - 1));
    }
    return *impl_->items[static_cast<size_t>(index)];
}

CatalogObject& CatalogCollection::Add() {
    if (impl_->name != kApplications) {
        Raise(err::kInvalidArg, "Add", impl_->name, "components are added by InstallComponent");
    }
    auto o = std::make_unique<CatalogObjectImpl>();
    o->app.id = NewApplicationId();
    o->isNew = true;
    o->dirty = true;
    impl_->items.push_back(
        std::make_unique<CatalogObject>(CatalogCollectionImpl::MakeObject(std::move(o))));
    return *impl_->items.back();
}

void CatalogCollection::Remove(int32_t index) {
    auto& o = CatalogCollectionImpl::Of(Item(index));
    if (!o.isNew) impl_->removed.push_back(o.isApplication ? o.app.id : o.comp.clsid);
    impl_->items.erase(impl_->items.begin() + index);
}

int32_t CatalogCollection::SaveChanges() {
    auto catalog = ComponentCatalog::OpenCurrent(true);
    int32_t written = 0;
    if (impl_->name == kApplications) {
        std::vector<localplatform::ApplicationChange> changes;
        for (const auto& id : impl_->removed) {
            CatalogApplication gone;
            gone.id = id;
            changes.push_back({localplatform::ApplicationChange::Kind::Remove, gone});
        }
        for (auto& item : impl_->items) {
            auto& o = CatalogCollectionImpl::Of(*item);
            if (!o.dirty) continue;
            changes.push_back({o.isNew ? localplatform::ApplicationChange::Kind::Add
                                       : localplatform::ApplicationChange::Kind::Update,
                               o.app});
        }
        catalog.SaveApplications(changes);
        written = static_cast<int32_t>(changes.size());
    } else {
        std::vector<CatalogComponent> changed;
        for (auto& item : impl_->items) {
            auto& o = CatalogCollectionImpl::Of(*item);
            if (o.dirty) changed.push_back(o.comp);
        }
        catalog.SaveComponents(impl_->applicationId, changed, impl_->removed);
        written = static_cast<int32_t>(changed.size() + impl_->removed.size());
    }
    // Saved: the objects are now the catalog's own.
    for (auto& item : impl_->items) {
        auto& o = CatalogCollectionImpl::Of(*item);
        o.isNew = false;
        o.dirty = false;
    }
    impl_->removed.clear();
    return written;
}

CatalogCollection CatalogCollection::GetCollection(const std::string& name, const Variant& key) {
    if (impl_->name != kApplications || !EqualsNoCase(name, kComponents)) {
        Raise(err::kInvalidArg, "GetCollection", name, "no such collection under " + impl_->name);
    }
    auto impl = std::make_unique<CatalogCollectionImpl>();
    impl->name = kComponents;
    impl->applicationId = key.ToStringOrEmpty();
    return CatalogCollection(std::move(impl));
}

struct ComAdminCatalog::State {};

ComAdminCatalog::ComAdminCatalog() : state_(std::make_unique<State>()) {}
ComAdminCatalog::~ComAdminCatalog() = default;
ComAdminCatalog::ComAdminCatalog(ComAdminCatalog&&) noexcept = default;
ComAdminCatalog& ComAdminCatalog::operator=(ComAdminCatalog&&) noexcept = default;

CatalogCollection ComAdminCatalog::GetCollection(const std::string& name) {
    if (!EqualsNoCase(name, kApplications)) {
        Raise(err::kInvalidArg, "GetCollection", name, "no such collection of the catalog");
    }
    auto impl = std::make_unique<CatalogCollectionImpl>();
    impl->name = kApplications;
    return CatalogCollection(std::move(impl));
}

void ComAdminCatalog::InstallComponent(const std::string& applicationIdOrName,
                                       const std::string& moduleFile,
                                       const std::string& typeLibFile,
                                       const std::string& proxyStubFile) {
    if (!typeLibFile.empty() || !proxyStubFile.empty()) {
        Raise(err::kInvalidArg, "InstallComponent", moduleFile,
              "type libraries and proxy-stub modules do not exist on this platform");
    }
    auto catalog = ComponentCatalog::OpenCurrent(true);
    if (!catalog.FindApplication(applicationIdOrName)) {
        Raise(cerr::kKeyMissing, "InstallComponent", applicationIdOrName, "no such application");
    }
    std::error_code ec;
    if (moduleFile.empty()) Raise(cerr::kBadPath, "InstallComponent", moduleFile, "no file named");
    if (!std::filesystem::is_regular_file(moduleFile, ec)) {
        Raise(cerr::kCompFileDoesNotExist, "InstallComponent", moduleFile,
              ec ? ec.message() : "no such file");
    }
    // The class registry and the catalog name the module by one absolute path.
    const std::string path = std::filesystem::canonical(moduleFile, ec).string();
    if (ec) Raise(cerr::kBadPath, "InstallComponent", moduleFile, ec.message());

    std::string why;
    const HRESULT hr = CallModuleRegistration(path, false, &why);
    if (hr == CO_E_DLLNOTFOUND) Raise(cerr::kCompFileLoadDllFail, "InstallComponent", path, why);
    if (Failed(hr)) Raise(cerr::kDllRegisterServer, "InstallComponent", path, why);
    catalog.InstallComponents(applicationIdOrName, path);
}

void ComAdminCatalog::RefreshComponents() {
    (void)ComponentCatalog::OpenCurrent().RefreshComponents();
}

}  // namespace platform
