// Directory objects bound by path, and the system-information objects.
//   AdsObject::Bind("LDAP://host/CN=...,DC=...")  an entry, for Get/Put/SetInfo
//   AdsObject::Bind("GC://RootDSE")               the root DSE ("dnshostname",
//                                                  "defaultNamingContext", ...)
#pragma once

#include <memory>
#include <string>

#include "base/error.h"
#include "base/variant.h"

namespace platform {

// ADS_PROPERTY_OPERATION_ENUM
constexpr int32_t ADS_PROPERTY_CLEAR = 1;
constexpr int32_t ADS_PROPERTY_UPDATE = 2;

struct AdsObjectImpl;

class AdsObject {
public:
    // Binds to the object at an ADsPath; raises kDsNoSuchObject when there is
    // none, kDsBadPathname for a malformed path, kDsServerDown when the
    // directory cannot be reached.
    static AdsObject Bind(const std::string& adsPath);

    AdsObject(AdsObject&&) noexcept;
    AdsObject& operator=(AdsObject&&) noexcept;
    ~AdsObject();

    // Value of an attribute (first value of a multi-valued one); raises
    // kDsPropertyNotFound when the object has no such attribute.
    [[nodiscard]] Variant Get(const std::string& name) const;
    // Changes kept until SetInfo (Get already sees them). Put of Null raises
    // kInvalidUseOfNull; PutEx knows ADS_PROPERTY_CLEAR (value ignored;
    // clearing an absent attribute is harmless) and ADS_PROPERTY_UPDATE
    // (like Put), other codes raise kInvalidArg.
    void Put(const std::string& name, const Variant& value);
    void PutEx(int32_t controlCode, const std::string& name, const Variant& value);
    // Writes the changes in one modification, through the writable server;
    // nothing to write is no error.
    void SetInfo();

private:
    explicit AdsObject(std::unique_ptr<AdsObjectImpl> impl);
    std::unique_ptr<AdsObjectImpl> impl_;
};

// ADSystemInfo: the domain of this computer ("server.domain_dns_name" of the
// platform configuration, else the host's DNS domain).
class AdSystemInfo {
public:
    [[nodiscard]] std::string DomainDNSName() const;
};

// WinNTSystemInfo: this computer's short (NetBIOS-style) name
// ("server.computer_name", else the host name up to its first dot).
class WinNtSystemInfo {
public:
    [[nodiscard]] std::string ComputerName() const;
};

}  // namespace platform
