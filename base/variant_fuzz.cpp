// libFuzzer target: date texts and value conversions. Any text, and any
// number within the calendar's range, either converts or raises
// platform::Error; never crashes or runs into undefined behaviour.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/date.h"
#include "base/error.h"
#include "base/variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using platform::Variant;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (auto d = platform::ParseDateText(text)) {
        (void)d->Serial();
        (void)platform::GeneralDateText(*d);
    }
    double number = 0;
    (void)platform::ParseNumericText(text, number);
    const Variant v(text);
    try {
        (void)v.ToInt16();
    } catch (const platform::Error&) {
    }
    try {
        (void)v.ToInt32();
    } catch (const platform::Error&) {
    }
    try {
        (void)v.ToDouble();
    } catch (const platform::Error&) {
    }
    try {
        (void)v.ToBool();
    } catch (const platform::Error&) {
    }
    try {
        const platform::Date d = v.ToDate();
        (void)Variant(d).ToString();
    } catch (const platform::Error&) {
    }
    // The same conversions from a number read out of the input.
    if (size >= sizeof(double)) {
        double x = 0;
        __builtin_memcpy(&x, data, sizeof x);
        // Dates run from the year 100 to 9999.
        if (!std::isfinite(x) || x < -657434.0 || x > 2958466.0) return 0;
        const Variant n(x);
        for (int i = 0; i < 3; ++i) {
            try {
                if (i == 0) (void)n.ToInt32();
                if (i == 1) (void)n.ToDate();
                if (i == 2) (void)n.ToString();
            } catch (const platform::Error&) {
            }
        }
        (void)platform::GeneralDateText(platform::Date(x));
    }
    return 0;
}
