// The one shape of failure across the platform: a number and a description,
// as the platform's own objects report them. Numbers are the platform's result
// codes (HRESULT-style values print as negative decimals) or the language
// runtime's small error numbers, whichever the failing operation would give.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

class Error : public std::runtime_error {
public:
    Error(int32_t number, std::string description, std::string source = {});

    [[nodiscard]] int32_t Number() const noexcept { return number_; }
    [[nodiscard]] const std::string& Description() const noexcept { return description_; }
    [[nodiscard]] const std::string& Source() const noexcept { return source_; }

private:
    int32_t number_;
    std::string description_;
    std::string source_;
};

// Result codes used across the platform. Where ADO, OLE DB, ADSI or COM+
// document a code for a condition, that code is used.
namespace err {
constexpr int32_t Hr(uint32_t v) {
    return static_cast<int32_t>(v);
}

// Language runtime errors (small positive numbers).
constexpr int32_t kOverflow = 6;
constexpr int32_t kTypeMismatch = 13;
constexpr int32_t kInvalidUseOfNull = 94;
constexpr int32_t kFileNotFound = 53;
constexpr int32_t kPermissionDenied = 70;
constexpr int32_t kPathFileAccess = 75;

// Generic COM results.
constexpr int32_t kFail = Hr(0x80004005);                // E_FAIL
constexpr int32_t kInvalidArg = Hr(0x80070057);          // E_INVALIDARG
constexpr int32_t kOutOfMemory = Hr(0x8007000E);         // E_OUTOFMEMORY
constexpr int32_t kFileTooLarge = Hr(0x800700DF);        // ERROR_FILE_TOO_LARGE
constexpr int32_t kAccessDenied = Hr(0x80070005);        // E_ACCESSDENIED
constexpr int32_t kNoInterface = Hr(0x80004002);         // E_NOINTERFACE
constexpr int32_t kClassNotRegistered = Hr(0x80040154);  // REGDB_E_CLASSNOTREG
constexpr int32_t kInvalidClassString = Hr(0x800401F3);  // CO_E_CLASSSTRING

// OLE DB / ADO.
constexpr int32_t kNotFound = Hr(0x80040E19);            // DB_E_NOTFOUND: no item at that URL
constexpr int32_t kErrorsInCommand = Hr(0x80040E14);     // DB_E_ERRORSINCOMMAND: query text
constexpr int32_t kPermissionDeniedDb = Hr(0x80040E09);  // DB_SEC_E_PERMISSIONDENIED
constexpr int32_t kResourceLocked = Hr(0x80040E92);      // DB_E_RESOURCELOCKED: busy past the bound
constexpr int32_t kResourceExists = Hr(0x80040E0F);      // DB_E_RESOURCEEXISTS
constexpr int32_t kBadUrl = Hr(0x80040E0B);              // DB_E_BADURL? used for malformed URLs
constexpr int32_t kTableNotFound = Hr(0x80040E37);       // DB_E_NOTABLE: scope names no folder
constexpr int32_t kCorrupt = Hr(0x80040E4D);             // store file unreadable
constexpr int32_t kCantConvert = Hr(0x80040E21);         // DB_E_ERRORSOCCURRED: value conversion
constexpr int32_t kAdoNoCurrentRecord = Hr(0x800A0BCD);  // adErrNoCurrentRecord (3021)
constexpr int32_t kAdoItemNotFound = Hr(0x800A0CC1);     // adErrItemNotFound (3265)
constexpr int32_t kAdoObjectClosed = Hr(0x800A0E78);     // adErrObjectClosed (3704)
constexpr int32_t kAdoObjectOpen = Hr(0x800A0E79);       // adErrObjectOpen (3705)
constexpr int32_t kAdoProviderNotFound = Hr(0x800A0E7A);     // adErrProviderNotFound (3706)
constexpr int32_t kAdoInvalidArgument = Hr(0x800A0BB9);      // adErrInvalidArgument (3001)
constexpr int32_t kAdoFeatureNotAvailable = Hr(0x800A0CB3);  // adErrFeatureNotAvailable (3251)

// ADSI.
constexpr int32_t kDsNoSuchObject = Hr(0x80072030);        // LDAP no such object
constexpr int32_t kDsServerDown = Hr(0x8007203A);          // server not operational
constexpr int32_t kDsInvalidCredentials = Hr(0x8007052E);  // logon failure
constexpr int32_t kDsTimeLimit = Hr(0x80072023);           // LDAP time limit exceeded
constexpr int32_t kDsSizeLimit = Hr(0x80072024);           // LDAP size limit exceeded
constexpr int32_t kDsPropertyNotFound = Hr(0x8000500D);    // E_ADS_PROPERTY_NOT_FOUND
constexpr int32_t kDsBadPathname = Hr(0x80005000);         // E_ADS_BAD_PATHNAME
constexpr int32_t kDsUndefinedAttribute = Hr(0x8007200C);  // attribute not in schema
constexpr int32_t kDsConstraint = Hr(0x8007202F);          // constraint violation

// Messaging library (CDO).
constexpr int32_t kCdoSendFailed = Hr(0x80040213);       // CDO_E_FAILED_TO_CONNECT
constexpr int32_t kCdoNoRecipients = Hr(0x8004020C);     // CDO_E_RECIPIENT_MISSING
constexpr int32_t kCdoBadSender = Hr(0x8004020D);        // CDO_E_SENDER_REJECTED? generic sender
constexpr int32_t kCdoInvalidTimeZone = Hr(0x80040610);  // unknown time zone
constexpr int32_t kCdoBadMessage = Hr(0x80040211);       // message could not be parsed / sent

// The platform's own: a value of a kind nobody can interpret.
constexpr int32_t kUnrecognizedData = Hr(0x80040001);
}  // namespace err

// "operation(object) failed: reason (code)" — the one phrasing of diagnostics.
std::string Describe(const std::string& operation, const std::string& object,
                     const std::string& reason, long code);

}  // namespace platform
