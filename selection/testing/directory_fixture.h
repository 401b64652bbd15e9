// Directory entries for the tests of the run and the setup program: mailbox users written as LDIF
// and loaded into the embedded directory of the test's folder, or into a private slapd.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace localplatform::directory::testing {
class SlapdHarness;
}

namespace quellix::testing {

inline constexpr const char* kBaseDn = "DC=example,DC=org";
inline constexpr const char* kSearchRoot = "GC://dc1.example.org";

// One mailbox user. An empty text leaves its attribute out.
struct User {
    std::string cn{};
    std::string account{};  // sAMAccountName
    std::string alias{};    // mailNickName
    std::string mail{};
    std::string homeServer = "EXCH01";  // last element of msExchHomeServerName
    std::optional<std::string> mark{};  // extensionAttribute8
    bool mailbox = true;                // has msExchMailboxGuid
    std::string homeMdb{};              // DN of its mailbox store (homeMDB)
    // The address of the mail server that holds its mail, as a cluster's
    // proxy reads it (host, of an extensibleObject); empty: none.
    std::string mailHost{};
};

// The domain, the containers the category needs, and the users, as LDIF;
// extraLdif (entries of other kinds: system attendants, mailbox stores) is
// appended as it is.
std::string DirectoryLdif(const std::vector<User>& users, const std::string& extraLdif = "");

// Creates the embedded directory file at path from the users.
void LoadEmbeddedDirectory(const std::string& path, const std::vector<User>& users,
                           const std::string& extraLdif = "");

// A private slapd holding the users; nullptr (the test should skip) when
// slapd is not installed. ConfigLines() of the harness points a platform
// configuration at it; its search root is "GC://127.0.0.1".
// The LDIF is written to ldifPath first, for slapadd.
std::unique_ptr<localplatform::directory::testing::SlapdHarness> StartSlapd(
    const std::vector<User>& users, const std::string& ldifPath, const std::string& extraLdif = "");

}  // namespace quellix::testing
