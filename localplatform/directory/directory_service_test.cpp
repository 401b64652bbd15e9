// The directory operations on both directories: the embedded ldb file and a
// private slapd started by the test. The same cases run on each.
#include "localplatform/directory/directory_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "base/error.h"
#include "base/testing/temp_platform.h"
#include "localplatform/directory/directory_generator.h"
#include "localplatform/directory/directory_ldif.h"
#include "localplatform/directory/directory_schema.h"
#include "localplatform/directory/testing/slapd_harness.h"

namespace localplatform::directory {
namespace {

namespace err = platform::err;
using testing::SlapdHarness;

const char kBase[] = "DC=example,DC=com";

// The error number f raises (its text on stderr), 0 when it raises none.
int32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::Error& e) {
        std::fprintf(stderr, "error: %s\n", e.Description().c_str());
        return e.Number();
    }
    return 0;
}

Entry User(const std::string& cn, const std::string& account, std::vector<Attribute> extra) {
    std::vector<Attribute> a = {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                                {"cn", {cn}},
                                {"sn", {cn}},
                                {"objectCategory", {PersonCategory(kBase)}},
                                {"sAMAccountName", {account}}};
    for (auto& x : extra) a.push_back(std::move(x));
    return Entry{"CN=" + EscapeDnValue(cn) + ",CN=Users," + kBase, std::move(a)};
}

Entry Mailbox(const std::string& cn, const std::string& account, const std::string& server,
              std::vector<Attribute> extra) {
    GeneratorOptions o;
    extra.push_back({"mailNickname", {account}});
    extra.push_back({"msExchMailboxGuid", {GuidForDn(cn)}});
    extra.push_back({"homeMDB", {MailboxStoreDn(o, server)}});
    extra.push_back({"msExchHomeServerName", {HomeServerName(o, server)}});
    return User(cn, account, std::move(extra));
}

// The directory every case starts from: a generated one with more than
// 1,000 persons (so searches page), and a few users the cases name.
std::vector<Entry> TestDirectory() {
    GeneratorOptions o;
    o.users = 1100;
    o.seed = 7;
    std::vector<Entry> entries = GenerateDirectory(o);
    const std::vector<Entry> named = {
        Mailbox("Ångström Test", "sorttest1", "MAILSRV1", {{"mail", {"angstrom@example.com"}}}),
        Mailbox("bob test", "sorttest2", "MAILSRV1",
                {{"mail", {"Bob.Test@Example.com"}}, {"extensionAttribute8", {"QUELLIX"}}}),
        Mailbox("Emile Test", "sorttest3", "MAILSRV2", {{"mail", {"emile@example.com"}}}),
        Mailbox("émile test", "sorttest4", "MAILSRV1", {}),
        Mailbox("Örjan Test", "sorttest5", "MAILSRV1",
                {{"mail", {"orjan@mail.example.net"}}, {"extensionAttribute8", {"Other"}}}),
        Mailbox("Zoë Test", "sorttest6", "MAILSRV2",
                {{"mail", {"zoe@example.com"}}, {"extensionAttribute8", {"Quellix"}}}),
        User("No Mailbox Test", "nomailbox", {{"mail", {"nomailbox@example.com"}}}),
        // A mail server's own user (an inetOrgPerson, as Dovecot's LDAP keeps
        // them) made a mailbox user by the auxiliary class.
        Entry{std::string("CN=Dove Cote,CN=Users,") + kBase,
              {{"objectClass",
                {"top", "person", "organizationalPerson", "inetOrgPerson", "quellixMailbox"}},
               {"cn", {"Dove Cote"}},
               {"sn", {"Cote"}},
               {"uid", {"dove"}},
               {"mail", {"dove@example.com"}},
               {"objectCategory", {PersonCategory(kBase)}},
               {"mailNickname", {"dove"}},
               {"msExchMailboxGuid", {GuidForDn("Dove Cote")}},
               {"msExchHomeServerName", {HomeServerName(o, "MAILSRV1")}},
               {"extensionAttribute8", {"Quellix"}}}},
    };
    entries.insert(entries.end(), named.begin(), named.end());
    return entries;
}

