// The directory provider's SQL dialect and its translation into an LDAP
// search:
//   SELECT attr, ... FROM 'GC://host' | 'LDAP://host[:port][/DN]'
//     [WHERE condition] [ORDER BY attr [ASC|DESC]]
// Conditions compare an attribute with a quoted value ('it''s' doubles a
// quote) or a number, with =, <>, <= and >=; combine with AND, OR, NOT (any
// letter case) and parentheses. Inside a quoted value '*' is a wildcard: the
// value '*' alone asks for presence, any other '*' makes a substring match.
// Everything else in a value matches literally: values are escaped (RFC 4515)
// so that no value can change the structure of the filter.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace localplatform::directory {

// A parsed ADsPath: "GC://host[:port][/DN]", "LDAP://host[:port][/DN]", the
// serverless "LDAP://DN", or "GC://RootDSE" / "LDAP://RootDSE".
struct AdsPath {
    enum class Scheme { Gc, Ldap };
    Scheme scheme = Scheme::Ldap;
    std::string host;  // empty for a serverless path
    int port = 0;      // 0 = the scheme's configured port
    std::string dn;    // empty = the default naming context
    bool rootDse = false;

    // "GC:" or "LDAP:" as a scheme prefix of a path.
    [[nodiscard]] std::string SchemePrefix() const {
        return scheme == Scheme::Gc ? "GC:" : "LDAP:";
    }
    // The path of the entry dn on the same scheme, host and port.
    [[nodiscard]] std::string PathOf(const std::string& entryDn) const;
};

// Parses an ADsPath; raises platform::Error kDsBadPathname for anything else.
AdsPath ParseAdsPath(const std::string& path);

// One node of a WHERE clause.
struct Condition {
    enum class Kind { And, Or, Not, Compare };
    enum class Op { Equal, NotEqual, LessOrEqual, GreaterOrEqual };
    Kind kind = Kind::Compare;
    std::vector<std::unique_ptr<Condition>> operands;  // And, Or: two or more; Not: one
    std::string attribute;                             // Compare
    Op op = Op::Equal;
    std::string value;  // the literal text, quotes removed; '*' still a wildcard
    bool quoted = true;
};

struct DirectoryQuery {
    std::vector<std::string> attributes;  // as written, in order
    AdsPath root;
    std::unique_ptr<Condition> where;  // null: no WHERE clause
    std::string orderBy;               // empty: the directory's order
    bool descending = false;
};

// Parses a query text; raises platform::Error kErrorsInCommand, naming the
// place, for any text outside the dialect, a bad FROM path included.
DirectoryQuery ParseDirectoryQuery(std::string_view text);

// What the translation needs from the directory it will run against.
struct FilterContext {
    // The schema naming context ("CN=Schema,CN=Configuration,DC=...");
    // objectCategory='person' becomes CN=person,<schemaNamingContext>.
    std::string schemaNamingContext;
    // Whether the directory defines an attribute. A comparison on an
    // undefined attribute is Undefined, as an LDAP server evaluates it: it is
    // neither true nor false, also under NOT. Null = every attribute known.
    std::function<bool(const std::string&)> isKnownAttribute;
};

// The LDAP filter of a WHERE clause (RFC 4515 text).
struct LdapFilter {
    enum class Kind { Filter, MatchesNothing };
    Kind kind = Kind::Filter;
    std::string text;  // for Kind::Filter
};

// Translates a condition (null = match every entry: "(objectClass=*)").
// Raises kErrorsInCommand for a condition no filter can express (a
// wildcard with <=, >= or on adspath).
LdapFilter ToLdapFilter(const Condition* where, const FilterContext& context);

// RFC 4515 escaping of an assertion value: '*', '(', ')', '\' and NUL become
// \2a, \28, \29, \5c, \00; so do other control bytes.
std::string EscapeFilterValue(std::string_view value);
// RFC 4514 escaping of an attribute value inside a DN.
std::string EscapeDnValue(std::string_view value);
// A DN in one canonical form for comparisons: blanks around ',', '=' and '+'
// removed, ASCII letters folded to lower case. Servers differ in the case
// they return.
std::string NormalizeDn(std::string_view dn);
// The DN with its attribute types in upper case ("cn=a,dc=b" ->
// "CN=a,DC=b"), the spelling the real directory uses; values are kept.
std::string UpperCaseDnTypes(std::string_view dn);

}  // namespace localplatform::directory
