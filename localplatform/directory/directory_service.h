// The directory operations the platform layer offers, on whichever
// directory the platform configuration names: a query of the provider's SQL
// dialect with its rows, an object read and written by ADsPath, the root
// DSE. Everything raises platform::Error with the provider's numbers.
#pragma once

#include <memory>
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
    // With ORDER BY: the rows held in memory while sorting; past it, sorted
    // runs go to the private temporary folder and are merged as read.
    size_t sortMemory = size_t{1} << 20;
};

struct QueryResult {
    std::vector<std::string> columns;  // as the SELECT list names them
    std::vector<bool> binary;          // per column: values are octet strings
    // One value per column; nullopt where the entry has no such attribute.
    std::vector<std::vector<std::optional<std::string>>> rows;
};

// The rows of a directory query, read as the caller moves through them.
// Without ORDER BY the directory is read a page ("Page Size") at a time as
// the rows are used, and the directory connection stays open until the
// rows go; with ORDER BY every row is read and sorted at once, only the
// selected values kept, packed one block a row.
class QueryRows {
public:
    struct State;
    explicit QueryRows(std::unique_ptr<State> state);
    ~QueryRows();
    QueryRows(const QueryRows&) = delete;
    QueryRows& operator=(const QueryRows&) = delete;

    [[nodiscard]] const std::vector<std::string>& Columns() const;  // as SELECT names them
    [[nodiscard]] const std::vector<bool>& Binary() const;          // per column: octet strings
    // Moves to the next row, the first on the first call; false after the
    // last. Raises platform::Error when reading the next page fails.
    [[nodiscard]] bool Next();
    // The current row's value of a column (an index into Columns()); nullopt
    // where the entry has no such attribute. Only valid after Next gave true.
    [[nodiscard]] std::optional<std::string_view> Value(size_t column) const;
    // The number of rows of the result: reads every row not read yet.
    [[nodiscard]] size_t Count();
    // Why the rows stop short of every matching entry, as one line: the
    // server's size limit, or the caller's "Size Limit". Empty while they do
    // not; final once Next has given false (or after Count).
    [[nodiscard]] const std::string& Cut() const;
    // True when the cut is the server's.
    [[nodiscard]] bool CutByServer() const;

private:
    friend std::unique_ptr<QueryRows> OpenDirectoryQuery(const PlatformConfig&, std::string_view,
                                                         const SearchOptions&);
    // Appends the next page's rows; false when the directory has no more.
    bool Fill();
    std::unique_ptr<State> state_;
};

// Opens a query text with the order, size limit and paths described below
// at RunDirectoryQuery, except that a server's size limit is no error: the
// rows end where the server ended them, and Cut() says so.
std::unique_ptr<QueryRows> OpenDirectoryQuery(const PlatformConfig& config, std::string_view text,
                                              const SearchOptions& options);

// Runs a query text. Rows come in ORDER BY order when the text has one
// (sorted here: case and accents do not separate names), else in the
// directory's. The column "adspath" is the entry's path: the FROM path's
// scheme and host, then the DN. A size limit keeps the first rows of that
// order and drops the rest, as the provider does; it is not an error. A
// server's own size limit that cuts the result raises kDsSizeLimit. Every
// row is held at once: OpenDirectoryQuery reads them as they are used.
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
