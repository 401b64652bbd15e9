#include "localplatform/directory/directory_ldif.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace localplatform::directory {
namespace {

// What reads, and what is refused the same wherever it stands in the file.
TEST(ParseLdif, ReadsRecordsAndRefusesEmptyValuesAnywhere) {
    struct Case {
        const char* name;
        const char* text;
        int entries;  // -1: refused
    };
    const Case cases[] = {
        {"plain and base64", "dn: CN=a,DC=x\ncn: a\n\ndn:: Q049YixEQz14\ncn:: Yg==\n", 2},
        {"empty value mid-file", "dn: CN=a,DC=x\ncn: \nsn: a\n\n", -1},
        {"empty value on the last line", "dn: CN=a,DC=x\nsn: a\ncn: ", -1},
        {"a modify record", "dn: CN=a,DC=x\nchangetype: modify\nreplace: cn\ncn: b\n-\n", -1},
        {"an empty dn", "dn: \ncn: a\n\n", -1},
        {"an attribute without a name", "dn: CN=a,DC=x\n: a\n\n", -1},
        // Tabs and bytes outside ASCII must go back as base64, not be trimmed.
        {"tab and latin-1 values", "dn: CN=a,DC=x\ncn:: CQ==\nsn:: Yd8J\n\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.entries < 0) {
            EXPECT_THROW((void)ParseLdif(c.text), platform::Error);
            continue;
        }
        const std::vector<Entry> entries = ParseLdif(c.text);
        ASSERT_EQ(entries.size(), static_cast<size_t>(c.entries));
        // Written back, the entries read the same.
        std::string again;
        for (const Entry& e : entries) again += ToLdif(e);
        const std::vector<Entry> back = ParseLdif(again);
        ASSERT_EQ(back.size(), entries.size());
        for (size_t i = 0; i < back.size(); ++i) {
            EXPECT_EQ(back[i].dn, entries[i].dn);
            ASSERT_EQ(back[i].attributes.size(), entries[i].attributes.size());
            for (size_t a = 0; a < back[i].attributes.size(); ++a)
                EXPECT_EQ(back[i].attributes[a].values, entries[i].attributes[a].values);
        }
    }
}

}  // namespace
}  // namespace localplatform::directory
