// Directory objects bound by ADsPath, with the property cache of the
// platform's directory objects: Get reads the cache (with the changes made
// since the bind), Put and PutEx change it, SetInfo writes the changes in one
// modification of the entry.
#include "platform/ads.h"

#include <strings.h>

#include <vector>

#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_schema.h"
#include "localplatform/directory/directory_service.h"

namespace platform {

namespace dir = localplatform::directory;

struct AdsObjectImpl {
    std::string path;
    dir::Entry entry;  // the property cache
    std::vector<dir::Modification> pending;
};

namespace {

std::string ValueBytes(const Variant& v) {
    if (v.Type() == VariantType::Bytes) return std::string(v.AsBytes().begin(), v.AsBytes().end());
    return v.ToString();
}

void SetCached(dir::Entry& e, const std::string& name, std::vector<std::string> values) {
    for (auto it = e.attributes.begin(); it != e.attributes.end(); ++it) {
        if (strcasecmp(it->name.c_str(), name.c_str()) == 0) {
            if (values.empty())
                e.attributes.erase(it);
            else
                it->values = std::move(values);
            return;
        }
    }
    if (!values.empty()) e.attributes.push_back(dir::Attribute{name, std::move(values)});
}

}  // namespace

AdsObject AdsObject::Bind(const std::string& adsPath) {
    auto impl = std::make_unique<AdsObjectImpl>();
    impl->path = adsPath;
    impl->entry = dir::ReadDirectoryObject(localplatform::PlatformConfig::Current(), adsPath);
    return AdsObject(std::move(impl));
}

AdsObject::AdsObject(std::unique_ptr<AdsObjectImpl> impl) : impl_(std::move(impl)) {}
AdsObject::AdsObject(AdsObject&&) noexcept = default;
AdsObject& AdsObject::operator=(AdsObject&&) noexcept = default;
AdsObject::~AdsObject() = default;

Variant AdsObject::Get(const std::string& name) const {
    const dir::Attribute* a = impl_->entry.Find(name);
    if (a == nullptr || a->values.empty()) {
        throw Error(err::kDsPropertyNotFound,
                    Describe("Get", name, "the directory property cannot be found in the cache",
                             err::kDsPropertyNotFound));
    }
    const dir::AttributeRule* rule = dir::FindAttributeRule(name);
    if (rule != nullptr && rule->binary)
        return Variant(std::vector<uint8_t>(a->values.front().begin(), a->values.front().end()));
    return Variant(a->values.front());
}

void AdsObject::Put(const std::string& name, const Variant& value) {
    if (value.IsNull()) {
        throw Error(err::kInvalidUseOfNull,
                    Describe("Put", name, "Invalid use of Null", err::kInvalidUseOfNull));
    }
    std::string bytes = ValueBytes(value);
    SetCached(impl_->entry, name, {bytes});
    impl_->pending.push_back({dir::Modification::Op::Replace, name, {std::move(bytes)}});
}

void AdsObject::PutEx(int32_t controlCode, const std::string& name, const Variant& value) {
    if (controlCode == ADS_PROPERTY_CLEAR) {
        SetCached(impl_->entry, name, {});
        impl_->pending.push_back({dir::Modification::Op::Clear, name, {}});
        return;
    }
    if (controlCode == ADS_PROPERTY_UPDATE) {
        Put(name, value);
        return;
    }
    throw Error(err::kInvalidArg,
                Describe("PutEx", name, "unsupported control code " + std::to_string(controlCode),
                         err::kInvalidArg));
}

void AdsObject::SetInfo() {
    if (impl_->pending.empty()) return;
    dir::WriteDirectoryObject(localplatform::PlatformConfig::Current(), impl_->path,
                              impl_->pending);
    impl_->pending.clear();
}

std::string AdSystemInfo::DomainDNSName() const {
    return localplatform::PlatformConfig::Current().DomainDnsName();
}

std::string WinNtSystemInfo::ComputerName() const {
    return localplatform::PlatformConfig::Current().ComputerName();
}

}  // namespace platform
