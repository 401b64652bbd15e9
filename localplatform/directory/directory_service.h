// The directory operations the platform layer offers, on whichever
// directory the platform configuration names: a query of the provider's SQL
// dialect with its rows, an object read and written by ADsPath, the root
// DSE. Everything raises platform::Error with the provider's numbers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_backend.h"

namespace localplatform::directory {

struct SearchOptions {
    int scope = 2;           // "searchscope": 0 base, 1 one level, 2 subtree
    int pageSize = 0;        // "Page Size": 0 = the backend's page
    int sizeLimit = 0;       // "Size Limit": at most this many rows, 0 = all
    int timeoutSeconds = 0;  // "Timeout": 0 = no limit of the caller's
};

struct QueryResult {
    std::vector<std::string> columns;  // as the SELECT list names them
    std::vector<bool> binary;          // per column: values are octet strings
    // One value per column; nullopt where the entry has no such attribute.
    std::vector<std::vector<std::optional<std::string>>> rows;
};

// Runs a query text. Rows come in ORDER BY order when the text has one
// (sorted here: case and accents do not separate names), else in the
// directory's. The column "adspath" is the entry's path: the FROM path's
// scheme and host, then the DN. A size limit keeps the first rows of that
// order and drops the rest, as the provider does; it is not an error.
QueryResult RunDirectoryQuery(const PlatformConfig& config, std::string_view text,
                              const SearchOptions& options);

// The entry an ADsPath names, with all its attributes (the root DSE for
// "GC://RootDSE", with "dnsHostName", "defaultNamingContext",
// "schemaNamingContext" and "configurationNamingContext"). Raises
// kDsNoSuchObject when there is none, kDsBadPathname for a bad path.
Entry ReadDirectoryObject(const PlatformConfig& config, const std::string& adsPath);

// Writes changes to the entry an ADsPath names, through the writable
// server. Raises kDsNoSuchObject when there is none.
void WriteDirectoryObject(const PlatformConfig& config, const std::string& adsPath,
                          const std::vector<Modification>& changes);

}  // namespace localplatform::directory
