// Store URLs in their two schemes, which reach the same items:
//   file://./backofficestorage/<ns>/MBX/<alias>/<path>
//   http://<this server's FQDN>/exadmin/<ns>/mbx/<alias>/<path>
// A parsed URL is the scheme plus the item's path from the store's root
// (namespace, "MBX", alias, folders..., item), every segment percent-decoded.
// Parsing refuses anything that could reach outside the addressed namespace.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace localplatform {

enum class UrlScheme { kFile, kHttp };

struct StoreUrl {
    UrlScheme scheme = UrlScheme::kFile;
    // Decoded names from the store's root: segments[0] is the namespace,
    // segments[1] (when present) is "MBX" in any case, segments[2] the alias.
    std::vector<std::string> segments;
};

// Parses url. serverFqdn is this server's fully qualified name; an http URL
// must name it (compared without regard to case). Raises platform::Error
// err::kBadUrl, saying why, for: another scheme or host, a missing namespace,
// a second segment other than "MBX", empty segments inside the path, "." or
// "..", an encoded "/" or "\", a NUL or control character, a raw "?" or "#",
// or a malformed percent escape. One trailing "/" is tolerated.
[[nodiscard]] StoreUrl ParseStoreUrl(std::string_view url, std::string_view serverFqdn);

// The host an http URL names (empty for a file URL, or no URL at all): for
// callers that take a store URL whatever name it gives this server.
[[nodiscard]] std::string StoreUrlHost(std::string_view url);

// The URL of the item with the given path in a scheme: the inverse of
// ParseStoreUrl. Segment 1 is written "MBX" (file) or "mbx" (http); names are
// percent-encoded where needed ("%", "/", "\", "?", "#", controls, and blanks
// in the http scheme).
[[nodiscard]] std::string FormatStoreUrl(UrlScheme scheme, std::string_view serverFqdn,
                                         const std::vector<std::string>& segments);

// The URL of the item name in the folder at folderUrl, a URL FormatStoreUrl
// gave for a path of two segments or more: the same URL FormatStoreUrl gives
// for the item's path, without writing the folder's part again for every item.
[[nodiscard]] std::string StoreUrlBelow(std::string_view folderUrl, std::string_view name,
                                        UrlScheme scheme);

// Encodes text (a name, or a "/"-separated path of names, taken from data) as it
// goes into a store URL: "%", "?", "#", "\" and control characters are
// percent-encoded, everything else (blanks, "/" between names) stays. Every
// name reaches, through ParseStoreUrl's one decoding, exactly the item it
// names ("Sp%61m" is the folder "Sp%61m", never "Spam").
[[nodiscard]] std::string EncodeUrlPath(std::string_view text);

// ASCII case folding used for every name comparison of the store (names
// outside ASCII compare exactly).
[[nodiscard]] std::string FoldName(std::string_view name);
// Whether a and b are the same name once folded, without making folded copies.
[[nodiscard]] bool SameFolded(std::string_view a, std::string_view b);

}  // namespace localplatform
