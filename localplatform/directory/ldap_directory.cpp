// Any LDAP server through OpenLDAP's libldap: simple bind, SASL EXTERNAL
// over ldapi, StartTLS or ldaps. Searches page at 1,000 entries or less with
// the paged-results control (servers cap a page at 1,000 and refuse larger
// unpaged results); sorting is left to the caller, because paging and the
// server-side sort control do not always work together. Every wait is
// bounded: the connect by the network time-out, each result by the search's
// time limit.
#include <ldap.h>
#include <sasl/sasl.h>
#include <strings.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/directory/directory_backend.h"

namespace localplatform::directory {
namespace {

using platform::Error;
namespace err = platform::err;

constexpr int kMaxPage = 1000;
// A search without a caller's time limit still ends: no server answer is
// waited for longer than this.
constexpr int kDefaultWaitSeconds = 300;

struct LdapClose {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct MessageFree {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
struct ControlFree {
    void operator()(LDAPControl* c) const { ldap_control_free(c); }
};
struct ControlsFree {
    void operator()(LDAPControl** c) const { ldap_controls_free(c); }
};
struct BerFree {
    void operator()(BerElement* b) const { ber_free(b, 0); }
};
struct MemFree {
    void operator()(char* p) const { ldap_memfree(p); }
};
struct ValuesFree {
    void operator()(berval** v) const { ldap_value_free_len(v); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

// Answers SASL's questions (only the authorisation identity, for
// EXTERNAL) with their defaults: nobody is there to ask.
int SaslDefaults(LDAP*, unsigned, void*, void* in) {
    for (auto* i = static_cast<sasl_interact_t*>(in); i != nullptr && i->id != SASL_CB_LIST_END;
         ++i) {
        i->result = i->defresult != nullptr ? i->defresult : "";
        i->len = static_cast<unsigned>(std::strlen(static_cast<const char*>(i->result)));
    }
    return LDAP_SUCCESS;
}

int32_t MapLdapError(int rc) {
    switch (rc) {
        case LDAP_SERVER_DOWN:
        case LDAP_CONNECT_ERROR:
        case LDAP_UNAVAILABLE:
        case LDAP_BUSY:
            return err::kDsServerDown;
        case LDAP_INVALID_CREDENTIALS:
        case LDAP_INAPPROPRIATE_AUTH:
        case LDAP_STRONG_AUTH_REQUIRED:
        case LDAP_AUTH_UNKNOWN:
        case LDAP_AUTH_METHOD_NOT_SUPPORTED:
            return err::kDsInvalidCredentials;
        case LDAP_TIMEOUT:
        case LDAP_TIMELIMIT_EXCEEDED:
            return err::kDsTimeLimit;
        case LDAP_SIZELIMIT_EXCEEDED:
        case LDAP_ADMINLIMIT_EXCEEDED:
            return err::kDsSizeLimit;
        case LDAP_NO_SUCH_OBJECT:
            return err::kDsNoSuchObject;
        case LDAP_FILTER_ERROR:
            return err::kErrorsInCommand;
        case LDAP_UNDEFINED_TYPE:
        case LDAP_NO_SUCH_ATTRIBUTE:
            return err::kDsUndefinedAttribute;
        case LDAP_CONSTRAINT_VIOLATION:
        case LDAP_OBJECT_CLASS_VIOLATION:
        case LDAP_INVALID_SYNTAX:
        case LDAP_NOT_ALLOWED_ON_RDN:
            return err::kDsConstraint;
        case LDAP_ALREADY_EXISTS:
            return err::kResourceExists;
        case LDAP_INSUFFICIENT_ACCESS:
        case LDAP_UNWILLING_TO_PERFORM:
            return err::kAccessDenied;
        case LDAP_INVALID_DN_SYNTAX:
            return err::kDsBadPathname;
        case LDAP_NO_MEMORY:
            return err::kOutOfMemory;
        default:
            return err::kFail;
    }
}

class LdapDirectory final : public Backend {
public:
    explicit LdapDirectory(const LdapSettings& s)
        : uri_(s.uri), networkTimeout_(s.networkTimeoutSeconds) {
        LDAP* raw = nullptr;
        int rc = ldap_initialize(&raw, s.uri.c_str());
        ld_.reset(raw);
        if (rc != LDAP_SUCCESS)
            throw Error(err::kDsServerDown,
                        platform::Describe("connect", s.uri, ldap_err2string(rc), rc));
        const int version = LDAP_VERSION3;
        ldap_set_option(ld_.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
        // Referrals would be followed without our credentials; the caller's
        // "Chase Referrals" has nothing to chase on one server.
        ldap_set_option(ld_.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        timeval tv{networkTimeout_, 0};
        ldap_set_option(ld_.get(), LDAP_OPT_NETWORK_TIMEOUT, &tv);
        ldap_set_option(ld_.get(), LDAP_OPT_TIMEOUT, &tv);
        if (s.startTls) {
            rc = ldap_start_tls_s(ld_.get(), nullptr, nullptr);
            if (rc != LDAP_SUCCESS) Fail("start TLS", s.uri, rc);
        }
        berval cred{};
        if (!s.saslMech.empty()) {
            rc = ldap_sasl_interactive_bind_s(ld_.get(), nullptr, s.saslMech.c_str(), nullptr,
                                              nullptr, LDAP_SASL_QUIET, SaslDefaults, nullptr);
        } else {
            // An anonymous bind too: it opens the connection now, so an
            // unreachable server is reported here and not mid-search.
            cred.bv_val = const_cast<char*>(s.password.c_str());
            cred.bv_len = s.password.size();
            rc = ldap_sasl_bind_s(ld_.get(), s.bindDn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                                  nullptr, nullptr);
        }
        if (rc != LDAP_SUCCESS)
            Fail("bind", s.bindDn.empty() ? s.uri : s.bindDn + " at " + s.uri, rc);
    }

    void SetTimeLimit(int seconds) override { timeCap_ = seconds; }

    RootDse ReadRootDse() override {
        SearchRequest req;
        req.scope = 0;
        req.timeLimitSeconds = SmallReadLimit();
        req.filter = "(objectClass=*)";
        req.attributes = {
            "defaultNamingContext", "schemaNamingContext", "configurationNamingContext",
            "namingContexts",       "dnsHostName",         "subschemaSubentry"};
        RootDse r;
        const std::vector<Entry> entries = Search(req);
        if (entries.empty()) return r;
        const Entry& e = entries.front();
        auto first = [&](const char* name) -> std::string {
            const Attribute* a = e.Find(name);
            return a != nullptr && !a->values.empty() ? a->values.front() : std::string();
        };
        r.defaultNamingContext = first("defaultNamingContext");
        if (r.defaultNamingContext.empty()) r.defaultNamingContext = first("namingContexts");
        r.configurationNamingContext = first("configurationNamingContext");
        if (r.configurationNamingContext.empty() && !r.defaultNamingContext.empty())
            r.configurationNamingContext = "CN=Configuration," + r.defaultNamingContext;
        r.schemaNamingContext = first("schemaNamingContext");
        if (r.schemaNamingContext.empty() && !r.configurationNamingContext.empty())
            r.schemaNamingContext = "CN=Schema," + r.configurationNamingContext;
        r.dnsHostName = first("dnsHostName");
        subschema_ = first("subschemaSubentry");
        r.defaultNamingContext = UpperCaseDnTypes(r.defaultNamingContext);
        r.configurationNamingContext = UpperCaseDnTypes(r.configurationNamingContext);
        r.schemaNamingContext = UpperCaseDnTypes(r.schemaNamingContext);
        return r;
    }

    std::unique_ptr<SearchCursor> OpenSearch(const SearchRequest& request) override {
        return std::make_unique<Cursor>(*this, request);
    }

    bool IsKnownAttribute(const std::string& name) override {
        if (!schemaRead_) ReadSchema();
        if (known_.empty()) return true;  // no schema to consult: assume the server knows
        if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0])))
            return true;  // an OID
        return known_.count(platform::Lower(name)) != 0;
    }

