#include "localplatform/directory/directory_service.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/error.h"
#include "localplatform/directory/directory_schema.h"
#include "localplatform/directory/sorted_rows.h"

namespace localplatform::directory {
namespace {

using platform::Error;
namespace err = platform::err;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

// A row's values in one block: a header of one 32-bit word a column (the
// end of its value in the data after the header, shifted left once, low bit
// set when the value is present), then the values back to back.
using PackedRow = std::string;

struct QueryRows::State {
    std::vector<std::string> columns;
    std::vector<bool> binary;
    AdsPath root;
    size_t sizeLimit = 0;  // 0: none
    std::unique_ptr<Backend> backend;
    std::unique_ptr<SearchCursor> cursor;  // open while pages are left to read
    std::unique_ptr<SortedRows> sorted;    // with ORDER BY: the rows not given yet
    std::vector<PackedRow> rows;           // the rows at hand
    size_t at = 0;                         // the current row in rows, + 1 (0: before it)
    size_t before = 0;                     // rows given before rows[0]
    std::string cut;
    bool cutByServer = false;

    PackedRow Pack(Entry& e) const {
        const size_t header = columns.size() * sizeof(uint32_t);
        std::vector<uint32_t> words(columns.size(), 0);
        std::string data;
        for (size_t c = 0; c < columns.size(); ++c) {
            bool present = true;
            if (IEquals(columns[c], "adspath")) {
                data += root.PathOf(e.dn);
            } else if (const Attribute* a = e.Find(columns[c]);
                       a != nullptr && !a->values.empty()) {
                data += a->values.front();
            } else {
                present = false;
            }
            words[c] = static_cast<uint32_t>(data.size() << 1) | (present ? 1u : 0u);
        }
        PackedRow row(header + data.size(), '\0');
        std::memcpy(row.data(), words.data(), header);
        std::memcpy(row.data() + header, data.data(), data.size());
        return row;
    }

    std::optional<std::string_view> Unpack(const PackedRow& row, size_t c) const {
        const size_t header = columns.size() * sizeof(uint32_t);
        uint32_t word = 0, previous = 0;
        std::memcpy(&word, row.data() + c * sizeof(uint32_t), sizeof word);
        if ((word & 1u) == 0) return std::nullopt;
        if (c > 0) std::memcpy(&previous, row.data() + (c - 1) * sizeof(uint32_t), sizeof previous);
        const size_t from = previous >> 1, to = word >> 1;
        return std::string_view(row.data() + header + from, to - from);
    }

    std::string LimitCut() const {
        return "the search's \"Size Limit\" of " + std::to_string(sizeLimit) +
               " rows left out the rows after them";
    }