const std::vector<Entry>& CachedTestDirectory() {
    static const std::vector<Entry> entries = TestDirectory();
    return entries;
}

enum class Kind { Ldb, Slapd };

class DirectoryServiceTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        temp_ = std::make_unique<platform::testing::TempPlatform>("quellix-dirtest-");
        dir_ = temp_->Dir();
        std::string lines =
            "server.computer_name = MAILSRV1\nserver.domain_dns_name = example.com\n";
        if (GetParam() == Kind::Ldb) {
            auto backend = OpenLdbDirectory(dir_ + "/directory.ldb", LdbOptions{true, true, false});
            LoadEntries(*backend, CachedTestDirectory());
            lines += "directory = ldb://" + dir_ + "/directory.ldb\n";
        } else {
            if (!SlapdHarness::Available()) GTEST_SKIP() << "slapd is not installed";
            const std::string ldif = dir_ + "/directory.ldif";
            {
                std::ofstream out(ldif);
                for (const auto& e : CachedTestDirectory()) out << ToLdif(e);
            }
            SlapdHarness::Options o;
            o.preloadLdif = ldif;
            slapd_ = std::make_unique<SlapdHarness>(o);
            lines += slapd_->ConfigLines();
        }
        config_ = PlatformConfig::Load(temp_->Configure(lines));
        host_ = ReadDirectoryObject(config_, "GC://RootDSE").Find("dnsHostName")->values.at(0);
    }

    void TearDown() override {
        slapd_.reset();
        unsetenv("QUELLIX_CONFIG");
        temp_.reset();
    }

    QueryResult Query(const std::string& text, SearchOptions options = {2, 100, 30000, 120}) {
        return RunDirectoryQuery(config_, text, options);
    }

    std::string Gc() const { return "GC://" + host_; }

    std::unique_ptr<platform::testing::TempPlatform> temp_;
    std::string dir_;
    std::unique_ptr<SlapdHarness> slapd_;
    PlatformConfig config_;
    std::string host_;
};

size_t CountMailboxPersons() {
    size_t n = 0;
    for (const auto& e : CachedTestDirectory()) {
        if (e.Find("msExchMailboxGuid") != nullptr && e.Find("objectCategory") != nullptr) ++n;
    }
    return n;
}

