#include "localplatform/directory/directory_service.h"

#include <strings.h>

#include <algorithm>
#include <numeric>

#include "base/error.h"
#include "localplatform/directory/directory_schema.h"

namespace localplatform::directory {
namespace {

using platform::Error;
namespace err = platform::err;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

QueryResult RunDirectoryQuery(const PlatformConfig& config, std::string_view text,
                              const SearchOptions& options) {
    const DirectoryQuery query = ParseDirectoryQuery(text);
    if (options.scope < 0 || options.scope > 2) {
        throw Error(err::kAdoInvalidArgument,
                    platform::Describe("Command.Execute", "searchscope",
                                       "the scope must be 0, 1 or 2", options.scope));
    }
    std::unique_ptr<Backend> backend = OpenDirectory(config, query.root, false);
    if (options.timeoutSeconds > 0) backend->SetTimeLimit(options.timeoutSeconds);
    const RootDse root = backend->ReadRootDse();

    QueryResult result;
    result.columns = query.attributes;
    SearchRequest request;
    request.scope = options.scope;
    request.pageSize = options.pageSize;
    request.timeLimitSeconds = options.timeoutSeconds;
    request.base = query.root.dn.empty() ? root.defaultNamingContext : query.root.dn;
    for (const auto& column : query.attributes) {
        const AttributeRule* rule = FindAttributeRule(column);
        result.binary.push_back(rule != nullptr && rule->binary);
        if (IEquals(column, "adspath")) continue;
        request.attributes.push_back(column);
    }
    if (!query.orderBy.empty()) request.attributes.push_back(query.orderBy);
    if (request.attributes.empty())
        request.attributes.push_back("1.1");  // RFC 4511: no attributes, DNs only

    const LdapFilter filter = ToLdapFilter(
        query.where.get(), FilterContext{root.schemaNamingContext, [&](const std::string& a) {
                                             return backend->IsKnownAttribute(a);
                                         }});
    if (filter.kind == LdapFilter::Kind::MatchesNothing) return result;
    request.filter = filter.text;
    std::vector<Entry> entries = backend->Search(request);

    // The order of the rows: the directory's, or ORDER BY's.
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (!query.orderBy.empty()) {
        // Entries without the attribute come first, as the directory's own
        // sort puts them; ties keep DN order so the result is stable. Each
        // value is folded once into its sort key.
        struct Key {
            bool present = false;
            std::string primary;
            const std::string* value = nullptr;
            std::string dn;
        };
        std::vector<Key> keys(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Attribute* a = entries[i].Find(query.orderBy);
            if (a != nullptr && !a->values.empty()) {
                keys[i].present = true;
                keys[i].value = &a->values.front();
                keys[i].primary = PrimarySortKey(a->values.front());
            }
        }
        auto dnOf = [&](size_t i) -> const std::string& {
            if (keys[i].dn.empty()) keys[i].dn = NormalizeDn(entries[i].dn);
            return keys[i].dn;
        };
        std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
            const Key& kx = keys[x];
            const Key& ky = keys[y];
            int c = 0;
            if (!kx.present || !ky.present)
                c = (kx.present ? 1 : 0) - (ky.present ? 1 : 0);
            else if (kx.primary != ky.primary)
                c = kx.primary < ky.primary ? -1 : 1;
            else
                c = CompareForSort(*kx.value, *ky.value);
            if (query.descending) c = -c;
            if (c != 0) return c < 0;
            return dnOf(x) < dnOf(y);
        });
    }
    if (options.sizeLimit > 0 && order.size() > static_cast<size_t>(options.sizeLimit))
        order.resize(options.sizeLimit);

    // Values are moved out of the entries (the sort is done with them); a
    // column named twice copies its first cell.
    std::vector<int> sameAs(result.columns.size(), -1);
    for (size_t c = 0; c < result.columns.size(); ++c) {
        for (size_t d = 0; d < c && sameAs[c] < 0; ++d) {
            if (IEquals(result.columns[c], result.columns[d])) sameAs[c] = static_cast<int>(d);
        }
    }
    result.rows.reserve(order.size());
    for (size_t i : order) {
        Entry& e = entries[i];
        std::vector<std::optional<std::string>> row;
        row.reserve(result.columns.size());
        for (size_t c = 0; c < result.columns.size(); ++c) {
            const std::string& column = result.columns[c];
            if (sameAs[c] >= 0) {
                row.push_back(row[static_cast<size_t>(sameAs[c])]);
            } else if (IEquals(column, "adspath")) {
                row.emplace_back(query.root.PathOf(e.dn));
            } else if (Attribute* a = e.Find(column); a != nullptr && !a->values.empty()) {
                row.emplace_back(std::move(a->values.front()));
            } else {
                row.emplace_back(std::nullopt);
            }
        }
        result.rows.push_back(std::move(row));
    }
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