    void CutAtLimit() {
        cut = LimitCut();
        cursor.reset();
        backend.reset();
        sorted.reset();
    }
};

QueryRows::QueryRows(std::unique_ptr<State> state) : state_(std::move(state)) {}
QueryRows::~QueryRows() = default;

const std::vector<std::string>& QueryRows::Columns() const {
    return state_->columns;
}
const std::vector<bool>& QueryRows::Binary() const {
    return state_->binary;
}
const std::string& QueryRows::Cut() const {
    return state_->cut;
}
bool QueryRows::CutByServer() const {
    return state_->cutByServer;
}

std::optional<std::string_view> QueryRows::Value(size_t column) const {
    State& s = *state_;
    if (s.at == 0 || s.at > s.rows.size() || column >= s.columns.size()) return std::nullopt;
    return s.Unpack(s.rows[s.at - 1], column);
}

// Appends the next page's rows; false when the directory has no more.
bool QueryRows::Fill() {
    State& s = *state_;
    if (s.sorted) {
        // Sorted rows come a page at a time too: a merge of spilled runs
        // gives them as they are read.
        constexpr size_t kSortedPage = 1000;
        std::string row;
        size_t n = 0;
        for (; n < kSortedPage && s.sorted->Next(row); ++n) s.rows.push_back(row);
        if (n == 0) s.sorted.reset();
        return n > 0;
    }
    if (!s.cursor) return false;
    std::vector<Entry> page;
    if (!s.cursor->NextPage(page)) {
        s.cut = s.cursor->Cut();
        s.cutByServer = !s.cut.empty();
        s.cursor.reset();
        s.backend.reset();
        return false;
    }
    for (Entry& e : page) s.rows.push_back(s.Pack(e));
    return true;
}

bool QueryRows::Next() {
    State& s = *state_;
    if (s.at < s.rows.size()) {
        if (s.sizeLimit > 0 && s.before + s.at >= s.sizeLimit) {
            s.CutAtLimit();
            s.at = s.rows.size() + 1;
            return false;
        }
        ++s.at;
        return true;
    }
    if (s.at > s.rows.size()) return false;  // already past the last row
    // The rows at hand are used up: the next page replaces them.
    s.before += s.rows.size();
    s.rows.clear();
    s.at = 0;
    while (s.rows.empty()) {
        if (!Fill()) {
            s.at = 1;  // past the end
            return false;
        }
    }
    return Next();
}

size_t QueryRows::Count() {
    State& s = *state_;
    while (Fill()) {
    }
    size_t n = s.before + s.rows.size();
    if (s.sizeLimit > 0 && n > s.sizeLimit) {
        s.rows.resize(s.sizeLimit - std::min(s.before, s.sizeLimit));
        s.at = std::min(s.at, s.rows.size() + 1);
        s.CutAtLimit();
        n = s.sizeLimit;
    }
    return n;
}

std::unique_ptr<QueryRows> OpenDirectoryQuery(const PlatformConfig& config, std::string_view text,
                                              const SearchOptions& options) {
    const DirectoryQuery query = ParseDirectoryQuery(text);
    if (options.scope < 0 || options.scope > 2) {
        throw Error(err::kAdoInvalidArgument,
                    platform::Describe("Command.Execute", "searchscope",
                                       "the scope must be 0, 1 or 2", options.scope));
    }
    auto state = std::make_unique<QueryRows::State>();
    QueryRows::State& s = *state;
    s.columns = query.attributes;
    s.root = query.root;
    s.sizeLimit = options.sizeLimit > 0 ? static_cast<size_t>(options.sizeLimit) : 0;
    s.backend = OpenDirectory(config, query.root, false);
    Backend& backend = *s.backend;
    if (options.timeoutSeconds > 0) backend.SetTimeLimit(options.timeoutSeconds);
    const RootDse root = backend.ReadRootDse();

    SearchRequest request;
    request.scope = options.scope;
    request.pageSize = options.pageSize;
    request.timeLimitSeconds = options.timeoutSeconds;
    request.base = query.root.dn.empty() ? root.defaultNamingContext : query.root.dn;
    for (const auto& column : query.attributes) {
        const AttributeRule* rule = FindAttributeRule(column);
        s.binary.push_back(rule != nullptr && rule->binary);
        if (IEquals(column, "adspath")) continue;
        request.attributes.push_back(column);
    }
    if (!query.orderBy.empty()) request.attributes.push_back(query.orderBy);
    if (request.attributes.empty())
        request.attributes.push_back("1.1");  // RFC 4511: no attributes, DNs only

    const LdapFilter filter = ToLdapFilter(
        query.where.get(), FilterContext{root.schemaNamingContext, [&](const std::string& a) {
                                             return backend.IsKnownAttribute(a);
                                         }});
    if (filter.kind == LdapFilter::Kind::MatchesNothing) {
        s.backend.reset();
        return std::make_unique<QueryRows>(std::move(state));
    }
    request.filter = filter.text;

    if (query.orderBy.empty()) {
        // Read as the caller moves: the first page now, so that a failing
        // search fails here.
        s.cursor = backend.OpenSearch(request);
        auto rows = std::make_unique<QueryRows>(std::move(state));
        (void)rows->Fill();
        return rows;
    }

    // Sorted here: every row is read, packed as it comes, with its sort key;
    // past options.sortMemory the sorted runs go to the private temporary
    // folder and are merged as the rows are read.
    s.sorted = std::make_unique<SortedRows>(query.descending, options.sortMemory, config.TempDir());
    s.cut = backend.ForEach(request, [&](Entry& e) {
        const Attribute* a = e.Find(query.orderBy);
        const bool present = a != nullptr && !a->values.empty();
        s.sorted->Add(present ? std::optional<std::string_view>(a->values.front()) : std::nullopt,
                      NormalizeDn(e.dn), s.Pack(e));
    });
    s.cutByServer = !s.cut.empty();
    s.backend.reset();
    s.sorted->Finish();
    if (s.sizeLimit > 0 && s.sorted->Count() > s.sizeLimit && s.cut.empty()) s.cut = s.LimitCut();
    auto rows = std::make_unique<QueryRows>(std::move(state));
    (void)rows->Fill();
    return rows;
}

QueryResult RunDirectoryQuery(const PlatformConfig& config, std::string_view text,
                              const SearchOptions& options) {
    std::unique_ptr<QueryRows> rows = OpenDirectoryQuery(config, text, options);
    QueryResult result;
    result.columns = rows->Columns();
    result.binary = rows->Binary();
    while (rows->Next()) {
        std::vector<std::optional<std::string>> row;
        row.reserve(result.columns.size());
        for (size_t c = 0; c < result.columns.size(); ++c) {
            const auto v = rows->Value(c);
            row.emplace_back(v ? std::optional<std::string>(std::string(*v)) : std::nullopt);
        }
        result.rows.push_back(std::move(row));
    }
    if (rows->CutByServer()) throw Error(err::kDsSizeLimit, rows->Cut());
    return result;
}

Entry ReadDirectoryObject(const PlatformConfig& config, const std::string& adsPath) {
    const AdsPath path = ParseAdsPath(adsPath);
    std::unique_ptr<Backend> backend = OpenDirectory(config, path, false);
    if (path.rootDse) {
        const RootDse r = ReadRootDseFor(*backend, config);
        Entry e;
        e.attributes = {{"dnsHostName", {r.dnsHostName}},
                        {"defaultNamingContext", {r.defaultNamingContext}},
                        {"rootDomainNamingContext", {r.defaultNamingContext}},
                        {"schemaNamingContext", {r.schemaNamingContext}},
                        {"configurationNamingContext", {r.configurationNamingContext}}};
        return e;
    }
    SearchRequest request;
    request.scope = 0;
    request.base = path.dn.empty() ? backend->ReadRootDse().defaultNamingContext : path.dn;
    request.filter = "(objectClass=*)";
    std::vector<Entry> found = backend->Search(request);
    if (found.empty()) {
        throw Error(
            err::kDsNoSuchObject,
            platform::Describe("bind", adsPath, "there is no such object", err::kDsNoSuchObject));
    }
    return std::move(found.front());
}

void WriteDirectoryObject(const PlatformConfig& config, const std::string& adsPath,
                          const std::vector<Modification>& changes) {
    const AdsPath path = ParseAdsPath(adsPath);
    if (path.rootDse) {
        throw Error(err::kAccessDenied,
                    platform::Describe("SetInfo", adsPath, "the root DSE cannot be written",
                                       err::kAccessDenied));
    }
    if (changes.empty()) return;
    std::unique_ptr<Backend> backend = OpenDirectory(config, path, true);
    const std::string dn = path.dn.empty() ? backend->ReadRootDse().defaultNamingContext : path.dn;
    backend->Modify(dn, changes);
}

}  // namespace localplatform::directory