TEST_P(DirectoryServiceTest, MailboxEnumerationPagesSortsAndBuildsPaths) {
    const QueryResult r = Query(
        "SELECT sAMAccountName,extensionAttribute8, adspath, cn, "
        "msExchHomeServerName,mailNickName,mail "
        "FROM '" +
        Gc() + "' WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
    ASSERT_GT(CountMailboxPersons(), 1000u);
    EXPECT_EQ(r.rows.size(), CountMailboxPersons());
    EXPECT_EQ(r.columns,
              (std::vector<std::string>{"sAMAccountName", "extensionAttribute8", "adspath", "cn",
                                        "msExchHomeServerName", "mailNickName", "mail"}));
    const size_t path = 2, cn = 3, home = 4;
    for (size_t i = 1; i < r.rows.size(); ++i) {
        ASSERT_TRUE(r.rows[i][cn].has_value());
        EXPECT_LE(CompareForSort(*r.rows[i - 1][cn], *r.rows[i][cn]), 0)
            << *r.rows[i - 1][cn] << " / " << *r.rows[i][cn];
    }
    for (const auto& row : r.rows) {
        ASSERT_TRUE(row[path].has_value());
        EXPECT_EQ(row[path]->rfind(Gc() + "/CN=", 0), 0u) << *row[path];
        EXPECT_NE(NormalizeDn(*row[path]).find(",dc=example,dc=com"), std::string::npos)
            << *row[path];
        ASSERT_TRUE(row[home].has_value());
        EXPECT_NE(row[home]->find("/cn=Servers/cn=MAILSRV"), std::string::npos);
    }
}

// Ascending order is the enumeration's test; descending reverses it. An
// absent attribute, and one the directory does not define, read as null.
TEST_P(DirectoryServiceTest, OrdersDescendingAndAbsentOrUnknownAttributesAreNull) {
    const QueryResult r =
        Query("SELECT cn, extensionAttribute8, noSuchAttribute, mail, objectCategory FROM '" +
              Gc() + "' WHERE sAMAccountName='sorttest*' ORDER BY cn DESC");
    ASSERT_EQ(r.rows.size(), 6u);
    EXPECT_EQ(r.rows.front()[0], "Zoë Test");
    EXPECT_EQ(r.rows.back()[0], "Ångström Test");
    for (const auto& row : r.rows) {
        EXPECT_FALSE(row[2].has_value());
        // The category reads back as the DN it is (setup's identity takes its domain).
        EXPECT_EQ(NormalizeDn(row[4].value_or("")), NormalizeDn(PersonCategory(kBase)));
        if (row[0] == "émile test") {
            EXPECT_FALSE(row[1].has_value());
            EXPECT_FALSE(row[3].has_value());
        }
    }
}

// The system's queries run here against both directories (the mailbox
// list and the identity's category above, the mark's lookup below; setup's
// tests take the rows on the embedded one). For the attendant's, what only
// this directory decides: an attendant has no alias, and attendants of one
// name keep the order of their DNs.
TEST_P(DirectoryServiceTest, AnswersTheAttendantQueryByTheDirectorysRules) {
    const QueryResult r = Query("SELECT adspath, homeMDB, mailNickName FROM '" + Gc() +
                                "' WHERE cn='Microsoft System Attendant' ORDER BY cn");
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_LT(NormalizeDn(*r.rows[0][0]), NormalizeDn(*r.rows[1][0]));
    for (const auto& row : r.rows) {
        EXPECT_NE(row[0]->find("CN=Microsoft System Attendant,CN=MAILSRV"), std::string::npos)
            << *row[0];
        EXPECT_EQ(NormalizeDn(row[1].value_or("")).rfind("cn=mailbox store (mailsrv", 0), 0u);
        EXPECT_FALSE(row[2].has_value());
    }
}

TEST_P(DirectoryServiceTest, WildcardsLogicAndTheMarksCase) {
    struct Case {
        const char* where;
        size_t rows;
    };
    const Case cases[] = {
        {"sAMAccountName='sorttest*'", 6},
        {"sAMAccountName='*TEST3'", 1},
        {"sAMAccountName='sort*test*5'", 1},
        {"sAMAccountName='sorttest1' OR sAMAccountName='sorttest2'", 2},
        {"sAMAccountName='sorttest*' AND NOT mail='*'", 1},
        {"sAMAccountName='sorttest*' AND (extensionAttribute8='quellix' OR "
         "extensionAttribute8='other')",
         3},
        {"sAMAccountName='sorttest*' and not extensionAttribute8='*'", 3},
        // The mark matches without regard to case, however it is spelt.
        {"sAMAccountName='sorttest*' AND extensionAttribute8='QUELLIX'", 2},
        {"sAMAccountName='sorttest*' AND extensionAttribute8='quellix'", 2},
        {"mail='*@MAIL.EXAMPLE.NET' AND sAMAccountName='sorttest*'", 1},
        // An address in another case still matches.
        {"objectcategory='person' AND MsExchMailboxGuid='*' And mail='bob.test@example.COM'", 1},
        // A mail server's inetOrgPerson with the auxiliary class is a marked
        // mailbox user; a user without a mailbox is none.
        {"objectcategory='person' AND MsExchMailboxGuid='*' AND mail='dove@example.com' AND "
         "extensionAttribute8='QUELLIX'",
         1},
        {"objectcategory='person' AND MsExchMailboxGuid='*' AND mail='nomailbox@example.com'", 0},
        {"cn='x)(cn=*'", 0},
        {"cn='*'' OR ''1''=''1'", 0},
        // An attribute the directory does not define is undefined, also under NOT.
        {"noSuchAttribute='x'", 0},
        {"NOT noSuchAttribute='x'", 0},
        {"sAMAccountName='sorttest1' OR noSuchAttribute='x'", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        EXPECT_EQ(Query("SELECT cn FROM '" + Gc() + "' WHERE " + c.where).rows.size(), c.rows);
    }
}

// Without ORDER BY the rows are read a page at a time as the caller moves;
// small pages give every row of one big read, in the same order, and so
// does a sort spilled in many runs. With ORDER BY or without, a "Size
// Limit" keeps the first rows and the cut says so.
TEST_P(DirectoryServiceTest, RowsComePageByPageAndASizeLimitKeepsTheFirst) {
    for (const char* order : {"", " ORDER BY cn"}) {
        SCOPED_TRACE(order);
        const std::string q = "SELECT cn, adspath FROM '" + Gc() +
                              "' WHERE objectcategory='person' AND MsExchMailboxGuid='*'" + order;
        const QueryResult whole = Query(q, SearchOptions{2, 0, 0, 120});
        ASSERT_EQ(whole.rows.size(), CountMailboxPersons());
        struct Case {
            const char* name;
            SearchOptions options;
            size_t rows;
            bool cut;
        };
        const size_t all = whole.rows.size();
        const Case cases[] = {
            {"pages of 7", {2, 7, 0, 120}, all, false},
            {"a limit at the end", {2, 7, static_cast<int>(all), 120}, all, false},
            {"a limit inside a page", {2, 7, 10, 120}, 10, true},
            {"a limit at a page's end", {2, 5, 10, 120}, 10, true},
            // A sort past its memory merges runs spilled to the temporary
            // folder: the same rows in the same order.
            {"sorted in runs of 2 KiB", {2, 7, 0, 120, 2048}, all, false},
            {"sorted in runs, with a limit", {2, 7, 10, 120, 2048}, 10, true},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::unique_ptr<QueryRows> rows = OpenDirectoryQuery(config_, q, c.options);
            size_t n = 0;
            while (rows->Next()) {
                ASSERT_LT(n, all);
                EXPECT_EQ(rows->Value(0), whole.rows[n][0]);
                EXPECT_EQ(rows->Value(1), whole.rows[n][1]);
                ++n;
            }
            EXPECT_EQ(n, c.rows);
            EXPECT_FALSE(rows->Next()) << "stays at the end";
            EXPECT_EQ(rows->Cut().find("\"Size Limit\" of 10") != std::string::npos, c.cut)
                << rows->Cut();
            EXPECT_EQ(rows->Cut().empty(), !c.cut) << rows->Cut();
            EXPECT_FALSE(rows->CutByServer());
        }
        // Counting reads what is left and keeps the cursor where it is.
        std::unique_ptr<QueryRows> rows =
            OpenDirectoryQuery(config_, q, SearchOptions{2, 7, 0, 120});
        ASSERT_TRUE(rows->Next());
        ASSERT_TRUE(rows->Next());
        EXPECT_EQ(rows->Count(), all);
        EXPECT_EQ(rows->Value(0), whole.rows[1][0]);
    }
}

TEST_P(DirectoryServiceTest, SearchRootAndScope) {
    const std::string users = std::string("CN=Users,") + kBase;
    QueryResult r = Query(
        "SELECT cn FROM 'LDAP://" + host_ + "/" + users + "' WHERE sAMAccountName='sorttest*'",
        SearchOptions{1, 0, 0, 0});
    EXPECT_EQ(r.rows.size(), 6u);
    r = Query("SELECT cn FROM 'LDAP://" + host_ + "/" + users + "' WHERE objectClass='*'",
              SearchOptions{0, 0, 0, 0});
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], "Users");
    EXPECT_EQ(ErrorOf([&] {
                  (void)Query("SELECT cn FROM 'LDAP://" + host_ + "/CN=Nowhere," + kBase +
                              "' WHERE cn='*'");
              }),
              err::kDsNoSuchObject);
}

