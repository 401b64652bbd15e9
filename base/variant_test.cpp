#include "base/variant.h"

#include <gtest/gtest.h>

#include "base/error.h"

using platform::Variant;

namespace {
int ErrorOf(auto&& fn) {
    try {
        fn();
    } catch (const platform::Error& e) {
        return e.Number();
    }
    return 0;
}
}  // namespace

TEST(Variant, IntegerConversionsFollowTheLanguageRules) {
    struct Case {
        Variant in;
        int want;
    } ok[] = {
        {Variant("14"), 14},     {Variant(" 7 "), 7},   {Variant("2.5"), 2},
        {Variant("3.5"), 4},     {Variant("-1"), -1},   {Variant("&H10"), 16},
        {Variant("&HFFFF"), -1}, {Variant(true), -1},   {Variant(int32_t{32767}), 32767},
        {Variant(1.5), 2},       {Variant("1e2"), 100},
    };
    for (const auto& c : ok) EXPECT_EQ(c.in.ToInt16(), c.want) << c.in.ToStringOrEmpty();

    EXPECT_EQ(ErrorOf([] { (void)Variant("abc").ToInt16(); }), platform::err::kTypeMismatch);
    EXPECT_EQ(ErrorOf([] { (void)Variant("").ToInt16(); }), platform::err::kTypeMismatch);
    EXPECT_EQ(ErrorOf([] { (void)Variant("nan").ToDouble(); }), platform::err::kTypeMismatch);
    EXPECT_EQ(ErrorOf([] { (void)Variant("40000").ToInt16(); }), platform::err::kOverflow);
    EXPECT_EQ(ErrorOf([] { (void)Variant("40000").ToInt32(); }), 0);
    EXPECT_EQ(ErrorOf([] { (void)Variant().ToInt16(); }), platform::err::kInvalidUseOfNull);
    EXPECT_EQ(ErrorOf([] { (void)Variant().ToString(); }), platform::err::kInvalidUseOfNull);
}

TEST(Variant, TextForms) {
    EXPECT_EQ(Variant(int16_t{5}).ToString(), "5");
    EXPECT_EQ(Variant(0.5).ToString(), "0.5");
    EXPECT_EQ(Variant(14.0).ToString(), "14");
    EXPECT_EQ(Variant(false).ToString(), "False");
    EXPECT_EQ(Variant().ToStringOrEmpty(), "");
    EXPECT_EQ(Variant(platform::Date::FromParts(2004, 3, 5, 7, 8, 9)).ToString(),
              "2004-03-05 07:08:09");
    EXPECT_EQ(Variant("1.5").ToDouble(), 1.5);
    EXPECT_TRUE(Variant("True").ToBool());
    EXPECT_FALSE(Variant("0").ToBool());
    EXPECT_EQ(Variant("2004-03-05T07:08:09Z").ToDate(),
              platform::Date::FromParts(2004, 3, 5, 7, 8, 9));
}
