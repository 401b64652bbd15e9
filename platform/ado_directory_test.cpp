// The directory provider's objects as the system's procedures use them:
// connection, command with its properties, record set, object binding, the
// root DSE and the system-information objects, over the embedded directory
// (what each directory answers is the directory service's test, on both).
// Put/PutEx/SetInfo are driven by setup's mark and unmark, whose test reads
// the marks back through a search.
#include "platform/ado_directory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "base/testing/temp_platform.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "platform/ads.h"

namespace platform {
namespace {

namespace dir = localplatform::directory;

const char kBase[] = "DC=example,DC=com";

std::vector<dir::Entry> Entries() {
    dir::GeneratorOptions o;
    o.users = 40;
    o.seed = 3;
    std::vector<dir::Entry> entries = dir::GenerateDirectory(o);
    entries.push_back(
        dir::Entry{std::string("CN=Mark Target,CN=Users,") + kBase,
                   {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                    {"cn", {"Mark Target"}},
                    {"sn", {"Target"}},
                    {"objectCategory", {dir::PersonCategory(kBase)}},
                    {"sAMAccountName", {"mtarget"}},
                    {"mailNickname", {"mtarget"}},
                    {"mail", {"Mark.Target@example.com"}},
                    {"msExchMailboxGuid", {dir::GuidForDn("mark")}},
                    {"homeMDB", {dir::MailboxStoreDn(o, "MAILSRV1")}},
                    {"msExchHomeServerName", {dir::HomeServerName(o, "MAILSRV1")}}}});
    return entries;
}

class AdoDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Each case its own folder and configuration path: the platform
        // keeps a configuration once loaded from a path.
        temp_ = std::make_unique<platform::testing::TempPlatform>("quellix-adodir-");
        dir_ = temp_->Dir();
        auto backend =
            dir::OpenLdbDirectory(dir_ + "/directory.ldb", dir::LdbOptions{true, true, false});
        dir::LoadEntries(*backend, Entries());
        temp_->Configure(
            "server.computer_name = MailSrv1\nserver.domain_dns_name = Example.COM\n"
            "directory = ldb://" +
            dir_ + "/directory.ldb\n");
        cnn_.SetProvider("adsDSOobject");
        cnn_.Open("Active Directory Provider", "", "", -1);
        host_ = AdsObject::Bind("GC://RootDSE").Get("dnshostname").ToString();
    }

    void TearDown() override {
        if (cnn_.State() == platform::adStateOpen) cnn_.Close();
        unsetenv("QUELLIX_CONFIG");
        temp_.reset();
    }

    // The command as the system's read queries set it up, property by property.
    Recordset Run(const std::string& text, bool allProperties = true) {
        Command cmd;
        cmd.SetActiveConnection(cnn_);
        cmd.SetCommandText(text);
        cmd.Properties("searchscope").SetValue(Variant(int32_t{2}));
        cmd.Properties("cache results").SetValue(Variant(allProperties));
        cmd.Properties("Chase Referrals").SetValue(Variant(int32_t{96}));
        if (allProperties) {
            EXPECT_TRUE(cmd.Properties("Timeout").Value().IsNull());
            cmd.Properties("Page Size").SetValue(Variant(int16_t{100}));
            cmd.Properties("Size Limit").SetValue(Variant(int16_t{30000}));
            cmd.Properties("Timeout").SetValue(Variant(int16_t{120}));
        }
        return cmd.Execute();
    }

    std::unique_ptr<platform::testing::TempPlatform> temp_;
    std::string dir_;
    Connection cnn_;
    std::string host_;
};

TEST_F(AdoDirectoryTest, RecordSetWalksRowsWithFieldsByAnyCase) {
    Recordset rs =
        Run("SELECT adspath, cn, homeMDB ,msExchHomeServerName,mailNickName,mail FROM 'GC://" +
            host_ + "' WHERE cn='Microsoft System Attendant' ORDER BY cn");
    ASSERT_EQ(rs.RecordCount(), 2);
    int rows = 0;
    while (!rs.Eof()) {
        EXPECT_EQ(rs.Fields("CN").Value().ToString(), "Microsoft System Attendant");
        // An attribute the entry lacks is a Null field.
        EXPECT_TRUE(rs.Fields("mailNickName").Value().IsNull());
        rs.MoveNext();
        ++rows;
    }
    EXPECT_EQ(rows, 2);
    EXPECT_THROW((void)rs.Fields("cn"), Error);
    try {
        rs.MoveNext();
        ADD_FAILURE() << "moved past the end";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kAdoNoCurrentRecord);
    }
    rs.Close();

    // The identity query sets only three properties; a column it did not
    // select is no field.
    rs = Run("SELECT sAMAccountName, cn, mail, objectCategory FROM 'GC://" + host_ +
                 "' WHERE objectcategory='person' AND sAMAccountName='mtarget'",
             false);
    ASSERT_FALSE(rs.Eof());
    EXPECT_EQ(rs.Fields("objectCategory").Value().ToString(), dir::PersonCategory(kBase));
    try {
        (void)rs.Fields("homeMDB");
        ADD_FAILURE() << "an unselected column was readable";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kAdoItemNotFound);
    }

    // Nothing matches: an empty record set, no error.
    rs = Run("SELECT cn FROM 'GC://" + host_ +
             "' WHERE objectcategory='person' AND mail='nobody@example.com'");
    EXPECT_EQ(rs.RecordCount(), 0);
    EXPECT_TRUE(rs.Eof());
}