TEST_P(DirectoryServiceTest, RootDseAndObjectsReadAndWrite) {
    const Entry root = ReadDirectoryObject(config_, "GC://RootDSE");
    EXPECT_EQ(NormalizeDn(root.Find("defaultNamingContext")->values.at(0)), "dc=example,dc=com");
    EXPECT_EQ(NormalizeDn(root.Find("schemaNamingContext")->values.at(0)),
              "cn=schema,cn=configuration,dc=example,dc=com");
    EXPECT_FALSE(host_.empty());

    // The object a mark is written on, found as setup's mark finds it.
    const QueryResult found = Query("SELECT extensionAttribute8, adspath FROM 'LDAP://" + host_ +
                                    "' WHERE objectcategory='person' AND mail='EMILE@example.com'");
    ASSERT_EQ(found.rows.size(), 1u);
    const std::string path = found.rows[0][1].value_or("");
    EXPECT_EQ(path, "LDAP://" + host_ + "/CN=Emile Test,CN=Users," + kBase);
    Entry e = ReadDirectoryObject(config_, path);
    EXPECT_EQ(e.Find("extensionAttribute8"), nullptr);
    WriteDirectoryObject(config_, path,
                         {{Modification::Op::Replace, "extensionAttribute8", {"Quellix"}}});
    e = ReadDirectoryObject(config_, path);
    ASSERT_NE(e.Find("extensionAttribute8"), nullptr);
    EXPECT_EQ(e.Find("extensionAttribute8")->values, std::vector<std::string>{"Quellix"});
    EXPECT_EQ(Query("SELECT cn FROM '" + Gc() +
                    "' WHERE extensionAttribute8='quellix' AND sAMAccountName='sorttest3'")
                  .rows.size(),
              1u);

    WriteDirectoryObject(config_, path, {{Modification::Op::Clear, "extensionAttribute8", {}}});
    EXPECT_EQ(ReadDirectoryObject(config_, path).Find("extensionAttribute8"), nullptr);
    // Clearing what is already absent is harmless.
    WriteDirectoryObject(config_, path, {{Modification::Op::Clear, "extensionAttribute8", {}}});

    const std::string missing = "LDAP://" + host_ + "/CN=Nobody,CN=Users," + kBase;
    EXPECT_EQ(ErrorOf([&] { (void)ReadDirectoryObject(config_, missing); }), err::kDsNoSuchObject);
    try {
        WriteDirectoryObject(config_, missing,
                             {{Modification::Op::Replace, "extensionAttribute8", {"Quellix"}}});
        ADD_FAILURE() << "a write to a missing object succeeded";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.Number(), err::kDsNoSuchObject);
        // The directory's reason, then its number once.
        const std::string text = e.Description();
        EXPECT_EQ(text.find("(32)"), text.rfind("(32)")) << text;
        EXPECT_TRUE(text.ends_with(" (32)")) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, DirectoryServiceTest, ::testing::Values(Kind::Ldb, Kind::Slapd),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                             return i.param == Kind::Ldb ? "ldb" : "slapd";
                         });

