#include "localplatform/directory/directory_schema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace localplatform::directory {
namespace {

// Names sort as a reader expects: case and accents do not separate them,
// and break ties only between otherwise equal names.
TEST(CompareForSort, OrdersNamesWithoutRegardToCaseOrAccents) {
    const std::vector<std::string> sorted = {
        "Ångström", "Anna",   "anna",     "bob",    "Émile",          "emile b",
        "Ewa",      "Łukasz", "Lukasz B", "Müller", "Mutter",         "Øyvind",
        "Zoë",      "Zoe z",  "Ζωή",      "Жанна",  "\xff\xfe broken"};
    for (size_t i = 0; i < sorted.size(); ++i) {
        for (size_t j = 0; j < sorted.size(); ++j) {
            SCOPED_TRACE(sorted[i] + " / " + sorted[j]);
            const int c = CompareForSort(sorted[i], sorted[j]);
            EXPECT_EQ(c < 0, i < j);
            EXPECT_EQ(c == 0, i == j);
            // The primary key agrees wherever it tells the two apart.
            const std::string ki = PrimarySortKey(sorted[i]), kj = PrimarySortKey(sorted[j]);
            if (ki != kj) {
                EXPECT_EQ(ki < kj, c < 0);
            }
        }
    }
    EXPECT_EQ(PrimarySortKey("ÉMILE"), PrimarySortKey("emile"));
    EXPECT_LT(CompareForSort("Emile", "émile"), 0);
}

TEST(AttributeRules, KnowTheSystemsAttributesInAnyCase) {
    for (const char* name : {"extensionattribute8", "MSEXCHHOMESERVERNAME", "mailNickName",
                             "homeMDB", "objectcategory", "mail"}) {
        SCOPED_TRACE(name);
        const AttributeRule* r = FindAttributeRule(name);
        ASSERT_NE(r, nullptr);
        EXPECT_TRUE(r->caseInsensitive);
    }
    ASSERT_NE(FindAttributeRule("msExchMailboxGuid"), nullptr);
    EXPECT_TRUE(FindAttributeRule("msExchMailboxGuid")->binary);
    EXPECT_EQ(FindAttributeRule("noSuchAttribute"), nullptr);
}

}  // namespace
}  // namespace localplatform::directory
