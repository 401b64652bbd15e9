#include "localplatform/directory/directory_query.h"

#include <gtest/gtest.h>

#include <set>

#include "base/error.h"

namespace localplatform::directory {
namespace {

const char kSchemaNc[] = "CN=Schema,CN=Configuration,DC=example,DC=com";
const char kPerson[] = "CN=person,CN=Schema,CN=Configuration,DC=example,DC=com";

std::string Translate(const std::string& query,
                      std::function<bool(const std::string&)> known = nullptr) {
    const DirectoryQuery q = ParseDirectoryQuery(query);
    const LdapFilter f = ToLdapFilter(q.where.get(), FilterContext{kSchemaNc, std::move(known)});
    return f.kind == LdapFilter::Kind::MatchesNothing ? "<nothing>" : f.text;
}

struct QueryCase {
    const char* name;
    std::string query;
    std::string filter;
    std::vector<std::string> attributes;
    std::string orderBy;
};

// The query texts the system sends, exactly as its procedures build them,
// one of each shape; the directory service's tests run their shapes against
// both directories.
TEST(DirectoryQuery, TranslatesTheSystemsQueries) {
    const std::string person = std::string("(objectcategory=") + kPerson + ")";
    const QueryCase cases[] = {
        {"mailbox enumeration",
         "SELECT sAMAccountName,extensionAttribute8, adspath, cn, "
         "msExchHomeServerName,mailNickName,mail "
         "FROM 'GC://dc1.example.com' WHERE objectcategory='person' AND MsExchMailboxGuid='*' "
         "ORDER BY cn",
         "(&" + person + "(MsExchMailboxGuid=*))",
         {"sAMAccountName", "extensionAttribute8", "adspath", "cn", "msExchHomeServerName",
          "mailNickName", "mail"},
         "cn"},
        {"mark",
         "SELECT extensionAttribute8, adspath FROM 'LDAP://dc1.example.com' "
         "WHERE objectcategory='person' AND mail='user1@example.com'",
         "(&" + person + "(mail=user1@example.com))",
         {"extensionAttribute8", "adspath"},
         ""},
        {"system mailboxes",
         "SELECT adspath, cn, homeMDB ,msExchHomeServerName,mailNickName,mail FROM "
         "'GC://dc1.example.com' "
         "WHERE cn='SystemMailbox{*' AND objectcategory='person' AND MsExchMailboxGuid='*' ORDER "
         "BY cn",
         "(&(cn=SystemMailbox{*)" + person + "(MsExchMailboxGuid=*))",
         {"adspath", "cn", "homeMDB", "msExchHomeServerName", "mailNickName", "mail"},
         "cn"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DirectoryQuery q = ParseDirectoryQuery(c.query);
        EXPECT_EQ(q.attributes, c.attributes);
        EXPECT_EQ(q.orderBy, c.orderBy);
        EXPECT_EQ(q.root.host, "dc1.example.com");
        EXPECT_EQ(Translate(c.query), c.filter);
    }
}

TEST(DirectoryQuery, TranslatesWildcardsOperatorsAndNesting) {
    const std::pair<const char*, const char*> cases[] = {
        {"cn='*'", "(cn=*)"},
        {"cn='***'", "(cn=*)"},
        {"cn='abc*'", "(cn=abc*)"},
        {"cn='*abc'", "(cn=*abc)"},
        {"cn='*abc*'", "(cn=*abc*)"},
        {"cn='a*b*c'", "(cn=a*b*c)"},
        {"cn='a**b'", "(cn=a*b)"},
        {"cn='a(b)\\c'", "(cn=a\\28b\\29\\5cc)"},
        {"cn='it''s'", "(cn=it's)"},
        {"cn=''", "(cn=)"},
        {"cn<>'a'", "(!(cn=a))"},
        {"cn>='m' and cn<='p'", "(&(cn>=m)(cn<=p))"},
        {"userAccountControl=512", "(userAccountControl=512)"},
        {"isDeleted=true", "(isDeleted=TRUE)"},
        {"1.2.840.113556.1.4.221='x'", "(1.2.840.113556.1.4.221=x)"},
        {"not (cn='a' or cn='b') and mail='*'", "(&(!(|(cn=a)(cn=b)))(mail=*))"},
        {"NoT cn='a' oR cn='b' AnD cn='c'", "(|(!(cn=a))(&(cn=b)(cn=c)))"},
        {"((cn='a'))", "(cn=a)"},
        {"objectCategory='CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com'",
         "(objectCategory=CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com)"},
        {"objectCategory='pers*'", "(objectCategory=pers*)"},
        {"objectCategory='a,b'",
         "(objectCategory=CN=a\\5c,b,CN=Schema,CN=Configuration,DC=example,DC=com)"},
    };
    for (const auto& [where, filter] : cases) {
        SCOPED_TRACE(where);
        EXPECT_EQ(Translate(std::string("SELECT cn FROM 'LDAP://h' WHERE ") + where), filter);
    }
    EXPECT_EQ(Translate("SELECT cn FROM 'LDAP://h'"), "(objectClass=*)");
}

// A value taken from data can hold any character; the filter keeps one item.
TEST(DirectoryQuery, ValuesNeverChangeTheFiltersStructure) {
    const char* hostile[] = {"x)(objectClass=*", "*)(|(cn=*", "a\\29(", ")", "(", "\\",
                             "x)(!(cn=a)"};
    for (const char* v : hostile) {
        SCOPED_TRACE(v);
        std::string quoted;
        for (const char* p = v; *p; ++p)
            quoted += *p == '\'' ? std::string("''") : std::string(1, *p);
        const std::string f = Translate("SELECT cn FROM 'LDAP://h' WHERE mail='" + quoted + "'");
        int open = 0, close = 0;
        for (char c : f) {
            open += c == '(';
            close += c == ')';
        }
        EXPECT_EQ(open, 1) << f;
        EXPECT_EQ(close, 1) << f;
        EXPECT_EQ(f.rfind("(mail=", 0), 0u) << f;
    }
    EXPECT_EQ(EscapeFilterValue(std::string("a\0b", 3)), "a\\00b");
    EXPECT_EQ(EscapeDnValue(" a,b+c "), "\\ a\\,b\\+c\\ ");
}

// Undefined attributes are neither true nor false, as an LDAP server treats
// them, so both directories answer alike.
TEST(DirectoryQuery, UndefinedAttributesMatchNothingEvenUnderNot) {
    const std::set<std::string> known = {"cn", "mail"};
    auto isKnown = [&](const std::string& a) { return known.count(a) != 0; };
    const std::pair<const char*, const char*> cases[] = {
        {"noSuch='x'", "<nothing>"},
        {"NOT noSuch='x'", "<nothing>"},
        {"cn='a' AND noSuch='x'", "<nothing>"},
        {"cn='a' OR noSuch='x'", "(cn=a)"},
        {"NOT (cn='a' AND noSuch='x')", "(!(cn=a))"},
        {"NOT (cn='a' OR noSuch='x')", "<nothing>"},
        {"NOT NOT cn='a'", "(!(!(cn=a)))"},
    };
    for (const auto& [where, filter] : cases) {
        SCOPED_TRACE(where);
        EXPECT_EQ(Translate(std::string("SELECT cn FROM 'LDAP://h' WHERE ") + where, isKnown),
                  filter);
    }
}

TEST(DirectoryQuery, RejectsMalformedQueries) {
    const char* cases[] = {
        "",
        "SELECT",
        "SELECT cn",
        "SELECT cn FROM GC://h",
        "SELECT FROM 'GC://h'",
        "SELECT cn, FROM 'GC://h'",
        "SELECT cn FROM 'GC://h' WHERE",
        "SELECT cn FROM 'GC://h' WHERE cn=",
        "SELECT cn FROM 'GC://h' WHERE cn='a",
        "SELECT cn FROM 'GC://h' WHERE (cn='a'",
        "SELECT cn FROM 'GC://h' WHERE cn='a')",
        "SELECT cn FROM 'GC://h' WHERE cn < 'a'",
        "SELECT cn FROM 'GC://h' WHERE cn='a' AND",
        "SELECT cn FROM 'GC://h' WHERE cn='a' ORDER cn",
        "SELECT cn FROM 'GC://h' WHERE cn='a' ORDER BY",
        "SELECT cn FROM 'GC://h' WHERE cn='a' garbage",
        "SELECT cn FROM 'GC://h' WHERE cn>='a*'",
        "SELECT cn FROM 'GC://h' WHERE adspath='LDAP://x'",
        "SELECT cn FROM 'GC://h' WHERE cn='a' # comment",
        "SELECT cn FROM 'FTP://h'",
        "SELECT cn FROM 'GC://RootDSE'",
        "SELECT cn FROM 'LDAP://h:99999'",
        "SELECT select FROM 'GC://h'",
        "INSERT cn FROM 'GC://h'",
    };
    for (const char* q : cases) {
        SCOPED_TRACE(q);
        try {
            (void)Translate(q);
            ADD_FAILURE() << "accepted";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::kErrorsInCommand);
            EXPECT_NE(e.Description().find("failed:"), std::string::npos) << e.Description();
        }
    }
    std::string deep = "SELECT cn FROM 'GC://h' WHERE ";
    for (int i = 0; i < 500; ++i) deep += "(";
    deep += "cn='a'";
    for (int i = 0; i < 500; ++i) deep += ")";
    EXPECT_THROW((void)Translate(deep), platform::Error);
}

TEST(AdsPath, ParsesTheForms) {
    AdsPath p = ParseAdsPath("GC://RootDSE");
    EXPECT_TRUE(p.rootDse);
    EXPECT_EQ(p.scheme, AdsPath::Scheme::Gc);

    p = ParseAdsPath("LDAP://dc1.example.com:3890/CN=Ann Lee,CN=Users,DC=example,DC=com");
    EXPECT_EQ(p.scheme, AdsPath::Scheme::Ldap);
    EXPECT_EQ(p.host, "dc1.example.com");
    EXPECT_EQ(p.port, 3890);
    EXPECT_EQ(p.dn, "CN=Ann Lee,CN=Users,DC=example,DC=com");
    EXPECT_EQ(p.PathOf("CN=x,DC=y"), "LDAP://dc1.example.com:3890/CN=x,DC=y");

    p = ParseAdsPath("LDAP://CN=x,DC=y");
    EXPECT_TRUE(p.host.empty());
    EXPECT_EQ(p.dn, "CN=x,DC=y");
    EXPECT_EQ(p.PathOf(p.dn), "LDAP://CN=x,DC=y");

    p = ParseAdsPath("gc://[::1]:3268");
    EXPECT_EQ(p.host, "[::1]");
    EXPECT_EQ(p.port, 3268);
    EXPECT_EQ(p.PathOf("DC=y"), "GC://[::1]:3268/DC=y");

    for (const char* bad : {"", "GC:", "http://h/x", "LDAP://h/notadn", "LDAP://h:0",
                            "LDAP://h:x/DC=a", "LDAP://h o/DC=a"}) {
        SCOPED_TRACE(bad);
        try {
            (void)ParseAdsPath(bad);
            ADD_FAILURE() << "accepted";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::kDsBadPathname);
        }
    }
}

TEST(AdsPath, NormalizesDistinguishedNames) {
    EXPECT_EQ(NormalizeDn("CN=Ann Lee , CN=Users,dc=Example,DC=COM"),
              "cn=ann lee,cn=users,dc=example,dc=com");
    EXPECT_EQ(NormalizeDn("cn = a\\,b"), "cn=a\\,b");
    EXPECT_EQ(NormalizeDn("CN=Ä"), "cn=Ä");
    EXPECT_EQ(UpperCaseDnTypes("cn=a\\,cn=b,dc=Example+uid=x"), "CN=a\\,cn=b,DC=Example+UID=x");
}

}  // namespace
}  // namespace localplatform::directory
