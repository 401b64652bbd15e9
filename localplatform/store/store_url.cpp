#include "localplatform/store/store_url.h"

#include "base/error.h"
#include "base/strfuncs.h"

namespace localplatform {
namespace {

constexpr std::string_view kFilePrefix = "file://./backofficestorage/";
constexpr std::string_view kHttpPrefix = "http://";
constexpr std::string_view kHttpRoot = "exadmin";
constexpr size_t kMaxUrlLength = 8192;

[[noreturn]] void Bad(std::string_view url, const std::string& reason) {
    // The URL may hold anything; show a bounded, printable form of it.
    std::string shown;
    for (char c : url.substr(0, 200)) {
        const auto u = static_cast<unsigned char>(c);
        shown += (u < 0x20 || u == 0x7f) ? '?' : c;
    }
    if (url.size() > 200) shown += "...";
    throw platform::Error(
        platform::err::kBadUrl,
        platform::Describe("parse store URL", shown, reason, platform::err::kBadUrl));
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameFolded(text.substr(0, prefix.size()), prefix);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Decodes one raw segment; every refusal names what was wrong.
std::string DecodeSegment(std::string_view url, std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (IsControl(static_cast<unsigned char>(c))) Bad(url, "control character in a name");
        if (c == '?' || c == '#') Bad(url, "query or fragment marks are not part of a store URL");
        if (c == '\\') Bad(url, "backslash in a name");
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 2 >= raw.size()) Bad(url, "truncated percent escape");
        const int hi = HexValue(raw[i + 1]);
        const int lo = HexValue(raw[i + 2]);
        if (hi < 0 || lo < 0) Bad(url, "malformed percent escape");
        const auto decoded = static_cast<unsigned char>(hi * 16 + lo);
        if (decoded == '/' || decoded == '\\') Bad(url, "encoded path separator");
        if (IsControl(decoded)) Bad(url, "encoded control character or NUL");
        out += static_cast<char>(decoded);
        i += 2;
    }
    if (out == "." || out == "..") Bad(url, "relative segment '" + out + "'");
    return out;
}

bool NeedsEscape(unsigned char c, UrlScheme scheme) {
    return IsControl(c) || c == '%' || c == '/' || c == '\\' || c == '?' || c == '#' ||
           (c == ' ' && scheme == UrlScheme::kHttp);
}

// One segment of a path, percent-encoded where needed; the stretches between
// escapes go in whole.
void AppendSegment(std::string& out, std::string_view segment, UrlScheme scheme) {
    size_t plain = 0;
    for (size_t i = 0; i < segment.size(); ++i) {
        const auto u = static_cast<unsigned char>(segment[i]);
        if (!NeedsEscape(u, scheme)) continue;
        out.append(segment.substr(plain, i - plain));
        out += '%';
        platform::AppendHexByte(out, u);
        plain = i + 1;
    }
    out.append(segment.substr(plain));
}

}  // namespace

std::string EncodeUrlPath(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (IsControl(u) || c == '%' || c == '?' || c == '#' || c == '\\') {
            out += '%';
            platform::AppendHexByte(out, u);
        } else {
            out += c;
        }
    }
    return out;
}

std::string FoldName(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool SameFolded(std::string_view a, std::string_view b) {
    const auto fold = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (a.size() != b.size()) return false;
    // Mostly the same spelling: one comparison of the bytes says so.
    if (a == b) return true;
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

StoreUrl ParseStoreUrl(std::string_view url, std::string_view serverFqdn) {
    if (url.size() > kMaxUrlLength) Bad(url, "URL too long");
    StoreUrl parsed;
    std::string_view rest;
    if (StartsWithFolded(url, kFilePrefix)) {
        parsed.scheme = UrlScheme::kFile;
        rest = url.substr(kFilePrefix.size());
    } else if (StartsWithFolded(url, kHttpPrefix)) {
        parsed.scheme = UrlScheme::kHttp;
        rest = url.substr(kHttpPrefix.size());
        const size_t slash = rest.find('/');
        const std::string_view host = rest.substr(0, slash);
        if (host.empty()) Bad(url, "no host");
        if (serverFqdn.empty() || FoldName(host) != FoldName(serverFqdn)) {
            Bad(url, "host is not this server (" + std::string(serverFqdn) + ")");
        }
        if (slash == std::string_view::npos) Bad(url, "no /exadmin/ path");
        rest = rest.substr(slash + 1);
        const size_t next = rest.find('/');
        if (FoldName(rest.substr(0, next)) != kHttpRoot)
            Bad(url, "path does not start with /exadmin/");
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    } else {
        Bad(url, "not a file://./backofficestorage/ or http:// store URL");
    }

    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.empty()) Bad(url, "no namespace");
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t slash = rest.find('/', start);
        const std::string_view raw = rest.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (raw.empty()) Bad(url, "empty segment");
        parsed.segments.push_back(DecodeSegment(url, raw));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (parsed.segments.size() >= 2 && FoldName(parsed.segments[1]) != "mbx") {
        Bad(url, "second segment must be MBX");
    }
    return parsed;
}

std::string StoreUrlHost(std::string_view url) {
    if (url.size() <= 7 || FoldName(url.substr(0, 7)) != "http://") return {};
    return std::string(url.substr(7, url.find('/', 7) - 7));
}

std::string FormatStoreUrl(UrlScheme scheme, std::string_view serverFqdn,
                           const std::vector<std::string>& segments) {
    std::string out = scheme == UrlScheme::kFile ? std::string(kFilePrefix)
                                                 : "http://" + FoldName(serverFqdn) + "/exadmin/";
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) out += '/';
        if (i == 1) {
            out += scheme == UrlScheme::kFile ? "MBX" : "mbx";
            continue;
        }
        AppendSegment(out, segments[i], scheme);
    }
    return out;
}

std::string StoreUrlBelow(std::string_view folderUrl, std::string_view name, UrlScheme scheme) {
    std::string out;
    out.reserve(folderUrl.size() + 1 + name.size());
    out.append(folderUrl);
    out += '/';
    AppendSegment(out, name, scheme);
    return out;
}

}  // namespace localplatform
