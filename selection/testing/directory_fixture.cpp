#include "selection/testing/directory_fixture.h"

#include <fstream>
#include <sstream>

#include "base/strfuncs.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/testing/slapd_harness.h"

namespace quellix::testing {

namespace {

std::string Base64(const std::string& raw) {
    static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < raw.size(); i += 3) {
        const uint32_t n = (static_cast<uint8_t>(raw[i]) << 16) |
                           (i + 1 < raw.size() ? static_cast<uint8_t>(raw[i + 1]) << 8 : 0) |
                           (i + 2 < raw.size() ? static_cast<uint8_t>(raw[i + 2]) : 0);
        out += kB64[(n >> 18) & 63];
        out += kB64[(n >> 12) & 63];
        out += i + 1 < raw.size() ? kB64[(n >> 6) & 63] : '=';
        out += i + 2 < raw.size() ? kB64[n & 63] : '=';
    }
    return out;
}

// A stable 16-byte mailbox GUID, base64 of its cn's first bytes padded.
std::string MailboxGuidBase64(size_t index) {
    std::string raw(16, '\x11');
    raw[0] = static_cast<char>(index & 0xff);
    raw[1] = static_cast<char>((index >> 8) & 0xff);
    return Base64(raw);
}

// "name: value", or "name:: base64" for a value holding control characters.
std::string Attribute(const std::string& name, const std::string& value) {
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20) return name + ":: " + Base64(value);
    }
    return name + ": " + value;
}

// A DN value with its control characters written as "\XX".
std::string DnValue(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20) {
            out += '\\';
            platform::AppendHexByte(out, static_cast<unsigned char>(c));
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string DirectoryLdif(const std::vector<User>& users, const std::string& extraLdif) {
    const std::string base = kBaseDn;
    const std::string config = "CN=Configuration," + base;
    std::ostringstream out;
    out << localplatform::directory::NamingContextLdif("example.org");
    size_t index = 0;
    for (const auto& u : users) {
        ++index;
        out << "dn: CN=" << DnValue(u.cn) << ",CN=Users," << base << "\n"
            << "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
            << "objectClass: user\n"
            << (u.mailHost.empty() ? ""
                                   : "objectClass: extensibleObject\nhost: " + u.mailHost + "\n")
            << Attribute("cn", u.cn) << "\n"
            << Attribute("sn", u.cn) << "\n"
            << "objectCategory: CN=Person,CN=Schema," << config << "\n";
        if (!u.account.empty()) out << "sAMAccountName: " << u.account << "\n";
        if (!u.alias.empty()) out << "mailNickname: " << u.alias << "\n";
        if (!u.mail.empty()) out << "mail: " << u.mail << "\n";
        if (u.mark) out << "extensionAttribute8: " << *u.mark << "\n";
        if (!u.homeMdb.empty()) out << "homeMDB: " << u.homeMdb << "\n";
        if (u.mailbox) {
            out << "msExchMailboxGuid:: " << MailboxGuidBase64(index) << "\n";
            if (!u.homeServer.empty()) {
                out << "msExchHomeServerName: /o=Org/ou=First Administrative Group/"
                       "cn=Configuration/cn=Servers/cn="
                    << u.homeServer << "\n";
            }
        }
        out << "\n";
    }
    out << extraLdif;
    return out.str();
}

void LoadEmbeddedDirectory(const std::string& path, const std::vector<User>& users,
                           const std::string& extraLdif) {
    namespace dir = localplatform::directory;
    auto backend = dir::OpenLdbDirectory(path, {.create = true, .batch = true, .readOnly = false});
    (void)dir::LoadEntries(*backend, dir::ParseLdif(DirectoryLdif(users, extraLdif)));
}

std::unique_ptr<localplatform::directory::testing::SlapdHarness> StartSlapd(
    const std::vector<User>& users, const std::string& ldifPath, const std::string& extraLdif) {
    using localplatform::directory::testing::SlapdHarness;
    if (!SlapdHarness::Available()) return nullptr;
    SlapdHarness::Options options;
    options.suffix = kBaseDn;
    options.rootDn = std::string("CN=admin,") + kBaseDn;
    std::ofstream(ldifPath) << DirectoryLdif(users, extraLdif);
    options.preloadLdif = ldifPath;
    return std::make_unique<SlapdHarness>(options);
}

}  // namespace quellix::testing
