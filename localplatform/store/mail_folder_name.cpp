#include "localplatform/store/mail_folder_name.h"

#include <cstdint>
#include <vector>

namespace localplatform {
namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool Direct(unsigned char c) {
    return c >= 0x20 && c <= 0x7e && c != '&';
}

int Base64Value(char c) {
    const size_t at = kBase64.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The code points of UTF-8 text; nothing for text that is not UTF-8
// (overlong forms, surrogates, values above U+10FFFF) or holds a NUL.
std::optional<std::vector<uint32_t>> CodePoints(std::string_view s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int more = 0;
        uint32_t cp = 0;
        uint32_t least = 0;
        if (b == 0) return std::nullopt;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xe0) == 0xc0) {
            cp = b & 0x1fU;
            more = 1;
            least = 0x80;
        } else if ((b & 0xf0) == 0xe0) {
            cp = b & 0x0fU;
            more = 2;
            least = 0x800;
        } else if ((b & 0xf8) == 0xf0) {
            cp = b & 0x07U;
            more = 3;
            least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + static_cast<size_t>(more) >= s.size()) return std::nullopt;
        for (int k = 1; k <= more; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            if ((c & 0xc0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (c & 0x3fU);
        }
        if (more > 0 && cp < least) return std::nullopt;
        if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::nullopt;
        out.push_back(cp);
        i += static_cast<size_t>(more) + 1;
    }
    return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

// One base64 run of UTF-16 units, "&" and "-" around it.
void AppendRun(std::string& out, const std::vector<uint16_t>& units) {
    out += '&';
    uint32_t bits = 0;
    int count = 0;
    for (uint16_t u : units) {
        bits = (bits << 16) | u;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out += kBase64[(bits >> count) & 0x3f];
        }
        bits &= (1U << count) - 1;
    }
    if (count > 0) out += kBase64[(bits << (6 - count)) & 0x3f];
    out += '-';
}

}  // namespace

std::optional<std::string> EncodeMailFolderName(std::string_view utf8) {
    const auto points = CodePoints(utf8);
    if (!points) return std::nullopt;
    std::string out;
    std::vector<uint16_t> run;
    for (uint32_t cp : *points) {
        if (cp < 0x80 && Direct(static_cast<unsigned char>(cp))) {
            if (!run.empty()) {
                AppendRun(out, run);
                run.clear();
            }
            out += static_cast<char>(cp);
        } else if (cp == '&' && run.empty()) {
            out += "&-";
        } else if (cp == '&') {
            AppendRun(out, run);
            run.clear();
            out += "&-";
        } else if (cp >= 0x10000) {
            const uint32_t v = cp - 0x10000;
            run.push_back(static_cast<uint16_t>(0xd800 | (v >> 10)));
            run.push_back(static_cast<uint16_t>(0xdc00 | (v & 0x3ff)));
        } else {
            run.push_back(static_cast<uint16_t>(cp));
        }
    }
    if (!run.empty()) AppendRun(out, run);
    return out;
}

std::optional<std::string> DecodeMailFolderName(std::string_view mutf7) {
    std::string out;
    for (size_t i = 0; i < mutf7.size();) {
        const auto c = static_cast<unsigned char>(mutf7[i]);
        if (c != '&') {
            if (!Direct(c)) return std::nullopt;
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t end = mutf7.find('-', i + 1);
        if (end == std::string_view::npos) return std::nullopt;
        if (end == i + 1) {
            out += '&';
            i = end + 1;
            continue;
        }
        uint32_t bits = 0;
        int count = 0;
        std::vector<uint16_t> units;
        for (size_t k = i + 1; k < end; ++k) {
            const int v = Base64Value(mutf7[k]);
            if (v < 0) return std::nullopt;
            bits = (bits << 6) | static_cast<uint32_t>(v);
            count += 6;
            if (count >= 16) {
                count -= 16;
                units.push_back(static_cast<uint16_t>(bits >> count));
                bits &= (1U << count) - 1;
            }
        }
        // What is left over is padding: fewer than 6 bits, all zero.
        if (count >= 6 || bits != 0 || units.empty()) return std::nullopt;
        for (size_t k = 0; k < units.size(); ++k) {
            uint32_t cp = units[k];
            if (cp >= 0xd800 && cp <= 0xdbff) {
                if (k + 1 == units.size() || units[k + 1] < 0xdc00 || units[k + 1] > 0xdfff)
                    return std::nullopt;
                cp = 0x10000 + ((cp - 0xd800) << 10) + (units[k + 1] - 0xdc00U);
                ++k;
            } else if (cp >= 0xdc00 && cp <= 0xdfff) {
                return std::nullopt;
            }
            // Characters that stand for themselves are never encoded.
            if (cp < 0x80 && Direct(static_cast<unsigned char>(cp))) return std::nullopt;
            if (cp == 0) return std::nullopt;
            AppendUtf8(out, cp);
        }
        i = end + 1;
    }
    return out;
}

}  // namespace localplatform
