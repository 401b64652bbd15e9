#include "localplatform/directory/directory_service.h"

#include <strings.h>

#include <algorithm>
#include <numeric>

#include "localplatform/directory/directory_schema.h"
#include "platform/base/error.h"

namespace localplatform::directory {
namespace {

using platform::Error;
namespace err = platform::err;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

QueryResult RunDirectoryQuery(const PlatformConfig& config, std::string_view text, const SearchOptions& options) {
    const DirectoryQuery query = ParseDirectoryQuery(text);
    if (options.scope < 0 || options.scope > 2) {
        throw Error(err::kAdoInvalidArgument,
                    platform::Describe("Command.Execute", "searchscope", "the scope must be 0, 1 or 2", options.scope));
    }
    std::unique_ptr<Backend> backend = OpenDirectory(config, query.root, false);
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
    if (request.attributes.empty()) request.attributes.push_back("1.1");  // RFC 4511: no attributes, DNs only

    const LdapFilter filter = ToLdapFilter(
        query.where.get(), FilterContext{root.schemaNamingContext, [&](const std::string& a) { return backend->IsKnownAttribute(a); }});
    if (filter.kind == LdapFilter::Kind::MatchesNothing) return result;
    request.filter = filter.text;
    std::vector<Entry> entries = backend->Search(request);

    if (!query.orderBy.empty()) {
        // Entries without the attribute come first, as the directory's own
        // sort puts them; ties keep DN order so the result is stable.
        std::vector<const std::string*> keys(entries.size(), nullptr);
        std::vector<std::string> dns(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Attribute* a = entries[i].Find(query.orderBy);
            if (a != nullptr && !a->values.empty()) keys[i] = &a->values.front();
            dns[i] = NormalizeDn(entries[i].dn);
        }
        std::vector<size_t> order(entries.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
            const std::string* kx = keys[x];
            const std::string* ky = keys[y];
            int c = 0;
            if (kx == nullptr || ky == nullptr) c = (kx == nullptr ? 0 : 1) - (ky == nullptr ? 0 : 1);
            else c = CompareForSort(*kx, *ky);
            if (query.descending) c = -c;
            if (c != 0) return c < 0;
            return dns[x] < dns[y];
        });
        std::vector<Entry> sorted;
        sorted.reserve(entries.size());
        for (size_t i : order) sorted.push_back(std::move(entries[i]));
        entries = std::move(sorted);
    }
    if (options.sizeLimit > 0 && entries.size() > static_cast<size_t>(options.sizeLimit)) entries.resize(options.sizeLimit);

    result.rows.reserve(entries.size());
    for (const auto& e : entries) {
        std::vector<std::optional<std::string>> row;
        row.reserve(result.columns.size());
        for (const auto& column : result.columns) {
            if (IEquals(column, "adspath")) {
                row.emplace_back(query.root.PathOf(e.dn));
                continue;
            }
            const Attribute* a = e.Find(column);
            if (a == nullptr || a->values.empty()) row.emplace_back(std::nullopt);
            else row.emplace_back(a->values.front());
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
        throw Error(err::kDsNoSuchObject, platform::Describe("bind", adsPath, "there is no such object", err::kDsNoSuchObject));
    }
    return std::move(found.front());
}

void WriteDirectoryObject(const PlatformConfig& config, const std::string& adsPath, const std::vector<Modification>& changes) {
    const AdsPath path = ParseAdsPath(adsPath);
    if (path.rootDse) {
        throw Error(err::kAccessDenied, platform::Describe("SetInfo", adsPath, "the root DSE cannot be written", err::kAccessDenied));
    }
    if (changes.empty()) return;
    std::unique_ptr<Backend> backend = OpenDirectory(config, path, true);
    const std::string dn = path.dn.empty() ? backend->ReadRootDse().defaultNamingContext : path.dn;
    backend->Modify(dn, changes);
}

}  // namespace localplatform::directory