// A TCP socket bound to a free loopback port, not yet listening; its port.
int LoopbackSocket(std::string& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port = std::to_string(ntohs(a.sin_port));
    return s;
}

// Failures only a server can show.
class DirectoryServerFailureTest : public ::testing::Test {
protected:
    static PlatformConfig Config(const std::string& lines) {
        return PlatformConfig::Parse(lines, "slapd");
    }
};

TEST_F(DirectoryServerFailureTest, RefusedBindAndUnreachableServers) {
    if (!SlapdHarness::Available()) GTEST_SKIP() << "slapd is not installed";
    SlapdHarness slapd;
    PlatformConfig c = Config(slapd.ConfigLines());
    const std::string q = "SELECT cn FROM 'GC://127.0.0.1' WHERE cn='*'";
    EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(c, q, {}); }), 0);

    // A path naming a server the configuration does not name gets nothing,
    // not even a connection with the configured credentials.
    EXPECT_EQ(ErrorOf([&] {
                  (void)RunDirectoryQuery(c, "SELECT cn FROM 'GC://elsewhere.example' WHERE cn='*'",
                                          {});
              }),
              err::kDsServerDown);
    EXPECT_EQ(ErrorOf([&] {
                  (void)ReadDirectoryObject(c,
                                            "LDAP://elsewhere.example:389/CN=x,DC=example,DC=com");
              }),
              err::kDsServerDown);
    PlatformConfig listed = c;
    listed.Set("directory.hosts", "dc1.example.com, LOCALHOST");
    EXPECT_EQ(ErrorOf([&] {
                  (void)RunDirectoryQuery(listed, "SELECT cn FROM 'GC://localhost' WHERE cn='*'",
                                          {});
              }),
              0);

    c.Set("directory.password", "wrong");
    EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(c, q, {}); }), err::kDsInvalidCredentials);

    // The password from a file private to its owner; one others may read is
    // refused, naming it, and so are both keys at once.
    {
        char folder[] = "/tmp/quellix-bind-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        const std::string file = std::string(folder) + "/bind-password";
        std::ofstream(file) << SlapdHarness::Options().rootPassword << "\n";
        ::chmod(file.c_str(), 0600);
        PlatformConfig fromFile = c;
        fromFile.Set("directory.password", "");
        fromFile.Set("directory.password_file", file);
        EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(fromFile, q, {}); }), 0);
        ::chmod(file.c_str(), 0644);
        EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(fromFile, q, {}); }),
                  err::kPermissionDenied);
        ::chmod(file.c_str(), 0600);
        std::ofstream(file) << "wrong\n";
        EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(fromFile, q, {}); }),
                  err::kDsInvalidCredentials);
        fromFile.Set("directory.password", "wrong");
        EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(fromFile, q, {}); }), err::kInvalidArg);
        std::filesystem::remove_all(folder);
    }

    // SASL EXTERNAL over the local socket needs no password.
    PlatformConfig ldapi;
    ldapi.Set("directory", slapd.LdapiUri());
    ldapi.Set("directory.sasl_mech", "EXTERNAL");
    EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(ldapi, q, {}); }), 0);

    // A port nobody listens on.
    PlatformConfig down = Config(slapd.ConfigLines());
    std::string port;
    const int s = LoopbackSocket(port);
    down.Set("directory", "ldap://127.0.0.1:" + port);
    down.Set("directory.gc_port", port);
    down.Set("directory.ldap_port", port);
    down.Set("directory.network_timeout", "2");
    // Bound but not listening: connections are refused.
    EXPECT_EQ(ErrorOf([&] { (void)RunDirectoryQuery(down, q, {}); }), err::kDsServerDown);
    EXPECT_EQ(ErrorOf([&] { (void)ReadDirectoryObject(down, "GC://RootDSE"); }),
              err::kDsServerDown);

    ::close(s);
}