// The paging properties reach the search (its rows, pages and limits are
// the directory service's test); a "Size Limit" that cuts the rows is told by
// DirectorySearchCut once the cursor is at the end.
TEST_F(AdoDirectoryTest, PagesGiveEveryRowAndACutIsTold) {
    auto walk = [&](int16_t pageSize, int16_t sizeLimit, std::string& cut) {
        Command cmd;
        cmd.SetActiveConnection(cnn_);
        cmd.SetCommandText("SELECT cn FROM 'GC://" + host_ +
                           "' WHERE objectcategory='person' AND MsExchMailboxGuid='*'");
        cmd.Properties("Page Size").SetValue(Variant(pageSize));
        if (sizeLimit > 0) cmd.Properties("Size Limit").SetValue(Variant(sizeLimit));
        Recordset rs = cmd.Execute();
        int rows = 0;
        for (; !rs.Eof(); rs.MoveNext()) ++rows;
        cut = DirectorySearchCut(rs);
        return rows;
    };
    std::string cut;
    const int all = walk(0, 0, cut);
    ASSERT_GT(all, 10);
    EXPECT_EQ(cut, "");
    EXPECT_EQ(walk(3, 10, cut), 10);
    EXPECT_NE(cut.find("Size Limit"), std::string::npos) << cut;
}

TEST_F(AdoDirectoryTest, RootDseAndSystemInformation) {
    AdsObject root = AdsObject::Bind("GC://RootDSE");
    EXPECT_EQ(root.Get("dnshostname").ToString(), host_);
    EXPECT_EQ(root.Get("defaultNamingContext").ToString(), kBase);
    EXPECT_EQ(AdSystemInfo().DomainDNSName(), "Example.COM");
    EXPECT_EQ(WinNtSystemInfo().ComputerName(), "MailSrv1");
    EXPECT_EQ(host_, "mailsrv1.example.com");
}

TEST_F(AdoDirectoryTest, FailuresAreErrorsWithNumbers) {
    struct Case {
        const char* name;
        std::function<void()> action;
        int32_t number;
    };
    const Case cases[] = {
        {"closed connection",
         [&] {
             Connection closed;
             closed.SetProvider("adsDSOobject");
             Command cmd;
             cmd.SetActiveConnection(closed);
             cmd.SetCommandText("SELECT cn FROM 'GC://" + host_ + "'");
             (void)cmd.Execute();
         },
         err::kAdoObjectClosed},
        {"no connection",
         [&] {
             Command cmd;
             cmd.SetCommandText("SELECT cn FROM 'GC://" + host_ + "'");
             (void)cmd.Execute();
         },
         err::kAdoObjectClosed},
        {"unknown property", [&] { (void)Command().Properties("No Such Property"); },
         err::kAdoItemNotFound},
        {"bad property value",
         [&] {
             Command cmd;
             cmd.SetActiveConnection(cnn_);
             cmd.SetCommandText("SELECT cn FROM 'GC://" + host_ + "'");
             cmd.Properties("Page Size").SetValue(Variant("many"));
             (void)cmd.Execute();
         },
         err::kAdoInvalidArgument},
        {"missing property", [&] { (void)AdsObject::Bind("GC://RootDSE").Get("noSuchProperty"); },
         err::kDsPropertyNotFound},
        {"delete a directory row",
         [&] {
             Recordset rs =
                 Run("SELECT cn FROM 'GC://" + host_ + "' WHERE sAMAccountName='mtarget'");
             rs.Delete();
         },
         err::kAdoFeatureNotAvailable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.action();
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), c.number) << e.Description();
            EXPECT_NE(e.Description().find("failed:"), std::string::npos) << e.Description();
        }
    }
}

}  // namespace
}  // namespace platform