    void Modify(const std::string& dn, const std::vector<Modification>& changes) override {
        std::vector<LDAPMod> mods(changes.size());
        std::vector<std::vector<berval>> values(changes.size());
        std::vector<std::vector<berval*>> pointers(changes.size());
        std::vector<LDAPMod*> list;
        for (size_t i = 0; i < changes.size(); ++i) {
            // Replace with no values clears: harmless for an absent attribute.
            mods[i].mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
            mods[i].mod_type = const_cast<char*>(changes[i].attribute.c_str());
            if (changes[i].op == Modification::Op::Replace) {
                for (const auto& v : changes[i].values)
                    values[i].push_back(berval{v.size(), const_cast<char*>(v.data())});
            }
            for (auto& b : values[i]) pointers[i].push_back(&b);
            pointers[i].push_back(nullptr);
            mods[i].mod_bvalues = values[i].empty() ? nullptr : pointers[i].data();
            list.push_back(&mods[i]);
        }
        list.push_back(nullptr);
        const int rc = ldap_modify_ext_s(ld_.get(), dn.c_str(), list.data(), nullptr, nullptr);
        if (rc != LDAP_SUCCESS) Fail("modify", dn, rc);
    }

    void Add(const Entry& entry) override {
        std::vector<LDAPMod> mods;
        mods.reserve(entry.attributes.size());
        std::vector<std::vector<berval>> values;
        values.reserve(entry.attributes.size());
        std::vector<std::vector<berval*>> pointers;
        pointers.reserve(entry.attributes.size());
        for (const auto& a : entry.attributes) {
            if (a.values.empty()) continue;
            values.emplace_back();
            for (const auto& v : a.values)
                values.back().push_back(berval{v.size(), const_cast<char*>(v.data())});
            pointers.emplace_back();
            for (auto& b : values.back()) pointers.back().push_back(&b);
            pointers.back().push_back(nullptr);
            LDAPMod m{};
            m.mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
            m.mod_type = const_cast<char*>(a.name.c_str());
            m.mod_bvalues = pointers.back().data();
            mods.push_back(m);
        }
        std::vector<LDAPMod*> list;
        list.reserve(mods.size() + 1);
        for (auto& m : mods) list.push_back(&m);
        list.push_back(nullptr);
        const int rc = ldap_add_ext_s(ld_.get(), entry.dn.c_str(), list.data(), nullptr, nullptr);
        if (rc != LDAP_SUCCESS) Fail("add", entry.dn, rc);
    }

private:
    // One search, a page per NextPage: one paged-results request and its
    // answers, each wait bounded by the request's time limit.
    class Cursor final : public SearchCursor {
    public:
        Cursor(LdapDirectory& owner, const SearchRequest& request)
            : owner_(owner), request_(request) {
            pageSize_ =
                request.pageSize > 0 && request.pageSize < kMaxPage ? request.pageSize : kMaxPage;
            for (const auto& a : request_.attributes)
                attrs_.push_back(const_cast<char*>(a.c_str()));
            attrs_.push_back(nullptr);
            scope_ = request.scope == 0
                         ? LDAP_SCOPE_BASE
                         : (request.scope == 1 ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE);
            // The root DSE is no paged search.
            paged_ = !request.base.empty() || scope_ != LDAP_SCOPE_BASE;
        }

