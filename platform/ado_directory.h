// The directory search command of the platform's ADO provider for the
// directory ("adsDSOobject"): CommandText holds
//   SELECT attr, ... FROM 'GC://host' | 'LDAP://host[/DN]' WHERE filter [ORDER BY attr]
// and Execute turns it into a directory search. Properties tune the search:
// "searchscope" (0 base, 1 one level, 2 subtree), "cache results", "Chase
// Referrals", "Page Size", "Size Limit", "Timeout" (seconds).
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/ado.h"

namespace platform {

// A value put between the single quotes of a command text so that it is read
// as the text it is: quotes doubled. '*' stays a wildcard of the dialect,
// which has no literal form for it; a caller that needs an exact match
// compares the returned values itself.
std::string QuoteQueryValue(std::string_view value);

class Property {
public:
    [[nodiscard]] Variant Value() const { return value_; }
    void SetValue(Variant v) { value_ = std::move(v); }

private:
    Variant value_;
};

class Command {
public:
    // cnn must be a connection opened with provider "adsDSOobject"; it must
    // outlive Execute.
    void SetActiveConnection(Connection& cnn) { cnn_ = &cnn; }
    void SetCommandText(std::string text) { text_ = std::move(text); }
    [[nodiscard]] const std::string& CommandText() const { return text_; }
    // Names compare without regard to case; an unset property is Null. A
    // name the provider does not have raises kAdoItemNotFound.
    [[nodiscard]] Property& Properties(const std::string& name);

    // Runs the search; a malformed text (kErrorsInCommand), an unreachable
    // server (kDsServerDown), a refused bind (kDsInvalidCredentials) or a
    // time-out (kDsTimeLimit) raise platform::Error, here or, for a later
    // page, at MoveNext. The rows are read from the directory a page ("Page
    // Size") at a time as the cursor moves when the text has no ORDER BY;
    // RecordCount reads them all. A server's own size limit and "Size
    // Limit" only shorten the rows (see DirectorySearchCut). Without an open
    // "adsDSOobject" connection: kAdoObjectClosed.
    [[nodiscard]] Recordset Execute();

private:
    Connection* cnn_ = nullptr;
    std::string text_;
    std::map<std::string, Property> properties_;  // keyed by lower-case name
};

// Why the rows of a directory search stop short of every matching entry
// (the server's size limit, or the command's "Size Limit"), as one line;
// empty when they do not, or when rs is no directory search. Final once the
// cursor reached EOF.
[[nodiscard]] std::string DirectorySearchCut(const Recordset& rs);

}  // namespace platform
