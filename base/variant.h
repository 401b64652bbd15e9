// A value as the platform's objects hand it over: a property of a store item,
// an attribute of a directory entry, a registry value. Null stands for an
// absent or unset value. The conversions follow the platform language's rules
// (CStr, CInt, CLng, CDbl, CBool, CDate): numeric text converts, anything else
// raises "Type mismatch" (13), too large a number "Overflow" (6), and Null
// "Invalid use of Null" (94).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/date.h"

namespace platform {

enum class VariantType { Null, String, Int16, Int32, Bool, Date, Double, Bytes };

const char* VariantTypeName(VariantType t);

class Variant {
public:
    Variant() = default;  // Null
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(int16_t i) : v_(i) {}
    Variant(int32_t i) : v_(i) {}
    Variant(bool b) : v_(b) {}
    Variant(Date d) : v_(d) {}
    Variant(double d) : v_(d) {}
    Variant(std::vector<uint8_t> b) : v_(std::move(b)) {}

    [[nodiscard]] VariantType Type() const { return static_cast<VariantType>(v_.index()); }
    [[nodiscard]] bool IsNull() const { return v_.index() == 0; }

    // Conversions; each throws platform::Error as described above.
    [[nodiscard]] std::string ToString() const;
    [[nodiscard]] int16_t ToInt16() const;
    [[nodiscard]] int32_t ToInt32() const;
    [[nodiscard]] double ToDouble() const;
    [[nodiscard]] bool ToBool() const;
    [[nodiscard]] Date ToDate() const;
    // Null reads as the empty string (the system's rule for absent values).
    [[nodiscard]] std::string ToStringOrEmpty() const& {
        return IsNull() ? std::string() : ToString();
    }
    // A value about to go gives its string up rather than copying it.
    [[nodiscard]] std::string ToStringOrEmpty() && {
        if (auto* s = std::get_if<std::string>(&v_)) return std::move(*s);
        return std::as_const(*this).ToStringOrEmpty();
    }

    // Direct access for callers that already checked Type().
    [[nodiscard]] const std::string& AsString() const { return std::get<std::string>(v_); }
    [[nodiscard]] const std::vector<uint8_t>& AsBytes() const {
        return std::get<std::vector<uint8_t>>(v_);
    }

    friend bool operator==(const Variant&, const Variant&) = default;

private:
    std::variant<std::monostate, std::string, int16_t, int32_t, bool, Date, double,
                 std::vector<uint8_t>>
        v_;
};

// Parses numeric text as the platform language does: blanks around it, an
// optional sign, digits with an optional fraction and exponent, or "&H"/"&O"
// prefixed integers. Returns false for anything else.
bool ParseNumericText(const std::string& text, double& out);

}  // namespace platform
