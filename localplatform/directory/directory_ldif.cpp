#include "localplatform/directory/directory_ldif.h"

extern "C" {
#include <ldb.h>
}

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/directory/ldb_library.h"

namespace localplatform::directory {
namespace {

using platform::Error;
namespace err = platform::err;

struct TallocFree {
    void operator()(void* p) const { talloc_free(p); }
};

bool OnlyBlank(const char* s) {
    // What is left after the last record: blank lines and comments only.
    bool lineStart = true;
    for (; *s != '\0'; ++s) {
        if (lineStart && *s == '#') {
            while (*s != '\0' && *s != '\n') ++s;
            if (*s == '\0') break;
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(*s))) return false;
        lineStart = *s == '\n';
    }
    return true;
}

bool SafeString(const std::string& v) {
    // Narrower than RFC 2849's SAFE-STRING: printable ASCII only, no leading
    // blank, ':' or '<', no trailing blank. ldb trims tabs and other control
    // characters at a value's ends, so a value holding them goes as base64
    // or it would read back shorter (or empty, and then be refused).
    if (v.empty()) return true;
    if (v.front() == ' ' || v.front() == ':' || v.front() == '<' || v.back() == ' ') return false;
    for (unsigned char c : v) {
        if (c < 0x20 || c >= 0x7f) return false;
    }
    return true;
}

bool AttributeName(const char* name) {
    // RFC 4512 descriptor or numeric OID, with options: what an LDAP server
    // takes and what ToLdif can write back as a line's name.
    if (!std::isalnum(static_cast<unsigned char>(*name))) return false;
    for (; *name != '\0'; ++name) {
        const unsigned char c = static_cast<unsigned char>(*name);
        if (!std::isalnum(c) && c != '-' && c != ';' && c != '.') return false;
    }
    return true;
}

std::string Base64(const std::string& in) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t n = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    if (i + 1 == in.size()) {
        const uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        const uint32_t n = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

void Line(std::string& out, const std::string& name, const std::string& value) {
    if (SafeString(value))
        out += name + ": " + value + "\n";
    else
        out += name + ":: " + Base64(value) + "\n";
}

}  // namespace

std::vector<Entry> ParseLdif(const std::string& text) {
    PrepareLdbLibrary();
    std::unique_ptr<ldb_context, TallocFree> ldb(ldb_init(nullptr, nullptr));
    if (!ldb)
        throw Error(err::kOutOfMemory, platform::Describe("read LDIF", "", "ldb_init failed", 0));
    std::vector<Entry> out;
    const char* s = text.c_str();
    for (;;) {
        const char* before = s;
        ldb_ldif* ldif = ldb_ldif_read_string(ldb.get(), &s);
        if (ldif == nullptr) {
            if (OnlyBlank(before)) break;
            throw Error(err::kUnrecognizedData,
                        platform::Describe(
                            "read LDIF", "record " + std::to_string(out.size() + 1),
                            "not a valid LDIF record near '" +
                                platform::VisibleText(std::string_view(before).substr(0, 80)) + "'",
                            0));
        }
        std::unique_ptr<ldb_ldif, std::function<void(ldb_ldif*)>> owner(
            ldif, [&](ldb_ldif* l) { ldb_ldif_read_free(ldb.get(), l); });
        if (ldif->changetype != LDB_CHANGETYPE_NONE && ldif->changetype != LDB_CHANGETYPE_ADD) {
            throw Error(err::kUnrecognizedData,
                        platform::Describe("read LDIF", ldb_dn_get_linearized(ldif->msg->dn),
                                           "only entries and additions can be loaded", 0));
        }
        Entry e;
        e.dn = ldb_dn_get_linearized(ldif->msg->dn);
        if (e.dn.empty()) {
            throw Error(err::kUnrecognizedData,
                        platform::Describe("read LDIF", "record " + std::to_string(out.size() + 1),
                                           "the entry has no distinguished name", 0));
        }
        for (unsigned i = 0; i < ldif->msg->num_elements; ++i) {
            const ldb_message_element& el = ldif->msg->elements[i];
            if (!AttributeName(el.name)) {
                throw Error(
                    err::kUnrecognizedData,
                    platform::Describe("read LDIF", e.dn,
                                       "an attribute's name '" + platform::VisibleText(el.name) +
                                           "' is not an LDAP attribute name",
                                       0));
            }
            Attribute* a = nullptr;
            for (auto& existing : e.attributes) {
                if (strcasecmp(existing.name.c_str(), el.name) == 0) a = &existing;
            }
            if (a == nullptr) {
                e.attributes.push_back(Attribute{el.name, {}});
                a = &e.attributes.back();
            }
            for (unsigned v = 0; v < el.num_values; ++v) {
                // ldb refuses an empty value except on a file's last line;
                // refused everywhere, no file loads differently by its end.
                if (el.values[v].length == 0) {
                    throw Error(
                        err::kUnrecognizedData,
                        platform::Describe(
                            "read LDIF", e.dn,
                            std::string("the attribute ") + el.name + " has an empty value", 0));
                }
                a->values.emplace_back(reinterpret_cast<const char*>(el.values[v].data),
                                       el.values[v].length);
            }
        }
        out.push_back(std::move(e));
    }
    return out;
}

size_t LoadEntries(Backend& backend, const std::vector<Entry>& entries,
                   const std::function<void(size_t)>& progress) {
    backend.BeginBulk();
    size_t n = 0;
    for (const auto& e : entries) {
        backend.Add(e);
        if (++n % 1000 == 0 && progress) progress(n);
    }
    backend.CommitBulk();
    if (progress && n % 1000 != 0) progress(n);
    return n;
}

std::string ToLdif(const Entry& entry) {
    std::string out;
    Line(out, "dn", entry.dn);
    for (const auto& a : entry.attributes) {
        for (const auto& v : a.values) Line(out, a.name, v);
    }
    out += "\n";
    return out;
}

}  // namespace localplatform::directory
