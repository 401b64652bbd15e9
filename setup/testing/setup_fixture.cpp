#include "setup/testing/setup_fixture.h"

#include <unistd.h>

#include <filesystem>

#include "registration/registration.h"

namespace setup::testing {

using quellix::testing::kNamespace;
using quellix::testing::kSystemMailbox;

std::string SystemMailboxListEntry() {
    return std::string(" /  / ") + kSystemMailbox + "@" + kNamespace + " / " + kSystemMailbox;
}

std::string ServerObjectsLdif() {
    const std::string store =
        "CN=Mailbox Store (EXCH01),CN=EXCH01,CN=Configuration,DC=example,DC=org";
    const std::string mailbox = kSystemMailbox;
    return "dn: CN=EXCH01,CN=Configuration,DC=example,DC=org\n"
           "objectClass: top\nobjectClass: container\ncn: EXCH01\n\n"
           "dn: CN=Microsoft System Attendant,CN=EXCH01,CN=Configuration,DC=example,DC=org\n"
           "objectClass: top\nobjectClass: exchangeAdminService\n"
           "cn: Microsoft System Attendant\nhomeMDB: " +
           store + "\n\n" + "dn: CN=" + mailbox + ",CN=Users,DC=example,DC=org\n" +
           "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
           "objectClass: user\ncn: " +
           mailbox + "\nsn: " + mailbox + "\n" +
           "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=org\n"
           "mailNickname: " +
           mailbox + "\nmail: " + mailbox + "@" + kNamespace + "\n" +
           "msExchMailboxGuid:: AAAAAAAAAAAAAAAAAAAAAA==\nhomeMDB: " + store + "\n" +
           "msExchHomeServerName: /o=Org/ou=First Administrative Group/cn=Configuration/"
           "cn=Servers/cn=EXCH01\n\n";
}

std::vector<quellix::testing::User> AnnBobCid(std::vector<quellix::testing::User> more) {
    std::vector<quellix::testing::User> users = {
        {.cn = "Ann Lee", .account = "alee", .alias = "ann", .mail = "ann@example.org"},
        {.cn = "Bob Marked",
         .account = "bob",
         .alias = "bob",
         .mail = "bob@example.org",
         .mark = "Quellix"},
        {.cn = "Cid Free", .account = "cid", .alias = "cid", .mail = "cid@example.org"},
    };
    users.insert(users.end(), more.begin(), more.end());
    return users;
}

void SetupFixture::SetUp() {
    ServerFixture::SetUp();
    Mailbox(kSystemMailbox, kNamespace, true);
    moduleDir_ = dir_ + "/bin";
    std::filesystem::create_directories(moduleDir_);
    std::filesystem::create_symlink(QUELLIX_MODULE_PATH, moduleDir_ + "/Quellix.so");
    oldCwd_ = std::filesystem::current_path().string();
    std::filesystem::current_path(moduleDir_);
}

void SetupFixture::TearDown() {
    std::filesystem::current_path(oldCwd_);
    slapd_.reset();
    ServerFixture::TearDown();
}

bool SetupFixture::LoadDirectory(const std::vector<quellix::testing::User>& users,
                                 Backend backend) {
    if (backend == Backend::Ldb) {
        quellix::testing::LoadEmbeddedDirectory(dir_ + "/directory.ldb", users,
                                                ServerObjectsLdif());
        host_ = "dc1.example.org";
        return true;
    }
    slapd_ = quellix::testing::StartSlapd(users, dir_ + "/directory.ldif", ServerObjectsLdif());
    if (!slapd_) return false;
    Configure({slapd_->ConfigLines()});
    host_ = "127.0.0.1";
    return true;
}

void SetupFixture::ConfigureWith(const std::vector<std::string>& lines) {
    std::vector<std::string> all;
    if (slapd_) all.push_back(slapd_->ConfigLines());
    all.insert(all.end(), lines.begin(), lines.end());
    Configure(all);
}

platform::Variant SetupFixture::RegistrationItem(const std::string& name) {
    platform::Record rec;
    rec.Open(std::string("http://exch01.example.org/exadmin/example.org/mbx/") + kSystemMailbox +
             "/StoreEvents/GlobalEvents/" + registration::kItemName);
    return rec.Fields(name).Value();
}

bool SetupFixture::RegistrationItemExists() {
    try {
        (void)RegistrationItem("DAV:displayname");
        return true;
    } catch (const platform::Error&) {
        return false;
    }
}

std::string SetupFixture::Custom(const char* suffix) {
    return registration::CustomProperty(suffix);
}

}  // namespace setup::testing
