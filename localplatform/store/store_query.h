// The store's SQL dialect:
//   SELECT "prop", ... | *
//   FROM SCOPE('shallow traversal of "URL"') | SCOPE('deep traversal of "URL"') | "URL"
//   [WHERE condition] [ORDER BY "prop" [ASC|DESC], ...]
// In a scope the folder URL is double-quoted inside the single-quoted
// argument; "" stands for a " of the URL there, as '' does for a ' of it.
// Conditions: comparisons (= <> != < <= > >=) of quoted property names and
// literals ('text' with '' for a quote, numbers, TRUE, FALSE, NULL,
// CAST("iso" AS 'dateTime') and other CASTs), IS [NOT] NULL, a bare property
// (true when it holds true), AND, OR, NOT, parentheses. Keywords in any case.
//
// Semantics: shallow = the folder's children (items and subfolders); deep =
// the children of the folder and of every folder below it. A property the
// item lacks is Null and every comparison with Null is false (NOT of it is
// true). Text compares without regard to ASCII case, dates as UTC instants
// to the second, numbers by value; values of unrelated types never match.
// Hidden items are rows like any other. Without ORDER BY rows come in
// creation order within each folder, folders in traversal order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/variant.h"
#include "localplatform/store/item_store.h"

namespace localplatform {

struct QueryCondition;  // the parsed WHERE clause; defined in store_query.cpp

struct ParsedQuery {
    ParsedQuery();
    ~ParsedQuery();
    ParsedQuery(ParsedQuery&&) noexcept;
    ParsedQuery& operator=(ParsedQuery&&) noexcept;

    bool selectAll = false;            // SELECT *
    std::vector<std::string> columns;  // as written, in order
    std::string scopeUrl;
    bool deep = false;
    std::unique_ptr<QueryCondition> where;  // null: every row
    struct OrderKey {
        std::string property;
        bool descending = false;
    };
    std::vector<OrderKey> orderBy;
};

// A value as a quoted token of the dialect: between quote marks (' for a
// text literal or a SCOPE argument, " for a property name or a folder URL)
// with every quote mark inside doubled, so it reads back as exactly value.
// The one way data goes into query text; a scope nests it:
//   "SCOPE(" + QuoteQueryText("deep traversal of " + QuoteQueryText(url, '"'), '\'') + ")"
[[nodiscard]] std::string QuoteQueryText(std::string_view value, char quote);

// Parses query text. Raises platform::Error err::kErrorsInCommand with a
// description giving the position (1-based) and what was expected.
[[nodiscard]] ParsedQuery ParseQuery(std::string_view text);

struct QueryRow {
    int64_t id = 0;
    int64_t parent = 0;  // its folder, whose path is in QueryResult::folderPaths
    bool isFolder = false;
    std::string href;                       // in the scheme of the query's URL
    std::vector<std::string> names;         // the row's own column names (SELECT * only)
    std::vector<platform::Variant> values;  // one per column
    // A value of the item that the store cannot convert (a date out of
    // range, a property of an unknown type): the row is still returned, so
    // that one bad item is seen and passed over rather than failing the
    // query; its values that could not be read are Null, and this error
    // (err::kCantConvert, naming the item's URL) says why. Such a row is
    // returned even when the condition needed the bad value.
    std::optional<platform::Error> unreadable;
};

struct QueryResult {
    std::vector<std::string> columns;  // SELECT list (empty for SELECT *)
    bool selectAll = false;
    std::vector<QueryRow> rows;
    // The path of every folder a row is in (the scope, and with a deep
    // traversal the folders below it), by folder id.
    std::map<int64_t, std::vector<std::string>> folderPaths;
};

// Runs a parsed query on a store. The scope URL must be a store URL of this
// server (err::kBadUrl) naming a folder (err::kTableNotFound); hrefs come in
// that URL's scheme.
[[nodiscard]] QueryResult RunQuery(ItemStore& store, const ParsedQuery& query);

}  // namespace localplatform