// A limit of the server's own, smaller than the result, fails a whole read
// (the caller's "Size Limit" is what truncates); read through
// OpenDirectoryQuery, it ends the rows where the server ended them, and says
// so. A limit on unpaged searches and pages only (a forest's MaxPageSize)
// cuts nothing: the rows are paged.
TEST_F(DirectoryServerFailureTest, ServerLimitsCutOnlyWhatTheyCut) {
    if (!SlapdHarness::Available()) GTEST_SKIP() << "slapd is not installed";
    for (const bool pagesOnly : {false, true}) {
        SCOPED_TRACE(pagesOnly ? "page limit" : "size limit");
        SlapdHarness::Options o;
        (pagesOnly ? o.serverPageLimit : o.serverSizeLimit) = 4;
        o.rootDn = "CN=reader,DC=example,DC=com";  // the root DN would be exempt from limits
        SlapdHarness slapd(o);
        PlatformConfig c = Config(slapd.ConfigLines());
        c.Set("directory.bind_dn", "");
        c.Set("directory.password", "");
        {
            std::unique_ptr<Backend> writer = OpenLdapDirectory(
                LdapSettings{slapd.Uri(), o.rootDn, o.rootPassword, "", false, 5});
            for (int i = 0; i < 9; ++i) {
                writer->Add(Entry{
                    "CN=c" + std::to_string(i) + "," + kBase,
                    {{"objectClass", {"top", "container"}}, {"cn", {"c" + std::to_string(i)}}}});
            }
        }
        for (const char* order : {"", " ORDER BY cn"}) {
            SCOPED_TRACE(order);
            const std::string q =
                std::string("SELECT cn FROM 'GC://127.0.0.1' WHERE cn='c*'") + order;
            std::unique_ptr<QueryRows> rows =
                OpenDirectoryQuery(c, q, SearchOptions{2, 100, 0, 10});
            size_t n = 0;
            while (rows->Next()) ++n;
            EXPECT_EQ(n, pagesOnly ? 9u : 4u);
            EXPECT_EQ(rows->CutByServer(), !pagesOnly);
            EXPECT_EQ(ErrorOf([&] {
                          (void)RunDirectoryQuery(c, q, SearchOptions{2, 2, 0, 10});
                      }),
                      pagesOnly ? 0 : err::kDsSizeLimit);
            if (!pagesOnly) {
                EXPECT_NE(rows->Cut().find("size limit"), std::string::npos) << rows->Cut();
            }
        }
    }
}

