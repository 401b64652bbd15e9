#include "localplatform/directory/directory_schema.h"

#include <locale.h>
#include <strings.h>
#include <wctype.h>

#include <cstdint>

#include "base/strfuncs.h"

namespace localplatform::directory {
namespace {

// Decodes one UTF-8 sequence at s[i]; a broken byte reads as itself, so any
// byte string sorts deterministically.
char32_t NextCodePoint(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    auto cont = [&](size_t k) {
        return k < s.size() && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80;
    };
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    if ((b0 & 0xE0) == 0xC0 && cont(i + 1)) {
        const char32_t c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
        i += 2;
        return c;
    }
    if ((b0 & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
        const char32_t c = ((b0 & 0x0Fu) << 12) |
                           ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                           (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
        i += 3;
        return c;
    }
    if ((b0 & 0xF8) == 0xF0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
        const char32_t c = ((b0 & 0x07u) << 18) |
                           ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                           ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                           (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
        i += 4;
        return c;
    }
    ++i;
    return 0xDC00 + b0;  // a lone surrogate value: sorts apart from real text
}

char32_t Lower(char32_t c) {
    if (c < 0x80) return static_cast<unsigned char>(platform::LowerChar(static_cast<char>(c)));
    // towlower in the C.UTF-8 locale knows the whole of Unicode's simple case
    // mappings; the process locale is left alone.
    static const locale_t utf8 =
        newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) return c;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8));
}

// The base letter of the accented Latin letters (U+00C0..U+017F); '.' keeps
// the character as it is.
constexpr std::string_view kLatin1 =
    "aaaaaaaceeeeiiiidnooooo.ouuuuy.saaaaaaaceeeeiiiidnooooo.ouuuuy.y";
constexpr std::string_view kLatinExtA =
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiiiiijjkkklllllll"
    "lllnnnnnnnnnoooooooorrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";

char32_t Primary(char32_t c) {
    c = Lower(c);
    if (c >= 0xC0 && c < 0x100 && kLatin1[c - 0xC0] != '.')
        return static_cast<char32_t>(kLatin1[c - 0xC0]);
    if (c >= 0x100 && c < 0x180 && c - 0x100 < kLatinExtA.size())
        return static_cast<char32_t>(kLatinExtA[c - 0x100]);
    return c;
}

int ComparePass(std::string_view a, std::string_view b, char32_t (*key)(char32_t)) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const char32_t ka = key(NextCodePoint(a, i));
        const char32_t kb = key(NextCodePoint(b, j));
        if (ka != kb) return ka < kb ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace

const std::vector<AttributeRule>& AttributeRules() {
    static const std::vector<AttributeRule> rules = {
        // name, case-insensitive, indexed, binary
        // objectClass is not indexed: every user carries four classes, and
        // four lists of every user made a bulk load several times slower,
        // while no query of the system selects by class.
        {"objectClass", true, false, false},
        {"objectCategory", true, true, false},  // a DN: compared without regard to case
        {"cn", true, true, false},
        {"name", true, false, false},
        {"sn", true, false, false},
        {"givenName", true, false, false},
        {"displayName", true, false, false},
        {"description", true, false, false},
        {"dc", true, false, false},
        {"ou", true, false, false},
        {"o", true, false, false},
        {"uid", true, false, false},
        {"title", true, false, false},
        {"mail", true, true, false},
        {"sAMAccountName", true, true, false},
        {"mailNickname", true, true, false},
        {"extensionAttribute8", true, true, false},
        {"msExchHomeServerName", true, false, false},
        {"homeMDB", true, false, false},
        {"member", true, false, false},
        {"distinguishedName", true, false, false},
        {"objectGUID", false, false, true},
        {"msExchMailboxGuid", false, false, true},
    };
    return rules;
}

const AttributeRule* FindAttributeRule(std::string_view name) {
    for (const auto& r : AttributeRules()) {
        if (name.size() == std::char_traits<char>::length(r.name) &&
            strncasecmp(r.name, name.data(), name.size()) == 0)
            return &r;
    }
    return nullptr;
}

std::string PrimarySortKey(std::string_view text) {
    // UTF-8 keeps code point order in byte order, so the folded code points
    // written as UTF-8 compare like the first pass of CompareForSort.
    std::string key;
    key.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const char32_t c = Primary(NextCodePoint(text, i));
        if (c < 0x80) {
            key += static_cast<char>(c);
        } else if (c < 0x800) {
            key += static_cast<char>(0xC0 | (c >> 6));
            key += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            key += static_cast<char>(0xE0 | (c >> 12));
            key += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            key += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            key += static_cast<char>(0xF0 | (c >> 18));
            key += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            key += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            key += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return key;
}

int CompareForSort(std::string_view a, std::string_view b) {
    if (int c = ComparePass(a, b, Primary); c != 0) return c;
    if (int c = ComparePass(a, b, Lower); c != 0) return c;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace localplatform::directory
