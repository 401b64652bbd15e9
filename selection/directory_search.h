// The sink's directory searches: a connection of the directory provider and a
// command with the search properties every query of the run uses.
#pragma once

#include <string>
#include <string_view>

#include "platform/ado.h"
#include "platform/ado_directory.h"

namespace quellix {

// Opens cnn with provider "adsDSOobject" as "Active Directory Provider".
void OpenDirectoryConnection(platform::Connection& cnn);

// Runs query on cnn with "searchscope" 2, "cache results" true, "Chase
// Referrals" 96, "Page Size" 100 and "Timeout" 120, and no "Size Limit":
// every row comes. Raises platform::Error when the search fails; a server's
// own limit that cuts the rows shows in platform::DirectorySearchCut.
platform::Recordset SearchDirectory(platform::Connection& cnn, const std::string& query);

// The one quoting helper of directory query texts (platform/ado_directory.h).
using platform::QuoteQueryValue;

// A directory value as text: Null (absent) reads as empty.
std::string FieldText(const platform::Recordset& rs, const std::string& name);

}  // namespace quellix
