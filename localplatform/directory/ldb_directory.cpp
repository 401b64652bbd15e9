// The embedded directory on Samba's ldb with its lmdb backend ("mdb://"):
// no server, one file in the platform's state folder. The records
// @ATTRIBUTES and @INDEXLIST make the mail attributes case-insensitive and
// indexed; lmdb requires the GUID index, so every entry carries objectGUID.
// ldb's default ASCII case fold is left in place so that ldbsearch and the
// other ldb tools read and change the file with the same index keys.
#include <sys/stat.h>

extern "C" {
#include <ldb.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "base/error.h"
#include "base/file_safety.h"
#include "base/strfuncs.h"
#include "localplatform/directory/directory_backend.h"
#include "localplatform/directory/directory_schema.h"
#include "localplatform/directory/ldb_library.h"

namespace localplatform::directory {

#if defined(__SANITIZE_ADDRESS__)
#define QUELLIX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUELLIX_ASAN 1
#endif
#endif

void PrepareLdbLibrary() {
#ifdef QUELLIX_ASAN
    static std::once_flag once;
    std::call_once(once, [] { setenv("LDB_MODULES_DISABLE_DEEPBIND", "1", 0); });
#endif
}

namespace {

using platform::Error;
namespace err = platform::err;

// Room for a large directory; lmdb reserves address space, not disk.
constexpr const char* kMapSize = "lmdb_env_size:4294967296";
// The record that keeps the naming contexts of the embedded directory.
constexpr const char* kRootRecord = "@QUELLIX_ROOTDSE";
// The attribute lmdb's GUID index keys every entry by.
constexpr const char* kGuidAttribute = "objectGUID";
// Entries a page of a paged read when the caller names no page size.
constexpr size_t kDefaultPage = 1000;

struct TallocFree {
    void operator()(void* p) const { talloc_free(p); }
};
using TallocPtr = std::unique_ptr<void, TallocFree>;

int32_t MapLdbError(int rc) {
    switch (rc) {
        case LDB_ERR_NO_SUCH_OBJECT:
            return err::kDsNoSuchObject;
        case LDB_ERR_TIME_LIMIT_EXCEEDED:
            return err::kDsTimeLimit;
        case LDB_ERR_SIZE_LIMIT_EXCEEDED:
            return err::kDsSizeLimit;
        case LDB_ERR_ENTRY_ALREADY_EXISTS:
            return err::kResourceExists;
        case LDB_ERR_INVALID_DN_SYNTAX:
            return err::kDsBadPathname;
        case LDB_ERR_OPERATIONS_ERROR:
        case LDB_ERR_UNAVAILABLE:
            return err::kDsServerDown;
        case LDB_ERR_INSUFFICIENT_ACCESS_RIGHTS:
            return err::kAccessDenied;
        case LDB_ERR_CONSTRAINT_VIOLATION:
        case LDB_ERR_OBJECT_CLASS_VIOLATION:
            return err::kDsConstraint;
        case LDB_ERR_NO_SUCH_ATTRIBUTE:
        case LDB_ERR_UNDEFINED_ATTRIBUTE_TYPE:
            return err::kDsUndefinedAttribute;
        default:
            return err::kFail;
    }
}

// Applies settle to the directory file and to lmdb's lock file beside it;
// a failure is the directory's.
void Settle(const std::string& path, const std::function<void(const std::string&)>& settle) {
    for (const std::string& file : {path, path + "-lock"}) {
        try {
            settle(file);
        } catch (const Error& e) {
            throw Error(err::kDsServerDown,
                        platform::Describe("open directory", path, e.Description(), 0));
        }
    }
}

class LdbDirectory final : public Backend {
public:
    LdbDirectory(const std::string& path, const LdbOptions& options) : path_(path) {
        struct stat st {};
        const bool exists = ::stat(path.c_str(), &st) == 0;
        if (!exists && !options.create) {
            throw Error(err::kDsServerDown,
                        platform::Describe("open directory", path,
                                           "the directory file does not exist", ENOENT));
        }
        // Root never follows a link planted in the account's folder: the
        // file and the lock file lmdb opens beside it are checked (or the
        // lock file made) here, without following links, before lmdb opens
        // them; and they stay the account's.
        if (exists && ::geteuid() == 0)
            Settle(path, [&](const std::string& file) {
                if (file == path || !platform::CreateSettledFile(file, 0600))
                    (void)platform::SettleExistingFile(file, 0600);
            });
        PrepareLdbLibrary();
        ctx_.reset(ldb_init(nullptr, nullptr));
        if (!ctx_)
            throw Error(err::kOutOfMemory,
                        platform::Describe("open directory", path, "ldb_init failed", 0));
        const std::string url = "mdb://" + path;
        const char* opts[3] = {kMapSize, nullptr, nullptr};
        if (options.batch) opts[1] = "batch_mode:1";
        unsigned flags = 0;
        if (options.readOnly) flags |= LDB_FLG_RDONLY;
        if (!options.create) flags |= LDB_FLG_DONT_CREATE_DB;
        if (options.batch) flags |= LDB_FLG_NOSYNC;
        const int rc = ldb_connect(Ldb(), url.c_str(), flags, opts);
        if (rc != LDB_SUCCESS) {
            const std::string reason = Reason(rc);
            throw Error(err::kDsServerDown, platform::Describe("open directory", path, reason, rc));
        }
        if (!exists || !HasRecord("@INDEXLIST")) WriteDefinitions();
        // Made here, the file and lmdb's lock file are private (and, made by
        // root among the service account's files, the account's).
        if (!exists && !options.readOnly)
            Settle(path, [&](const std::string& file) {
                (void)platform::SettleExistingFile(file, 0600);
            });
    }
    RootDse ReadRootDse() override {
        TallocPtr mem(talloc_new(nullptr));
        RootDse r;
        ldb_result* res = nullptr;
        ldb_dn* dn = ldb_dn_new(mem.get(), Ldb(), kRootRecord);
        int rc = ldb_search(Ldb(), mem.get(), &res, dn, LDB_SCOPE_BASE, nullptr,
                            "(distinguishedName=*)");
        if (rc == LDB_SUCCESS && res->count == 1) {
            r.defaultNamingContext =
                ldb_msg_find_attr_as_string(res->msgs[0], "defaultNamingContext", "");
        }
        if (r.defaultNamingContext.empty()) r.defaultNamingContext = GuessNamingContext();
        if (!r.defaultNamingContext.empty()) {
            r.configurationNamingContext = "CN=Configuration," + r.defaultNamingContext;
            r.schemaNamingContext = "CN=Schema," + r.configurationNamingContext;
        }
        return r;
    }

    // One pass over the matches: each entry is turned into an Entry and
    // freed as ldb finds it, so no result set builds up.
    std::string ForEach(const SearchRequest& request,
                        const std::function<void(Entry&)>& each) override {
        Run(request, request.filter, request.attributes, [&](const ldb_message* msg) {
            Entry e = ToEntry(msg);
            each(e);
        });
        return {};
    }

    // ldb cannot suspend a search, so a paged read takes two steps: the
    // matches' objectGUIDs first (16 bytes an entry), then each page's
    // entries by GUID. An entry removed in between is left out; one changed
    // in between is read as it is now.
    std::unique_ptr<SearchCursor> OpenSearch(const SearchRequest& request) override {
        auto cursor = std::make_unique<Cursor>(*this, request);
        Run(request, request.filter, {kGuidAttribute}, [&](const ldb_message* msg) {
            const ldb_val* guid = ldb_msg_find_ldb_val(msg, kGuidAttribute);
            if (guid != nullptr)
                cursor->guids.emplace_back(reinterpret_cast<const char*>(guid->data), guid->length);
        });
        return cursor;
    }

    bool IsKnownAttribute(const std::string& name) override {
        return FindAttributeRule(name) != nullptr;
    }

    void Modify(const std::string& dn, const std::vector<Modification>& changes) override {
        TallocPtr mem(talloc_new(nullptr));
        ldb_message* msg = ldb_msg_new(mem.get());
        msg->dn = ldb_dn_new(msg, Ldb(), dn.c_str());
        if (msg->dn == nullptr || !ldb_dn_validate(msg->dn)) {
            throw Error(err::kDsBadPathname,
                        platform::Describe("modify", dn, "not a distinguished name", 0));
        }
        for (const auto& c : changes) {
            // Replace with no values clears the attribute, and clearing one
            // that is absent is not an error (unlike delete).
            ldb_message_element* el = nullptr;
            int rc = ldb_msg_add_empty(msg, c.attribute.c_str(), LDB_FLAG_MOD_REPLACE, &el);
            if (rc != LDB_SUCCESS)
                throw Error(err::kOutOfMemory,
                            platform::Describe("modify", dn, "out of memory", rc));
            if (c.op == Modification::Op::Replace) AddValues(msg, el, c.values);
        }
        const int rc = ldb_modify(Ldb(), msg);
        if (rc != LDB_SUCCESS) {
            const std::string reason = Reason(rc);
            throw Error(MapLdbError(rc), platform::Describe("modify", dn, reason, rc));
        }
    }

    void Add(const Entry& entry) override {
        if (inBulk_) {
            // Kept until the commit, which adds them in objectGUID order.
            bulk_.push_back(entry);
            return;
        }
        AddNow(entry);
    }

    void AddNow(const Entry& entry) {
        TallocPtr mem(talloc_new(nullptr));
        ldb_message* msg = ldb_msg_new(mem.get());
        msg->dn = ldb_dn_new(msg, Ldb(), entry.dn.c_str());
        if (msg->dn == nullptr || !ldb_dn_validate(msg->dn)) {
            throw Error(err::kDsBadPathname,
                        platform::Describe("add", entry.dn, "not a distinguished name", 0));
        }
        bool hasGuid = false;
        for (const auto& a : entry.attributes) {
            if (a.values.empty()) continue;
            if (strcasecmp(a.name.c_str(), "objectGUID") == 0) {
                if (a.values.front().size() != 16) {
                    throw Error(
                        err::kDsConstraint,
                        platform::Describe("add", entry.dn, "objectGUID is not 16 bytes", 0));
                }
                hasGuid = true;
            }
            ldb_message_element* el = nullptr;
            if (ldb_msg_add_empty(msg, a.name.c_str(), 0, &el) != LDB_SUCCESS) {
                throw Error(err::kOutOfMemory,
                            platform::Describe("add", entry.dn, "out of memory", 0));
            }
            AddValues(msg, el, a.values);
        }
        if (!hasGuid) {
            // lmdb's GUID index keys every entry by its objectGUID.
            ldb_message_element* el = nullptr;
            ldb_msg_add_empty(msg, "objectGUID", 0, &el);
            AddValues(msg, el, {GuidForDn(entry.dn)});
        }
        const int rc = ldb_add(Ldb(), msg);
        if (rc != LDB_SUCCESS) {
            const std::string reason = Reason(rc);
            throw Error(MapLdbError(rc), platform::Describe("add", entry.dn, reason, rc));
        }
    }

    void BeginBulk() override {
        const int rc = ldb_transaction_start(Ldb());
        if (rc != LDB_SUCCESS)
            throw Error(MapLdbError(rc),
                        platform::Describe("begin transaction", path_, Reason(rc), rc));
        inBulk_ = true;
    }

    void CommitBulk() override {
        inBulk_ = false;
        // The index lists are kept sorted by GUID: adding in GUID order
        // appends to them instead of moving their tails on every add (about
        // a sixth off a 30,000-user load). ldb does not need parents before
        // children.
        std::vector<std::pair<std::string, const Entry*>> order;
        order.reserve(bulk_.size());
        for (const auto& e : bulk_) {
            const Attribute* g = e.Find("objectGUID");
            order.emplace_back(
                g != nullptr && !g->values.empty() ? g->values.front() : GuidForDn(e.dn), &e);
        }
        std::sort(order.begin(), order.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        try {
            for (const auto& [guid, e] : order) AddNow(*e);
        } catch (...) {
            bulk_.clear();
            ldb_transaction_cancel(Ldb());
            throw;
        }
        bulk_.clear();
        RememberNamingContext();
        const int rc = ldb_transaction_commit(Ldb());
        if (rc != LDB_SUCCESS)
            throw Error(MapLdbError(rc), platform::Describe("commit", path_, Reason(rc), rc));
    }

    ~LdbDirectory() override {
        // A bulk load that did not reach its commit leaves nothing behind.
        if (inBulk_) ldb_transaction_cancel(Ldb());
    }

private:
    class Cursor final : public SearchCursor {
    public:
        Cursor(LdbDirectory& owner, const SearchRequest& request) : owner(owner), request(request) {
            bool hasGuid = request.attributes.empty();
            for (const auto& a : request.attributes)
                hasGuid = hasGuid || strcasecmp(a.c_str(), kGuidAttribute) == 0;
            attributes = request.attributes;
            if (!hasGuid) attributes.emplace_back(kGuidAttribute);
            addedGuid = !hasGuid;
        }

        bool NextPage(std::vector<Entry>& page) override {
            page.clear();
            while (page.empty() && next < guids.size()) {
                const size_t size =
                    request.pageSize > 0 ? static_cast<size_t>(request.pageSize) : kDefaultPage;
                const size_t end = std::min(guids.size(), next + size);
                std::string filter = "(|";
                for (size_t i = next; i < end; ++i)
                    filter += std::string("(") + kGuidAttribute + "=" + HexEscape(guids[i]) + ")";
                filter += ")";
                // Back into the order of the first step.
                std::unordered_map<std::string_view, size_t> slot;
                for (size_t i = next; i < end; ++i) slot.emplace(guids[i], i - next);
                std::vector<Entry> found(end - next);
                std::vector<bool> present(end - next, false);
                owner.Run(request, filter, attributes, [&](const ldb_message* msg) {
                    const ldb_val* g = ldb_msg_find_ldb_val(msg, kGuidAttribute);
                    if (g == nullptr) return;
                    const auto it = slot.find(
                        std::string_view(reinterpret_cast<const char*>(g->data), g->length));
                    if (it == slot.end() || present[it->second]) return;
                    Entry& e = found[it->second];
                    e = ToEntry(msg);
                    present[it->second] = true;
                    if (addedGuid) {
                        e.attributes.erase(std::remove_if(e.attributes.begin(), e.attributes.end(),
                                                          [](const Attribute& a) {
                                                              return strcasecmp(a.name.c_str(),
                                                                                kGuidAttribute) ==
                                                                     0;
                                                          }),
                                           e.attributes.end());
                    }
                });
                for (size_t i = 0; i < found.size(); ++i) {
                    if (present[i]) page.push_back(std::move(found[i]));
                }
                // The GUIDs read are no longer needed.
                for (size_t i = next; i < end; ++i) std::string().swap(guids[i]);
                next = end;
            }
            return !page.empty();
        }

        LdbDirectory& owner;
        SearchRequest request;
        std::vector<std::string> attributes;
        bool addedGuid = false;
        std::vector<std::string> guids;
        size_t next = 0;
    };

    // Every byte as \xx: ldb's filter parser skips blanks around a value,
    // and a GUID's bytes may be anything.
    static std::string HexEscape(std::string_view bytes) {
        std::string out;
        out.reserve(bytes.size() * 3);
        for (unsigned char c : bytes) {
            out += '\\';
            platform::AppendHexByte(out, c, /*lower=*/true);
        }
        return out;
    }

    static Entry ToEntry(const ldb_message* msg) {
        Entry e;
        e.dn = ldb_dn_get_linearized(msg->dn);
        e.attributes.reserve(msg->num_elements);
        for (unsigned k = 0; k < msg->num_elements; ++k) {
            const ldb_message_element& el = msg->elements[k];
            Attribute a;
            a.name = el.name;
            a.values.reserve(el.num_values);
            for (unsigned v = 0; v < el.num_values; ++v) {
                a.values.emplace_back(reinterpret_cast<const char*>(el.values[v].data),
                                      el.values[v].length);
            }
            e.attributes.push_back(std::move(a));
        }
        return e;
    }

    struct RunState {
        const std::function<void(const ldb_message*)>* each = nullptr;
        std::exception_ptr failure;
    };

    // ldb's callback: hands each entry over and frees it at once.
    static int OnReply(struct ldb_request* req, struct ldb_reply* ares) {
        auto* state = static_cast<RunState*>(req->context);
        if (ares == nullptr) return ldb_request_done(req, LDB_ERR_OPERATIONS_ERROR);
        if (ares->error != LDB_SUCCESS) {
            const int rc = ares->error;
            talloc_free(ares);
            return ldb_request_done(req, rc);
        }
        switch (ares->type) {
            case LDB_REPLY_ENTRY:
                if (!state->failure && !ldb_dn_is_special(ares->message->dn)) {
                    try {
                        (*state->each)(ares->message);
                    } catch (...) {
                        state->failure = std::current_exception();
                    }
                }
                talloc_free(ares);
                return LDB_SUCCESS;
            case LDB_REPLY_DONE:
                talloc_free(ares);
                return ldb_request_done(req, LDB_SUCCESS);
            default:  // referrals: none in one file
                talloc_free(ares);
                return LDB_SUCCESS;
        }
    }

    // Runs one search with the request's base, scope and time limit and the
    // given filter and attributes; each sees every match.
    void Run(const SearchRequest& request, const std::string& filter,
             const std::vector<std::string>& attributes,
             const std::function<void(const ldb_message*)>& each) {
        TallocPtr mem(talloc_new(nullptr));
        ldb_dn* base = nullptr;
        if (!request.base.empty()) {
            base = ldb_dn_new(mem.get(), Ldb(), request.base.c_str());
            if (base == nullptr || !ldb_dn_validate(base)) {
                throw Error(err::kDsBadPathname, platform::Describe("search", request.base,
                                                                    "not a distinguished name", 0));
            }
        }
        std::vector<const char*> attrs;
        attrs.reserve(attributes.size() + 1);
        for (const auto& a : attributes) attrs.push_back(a.c_str());
        attrs.push_back(nullptr);
        RunState state;
        state.each = &each;
        struct ldb_request* req = nullptr;
        const ldb_scope scope = request.scope == 0
                                    ? LDB_SCOPE_BASE
                                    : (request.scope == 1 ? LDB_SCOPE_ONELEVEL : LDB_SCOPE_SUBTREE);
        int rc = ldb_build_search_req(&req, Ldb(), mem.get(), base, scope, filter.c_str(),
                                      attributes.empty() ? nullptr : attrs.data(), nullptr, &state,
                                      OnReply, nullptr);
        if (rc == LDB_SUCCESS) {
            ldb_set_timeout(Ldb(), req,
                            request.timeLimitSeconds > 0 ? request.timeLimitSeconds : 0);
            rc = ldb_request(Ldb(), req);
            if (rc == LDB_SUCCESS) rc = ldb_wait(req->handle, LDB_WAIT_ALL);
        }
        if (state.failure) std::rethrow_exception(state.failure);
        if (rc == LDB_ERR_NO_SUCH_OBJECT) {
            throw Error(err::kDsNoSuchObject,
                        platform::Describe("search", request.base, "there is no such object", rc));
        }
        if (rc != LDB_SUCCESS) {
            const std::string reason = Reason(rc);
            const int32_t number = rc == LDB_ERR_PROTOCOL_ERROR || rc == LDB_ERR_OPERATIONS_ERROR
                                       ? err::kErrorsInCommand
                                       : MapLdbError(rc);
            throw Error(number, platform::Describe("search", filter, reason, rc));
        }
    }

    ldb_context* Ldb() const { return static_cast<ldb_context*>(ctx_.get()); }

    // ldb's own text for the last failure, without the " (N)" it ends with:
    // the message that carries it gives the number once, after the reason.
    std::string Reason(int rc) const {
        const char* s = ldb_errstring(Ldb());
        std::string reason = (s != nullptr && *s != '\0') ? s : ldb_strerror(rc);
        const std::string number = " (" + std::to_string(rc) + ")";
        if (reason.size() > number.size() && reason.ends_with(number)) {
            reason.resize(reason.size() - number.size());
        }
        return reason;
    }

    void AddValues(ldb_message* msg, ldb_message_element* el,
                   const std::vector<std::string>& values) {
        el->values = talloc_array(msg, struct ldb_val, static_cast<unsigned>(values.size()));
        el->num_values = 0;
        for (const auto& v : values) {
            auto* data = static_cast<uint8_t*>(talloc_memdup(el->values, v.data(), v.size() + 1));
            data[v.size()] = 0;  // ldb keeps values NUL-terminated past their length
            el->values[el->num_values++] = ldb_val{data, v.size()};
        }
    }

    bool HasRecord(const char* dnText) {
        TallocPtr mem(talloc_new(nullptr));
        ldb_result* res = nullptr;
        ldb_dn* dn = ldb_dn_new(mem.get(), Ldb(), dnText);
        const int rc = ldb_search(Ldb(), mem.get(), &res, dn, LDB_SCOPE_BASE, nullptr,
                                  "(distinguishedName=*)");
        return rc == LDB_SUCCESS && res->count > 0;
    }

    void WriteSpecial(const char* dnText,
                      const std::vector<std::pair<const char*, std::string>>& values) {
        TallocPtr mem(talloc_new(nullptr));
        ldb_message* msg = ldb_msg_new(mem.get());
        msg->dn = ldb_dn_new(msg, Ldb(), dnText);
        for (const auto& [name, value] : values)
            ldb_msg_add_string(msg, name, talloc_strdup(msg, value.c_str()));
        // Look before writing: in batch mode a failed add spoils the whole
        // transaction.
        int rc = LDB_SUCCESS;
        if (HasRecord(dnText)) {
            for (unsigned i = 0; i < msg->num_elements; ++i)
                msg->elements[i].flags = LDB_FLAG_MOD_REPLACE;
            rc = ldb_modify(Ldb(), msg);
        } else {
            rc = ldb_add(Ldb(), msg);
        }
        if (rc != LDB_SUCCESS) {
            const std::string reason = Reason(rc);
            throw Error(MapLdbError(rc), platform::Describe("write", dnText, reason, rc));
        }
    }

    // The index list comes first: lmdb refuses any entry before it knows the
    // GUID attribute.
    void WriteDefinitions() {
        std::vector<std::pair<const char*, std::string>> index = {{"@IDXGUID", "objectGUID"},
                                                                  {"@IDX_DN_GUID", "GUID"}};
        std::vector<std::pair<const char*, std::string>> attrs;
        for (const auto& r : AttributeRules()) {
            if (r.indexed) index.emplace_back("@IDXATTR", r.name);
            if (r.caseInsensitive) attrs.emplace_back(r.name, "CASE_INSENSITIVE");
        }
        WriteSpecial("@INDEXLIST", index);
        WriteSpecial("@ATTRIBUTES", attrs);
        // A search under a base that does not exist fails, as on a server.
        WriteSpecial("@OPTIONS", {{"checkBaseOnSearch", "TRUE"}});
    }

    // The default naming context: the entry made only of DC= parts with the
    // fewest parts.
    std::string GuessNamingContext() {
        SearchRequest req;
        req.filter = "(dc=*)";
        req.attributes = {"dc"};
        std::string best;
        size_t bestParts = 0;
        for (const auto& e : Search(req)) {
            const std::string norm = NormalizeDn(e.dn);
            size_t parts = 1;
            bool allDc = norm.rfind("dc=", 0) == 0;
            for (size_t i = 0; i < norm.size(); ++i) {
                if (norm[i] == ',' && (i == 0 || norm[i - 1] != '\\')) {
                    ++parts;
                    allDc = allDc && norm.compare(i + 1, 3, "dc=") == 0;
                }
            }
            if (allDc && (best.empty() || parts < bestParts)) {
                best = e.dn;
                bestParts = parts;
            }
        }
        return best;
    }

    void RememberNamingContext() {
        const std::string nc = GuessNamingContext();
        if (!nc.empty()) WriteSpecial(kRootRecord, {{"defaultNamingContext", nc}});
    }

    std::string path_;
    TallocPtr ctx_;
    bool inBulk_ = false;
    std::vector<Entry> bulk_;
};

}  // namespace

std::unique_ptr<Backend> OpenLdbDirectory(const std::string& path, const LdbOptions& options) {
    return std::make_unique<LdbDirectory>(path, options);
}

}  // namespace localplatform::directory