// A server that accepts the bind and then never answers the search: the
// caller's "Timeout" ends the wait with a time-limit error. (No real server
// stalls on demand; this one speaks just enough LDAP for the bind.)
TEST_F(DirectoryServerFailureTest, SearchTimeOutEndsTheWait) {
    std::string port;
    const int s = LoopbackSocket(port);
    ASSERT_EQ(::listen(s, 4), 0);
    std::thread stalling([s] {
        const int c = ::accept(s, nullptr, nullptr);
        if (c < 0) return;
        char buf[512];
        (void)::read(c, buf, sizeof buf);  // the bind request, message 1
        // BindResponse, message 1, success.
        const unsigned char ok[] = {0x30, 0x0c, 0x02, 0x01, 0x01, 0x61, 0x07,
                                    0x0a, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
        (void)::write(c, ok, sizeof ok);
        while (::read(c, buf, sizeof buf) > 0) {
        }
        ::close(c);
    });
    PlatformConfig c;
    c.Set("directory", "ldap://127.0.0.1:" + port);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf([&] {
                  (void)RunDirectoryQuery(c, "SELECT cn FROM 'GC://127.0.0.1' WHERE cn='*'",
                                          SearchOptions{2, 100, 0, 1});
              }),
              err::kDsTimeLimit);
    // Bounded: well under the default wait (this is no speed assertion).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
    stalling.join();
}

TEST(EmbeddedDirectory, MissingFileIsAnUnreachableDirectory) {
    PlatformConfig c;
    c.Set("directory", "ldb:///nonexistent-quellix/directory.ldb");
    EXPECT_EQ(
        ErrorOf([&] { (void)RunDirectoryQuery(c, "SELECT cn FROM 'GC://h' WHERE cn='*'", {}); }),
        err::kDsServerDown);
}

}  // namespace
}  // namespace localplatform::directory