        bool NextPage(std::vector<Entry>& page) override {
            page.clear();
            while (!done_ && page.empty()) ReadPage(page);
            return !page.empty();
        }

    private:
        void ReadPage(std::vector<Entry>& out) {
            using Clock = std::chrono::steady_clock;
            int limit =
                request_.timeLimitSeconds > 0 ? request_.timeLimitSeconds : kDefaultWaitSeconds;
            if (owner_.timeCap_ > 0 && owner_.timeCap_ < limit) limit = owner_.timeCap_;
            const auto deadline = Clock::now() + std::chrono::seconds(limit);
            LDAP* ld = owner_.ld_.get();

            std::unique_ptr<LDAPControl, ControlFree> page;
            LDAPControl* ctrls[2] = {nullptr, nullptr};
            if (paged_) {
                LDAPControl* raw = nullptr;
                berval cookie{cookie_.size(), cookie_.empty() ? nullptr : cookie_.data()};
                int rc = ldap_create_page_control(ld, pageSize_,
                                                  cookie_.empty() ? nullptr : &cookie, 0, &raw);
                page.reset(raw);
                if (rc != LDAP_SUCCESS) owner_.Fail("search", request_.base, rc);
                ctrls[0] = raw;
            }
            timeval serverLimit{static_cast<time_t>(limit), 0};
            int msgid = 0;
            int rc = ldap_search_ext(ld, request_.base.c_str(), scope_, request_.filter.c_str(),
                                     request_.attributes.empty() ? nullptr : attrs_.data(), 0,
                                     ctrls, nullptr, &serverLimit, LDAP_NO_LIMIT, &msgid);
            if (rc != LDAP_SUCCESS) owner_.Fail("search", request_.filter, rc);

            // Read the page's messages as they come, each wait bounded by
            // what is left of the time limit.
            MessagePtr done;
            while (!done) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                        .count();
                if (left <= 0) {
                    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
                    owner_.TimeLimit(request_);
                }
                timeval wait{static_cast<time_t>(left / 1000),
                             static_cast<suseconds_t>((left % 1000) * 1000)};
                LDAPMessage* raw = nullptr;
                rc = ldap_result(ld, msgid, LDAP_MSG_ONE, &wait, &raw);
                MessagePtr msg(raw);
                if (rc == 0) {
                    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
                    owner_.TimeLimit(request_);
                }
                if (rc < 0) {
                    int code = LDAP_SERVER_DOWN;
                    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
                    owner_.Fail("search", request_.filter, code);
                }
                if (rc == LDAP_RES_SEARCH_ENTRY) {
                    out.push_back(owner_.ReadEntry(msg.get()));
                } else if (rc == LDAP_RES_SEARCH_RESULT) {
                    done = std::move(msg);
                }
                // References are not followed (see above).
            }
            int result = LDAP_SUCCESS;
            char* diag = nullptr;
            LDAPControl** rctrls = nullptr;
            rc = ldap_parse_result(ld, done.get(), &result, nullptr, &diag, nullptr, &rctrls, 0);
            std::unique_ptr<char, MemFree> diagOwner(diag);
            std::unique_ptr<LDAPControl*, ControlsFree> ctrlOwner(rctrls);
            if (rc != LDAP_SUCCESS) owner_.Fail("search", request_.filter, rc);
            if (result == LDAP_ADMINLIMIT_EXCEEDED && paged_ && cookie_.empty() && given_ == 0 &&
                out.empty() && pageSize_ > 1) {
                // A server whose own page limit is smaller refuses the first
                // page outright: ask again with smaller pages.
                pageSize_ /= 2;
                return;
            }
            given_ += out.size();
            std::string reason = ldap_err2string(result);
            if (diag != nullptr && *diag != '\0') reason += ": " + std::string(diag);
            if (result == LDAP_SIZELIMIT_EXCEEDED) {
                // The entries sent so far stand; the caller decides what a
                // short answer means.
                cut_ = platform::Describe(
                    "search", request_.filter + " under " + request_.base + " at " + owner_.uri_,
                    "the server's size limit ended the search after " + std::to_string(given_) +
                        " entries: " + reason,
                    result);
                done_ = true;
                return;
            }
            if (result != LDAP_SUCCESS) {
                if (result == LDAP_NO_SUCH_OBJECT) {
                    throw Error(err::kDsNoSuchObject,
                                platform::Describe("search", request_.base,
                                                   "there is no such object", result));
                }
                throw Error(
                    MapLdapError(result),
                    platform::Describe("search", request_.filter + " under " + request_.base,
                                       reason, result));
            }
            done_ = true;
            if (!paged_) return;
            LDAPControl* pr = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, rctrls, nullptr);
            if (pr == nullptr) return;  // the server does not page: everything came at once
            ber_int_t estimate = 0;
            berval next{0, nullptr};
            rc = ldap_parse_pageresponse_control(ld, pr, &estimate, &next);
            if (rc != LDAP_SUCCESS) owner_.Fail("search", request_.filter, rc);
            cookie_.assign(next.bv_val == nullptr ? "" : next.bv_val, next.bv_len);
            ber_memfree(next.bv_val);
            done_ = cookie_.empty();
        }

