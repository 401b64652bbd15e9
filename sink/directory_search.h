// The sink's directory searches: a connection of the directory provider and a
// command with the search properties every query of the run uses.
#pragma once

#include <string>
#include <string_view>

#include "platform/ado.h"

namespace quellix {

// Opens cnn with provider "adsDSOobject" as "Active Directory Provider".
void OpenDirectoryConnection(platform::Connection& cnn);

// Runs query on cnn with "searchscope" 2, "cache results" true, "Chase
// Referrals" 96, "Page Size" 100 and "Timeout" 120, and no "Size Limit":
// every row comes. Raises platform::Error when the search fails; a server's
// own limit that cuts the rows shows in platform::DirectorySearchCut.
platform::Recordset SearchDirectory(platform::Connection& cnn, const std::string& query);

// A value put between single quotes of a query so that it is read as the
// text it is: quotes doubled. ('*' stays a wildcard of the directory's
// dialect, which has no literal form for it; callers that need an exact
// match compare the returned value themselves.)
std::string QuoteQueryValue(std::string_view value);

// A directory value as text: Null (absent) reads as empty.
std::string FieldText(const platform::Recordset& rs, const std::string& name);

}  // namespace quellix
