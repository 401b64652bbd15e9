#include "base/variant.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "base/error.h"
#include "base/strfuncs.h"

namespace platform {
namespace {

[[noreturn]] void TypeMismatch() {
    throw Error(err::kTypeMismatch, "Type mismatch");
}
[[noreturn]] void Overflow() {
    throw Error(err::kOverflow, "Overflow");
}
[[noreturn]] void NullUse() {
    throw Error(err::kInvalidUseOfNull, "Invalid use of Null");
}

// Shortest text that reads back to the same double, as CStr shows numbers.
std::string DoubleText(double d) {
    if (d == std::floor(d) && std::fabs(d) < 1e15) {
        char buf[32];
        snprintf(buf, sizeof buf, "%.0f", d);
        return buf;
    }
    char buf[40];
    for (int prec = 1; prec <= 17; ++prec) {
        snprintf(buf, sizeof buf, "%.*g", prec, d);
        if (std::strtod(buf, nullptr) == d) break;
    }
    return buf;
}

// Rounds half to even, as the platform language's integer conversions do.
double BankersRound(double d) {
    const double r = std::nearbyint(d);  // default rounding mode is to-nearest-even
    return r;
}

int64_t ToWholeNumber(const Variant& v, int64_t lo, int64_t hi) {
    double d = 0;
    switch (v.Type()) {
        case VariantType::Null:
            NullUse();
        case VariantType::Bool:
            return v.ToBool() ? -1 : 0;
        case VariantType::String:
            if (!ParseNumericText(v.AsString(), d)) TypeMismatch();
            break;
        case VariantType::Bytes:
            TypeMismatch();
        default:
            d = v.ToDouble();
            break;
    }
    if (std::isnan(d)) Overflow();
    d = BankersRound(d);
    if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) Overflow();
    return static_cast<int64_t>(d);
}

}  // namespace

const char* VariantTypeName(VariantType t) {
    switch (t) {
        case VariantType::Null:
            return "Null";
        case VariantType::String:
            return "String";
        case VariantType::Int16:
            return "Integer";
        case VariantType::Int32:
            return "Long";
        case VariantType::Bool:
            return "Boolean";
        case VariantType::Date:
            return "Date";
        case VariantType::Double:
            return "Double";
        case VariantType::Bytes:
            return "Byte()";
    }
    return "Unknown";
}

bool ParseNumericText(const std::string& text, double& out) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return false;
    size_t e = text.find_last_not_of(" \t");
    std::string s = text.substr(b, e - b + 1);
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
        const int base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
        errno = 0;
        char* end = nullptr;
        const unsigned long long v = std::strtoull(s.c_str() + 2, &end, base);
        if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
        // Hex literals of up to 16 bits read as Integer, up to 32 bits as Long: sign from top bit.
        if (s.size() - 2 <= 4)
            out = static_cast<int16_t>(static_cast<uint16_t>(v));
        else
            out = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    // Only decimal forms: strtod would also accept "inf", "nan" and hex floats.
    size_t i = 0;
    if (s[i] == '+' || s[i] == '-') ++i;
    bool digits = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        ++i;
        digits = true;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            ++i;
            digits = true;
        }
    }
    if (!digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        bool exp = false;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            ++i;
            exp = true;
        }
        if (!exp) return false;
    }
    if (i != s.size()) return false;
    out = std::strtod(s.c_str(), nullptr);
    return std::isfinite(out);
}

std::string Variant::ToString() const {
    switch (Type()) {
        case VariantType::Null:
            NullUse();
        case VariantType::String:
            return AsString();
        case VariantType::Int16:
            return std::to_string(std::get<int16_t>(v_));
        case VariantType::Int32:
            return std::to_string(std::get<int32_t>(v_));
        case VariantType::Bool:
            return std::get<bool>(v_) ? "True" : "False";
        case VariantType::Date:
            return GeneralDateText(std::get<Date>(v_));
        case VariantType::Double:
            return DoubleText(std::get<double>(v_));
        case VariantType::Bytes: {
            const auto& b = AsBytes();
            return std::string(b.begin(), b.end());
        }
    }
    TypeMismatch();
}

int16_t Variant::ToInt16() const {
    return static_cast<int16_t>(ToWholeNumber(*this, std::numeric_limits<int16_t>::min(),
                                              std::numeric_limits<int16_t>::max()));
}

int32_t Variant::ToInt32() const {
    return static_cast<int32_t>(ToWholeNumber(*this, std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max()));
}

double Variant::ToDouble() const {
    switch (Type()) {
        case VariantType::Null:
            NullUse();
        case VariantType::String: {
            double d = 0;
            if (!ParseNumericText(AsString(), d)) TypeMismatch();
            return d;
        }
        case VariantType::Int16:
            return std::get<int16_t>(v_);
        case VariantType::Int32:
            return std::get<int32_t>(v_);
        case VariantType::Bool:
            return std::get<bool>(v_) ? -1.0 : 0.0;
        case VariantType::Date:
            return std::get<Date>(v_).Serial();
        case VariantType::Double:
            return std::get<double>(v_);
        case VariantType::Bytes:
            TypeMismatch();
    }
    TypeMismatch();
}

bool Variant::ToBool() const {
    switch (Type()) {
        case VariantType::Null:
            NullUse();
        case VariantType::Bool:
            return std::get<bool>(v_);
        case VariantType::String: {
            const std::string& s = AsString();
            std::string t;
            for (char c : s)
                if (c != ' ') t += LowerChar(c);
            if (t == "true") return true;
            if (t == "false") return false;
            double d = 0;
            if (!ParseNumericText(s, d)) TypeMismatch();
            return d != 0;
        }
        case VariantType::Bytes:
            TypeMismatch();
        default:
            return ToDouble() != 0;
    }
}

Date Variant::ToDate() const {
    switch (Type()) {
        case VariantType::Null:
            NullUse();
        case VariantType::Date:
            return std::get<Date>(v_);
        case VariantType::String: {
            if (auto d = ParseDateText(AsString())) return *d;
            TypeMismatch();
        }
        case VariantType::Bool:
        case VariantType::Bytes:
            TypeMismatch();
        default:
            return Date(ToDouble());
    }
}

}  // namespace platform