        LdapDirectory& owner_;
        SearchRequest request_;
        std::vector<char*> attrs_;
        int scope_ = LDAP_SCOPE_SUBTREE;
        bool paged_ = true;
        int pageSize_ = kMaxPage;
        std::string cookie_;
        size_t given_ = 0;
        bool done_ = false;
    };

    [[noreturn]] void Fail(const std::string& operation, const std::string& object, int rc) {
        // The diagnostic text belongs to the last operation: take it now.
        std::string reason = ldap_err2string(rc);
        char* diag = nullptr;
        if (ldap_get_option(ld_.get(), LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS &&
            diag != nullptr) {
            if (*diag != '\0') reason += ": " + std::string(diag);
            ldap_memfree(diag);
        }
        throw Error(
            MapLdapError(rc),
            platform::Describe(
                operation, object + (object.find(uri_) == std::string::npos ? " at " + uri_ : ""),
                reason, rc));
    }

    [[noreturn]] void TimeLimit(const SearchRequest& request) {
        throw Error(err::kDsTimeLimit,
                    platform::Describe("search", request.filter + " at " + uri_,
                                       "the time limit was exceeded", LDAP_TIMELIMIT_EXCEEDED));
    }

    Entry ReadEntry(LDAPMessage* msg) {
        Entry e;
        std::unique_ptr<char, MemFree> dn(ldap_get_dn(ld_.get(), msg));
        // Servers differ in the case of attribute types; give the real
        // directory's spelling so paths look alike on every server.
        if (dn) e.dn = UpperCaseDnTypes(dn.get());
        BerElement* rawBer = nullptr;
        for (std::unique_ptr<char, MemFree> attr(ldap_first_attribute(ld_.get(), msg, &rawBer));
             attr; attr.reset(ldap_next_attribute(ld_.get(), msg, rawBer))) {
            Attribute a;
            a.name = attr.get();
            std::unique_ptr<berval*, ValuesFree> vals(
                ldap_get_values_len(ld_.get(), msg, attr.get()));
            for (berval** v = vals.get(); v != nullptr && *v != nullptr; ++v)
                a.values.emplace_back((*v)->bv_val, (*v)->bv_len);
            e.attributes.push_back(std::move(a));
        }
        std::unique_ptr<BerElement, BerFree> ber(rawBer);
        return e;
    }

    // The attribute names of the server's subschema, lower case.
    void ReadSchema() {
        schemaRead_ = true;
        try {
            if (subschema_.empty()) (void)ReadRootDse();
            if (subschema_.empty()) return;
            SearchRequest req;
            req.base = subschema_;
            req.scope = 0;
            req.filter = "(objectClass=subschema)";
            req.attributes = {"attributeTypes"};
            req.timeLimitSeconds = SmallReadLimit();
            const std::vector<Entry> entries = Search(req);
            if (entries.empty()) return;
            const Attribute* types = entries.front().Find("attributeTypes");
            if (types == nullptr) return;
            for (const auto& def : types->values) {
                // "( oid NAME 'a' ..." or "( oid NAME ( 'a' 'b' ) ..."
                const size_t n = def.find(" NAME ");
                if (n == std::string::npos) continue;
                size_t i = n + 6;
                const bool list = i < def.size() && def[i] == '(';
                const size_t end = list ? def.find(')', i) : def.find('\'', def.find('\'', i) + 1);
                for (size_t q = def.find('\'', i); q != std::string::npos && q < end;
                     q = def.find('\'', q + 1)) {
                    const size_t close = def.find('\'', q + 1);
                    if (close == std::string::npos) break;
                    known_.insert(platform::Lower(def.substr(q + 1, close - q - 1)));
                    q = close;
                }
            }
        } catch (const Error&) {
            known_.clear();  // unreadable schema: fall back to assuming every name is known
        }
    }

    // The root DSE and the schema answer at once on any working server.
    int SmallReadLimit() const {
        return timeCap_ > 0 && timeCap_ < networkTimeout_ ? timeCap_ : networkTimeout_;
    }

    std::unique_ptr<LDAP, LdapClose> ld_;
    std::string uri_;
    int networkTimeout_;
    int timeCap_ = 0;
    std::string subschema_;
    bool schemaRead_ = false;
    std::set<std::string> known_;
};

}  // namespace

std::unique_ptr<Backend> OpenLdapDirectory(const LdapSettings& settings) {
    return std::make_unique<LdapDirectory>(settings);
}

}  // namespace localplatform::directory
