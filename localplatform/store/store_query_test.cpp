// The query dialect: parsing (and its refusals) and evaluation on a store.
#include "localplatform/store/store_query.h"

#include <gtest/gtest.h>

#include <limits>

#include "base/error.h"
#include "localplatform/sqlite/sqlite_db.h"
#include "localplatform/store/store_messages.h"
#include "localplatform/store/store_test_support.h"

namespace localplatform {
namespace {

using platform::Date;
using testing::ErrorOf;
using testing::TempStore;

TEST(StoreQueryTest, ParsesSelectScopeAndOrder) {
    const auto q = ParseQuery(
        "SeLeCt \"DAV:href\", \"DAV:displayname\" FROM Scope('  DEEP  traversal  OF \"file://./x\" "
        "') "
        "where not (\"a\" = 'it''s' or \"b\" <> -1.5) order by \"DAV:displayname\" desc, \"a\";");
    EXPECT_EQ(q.columns, (std::vector<std::string>{"DAV:href", "DAV:displayname"}));
    EXPECT_TRUE(q.deep);
    EXPECT_EQ(q.scopeUrl, "file://./x");
    ASSERT_EQ(q.orderBy.size(), 2u);
    EXPECT_TRUE(q.orderBy[0].descending);
    EXPECT_FALSE(q.orderBy[1].descending);
    EXPECT_NE(q.where, nullptr);
}

TEST(StoreQueryTest, QuotedValuesReadBackExactly) {
    for (const std::string url : {"file://./backofficestorage/e/MBX/o'brien/Say \"hi\"",
                                  "file://./x/''\"\"'", "file://./plain"}) {
        SCOPED_TRACE(url);
        for (const char* depth : {"shallow", "deep"}) {
            const auto q = ParseQuery(
                "select \"DAV:href\" from scope (" +
                QuoteQueryText(std::string(depth) + " traversal of " + QuoteQueryText(url, '"'),
                               '\'') +
                ") where \"DAV:displayname\" = " + QuoteQueryText(url, '\''));
            EXPECT_EQ(q.scopeUrl, url);
            EXPECT_EQ(q.deep, std::string(depth) == "deep");
        }
        const auto star = ParseQuery("select * from " + QuoteQueryText(url, '"'));
        EXPECT_EQ(star.scopeUrl, url);
        EXPECT_TRUE(star.selectAll);
        EXPECT_FALSE(star.deep);
    }
    EXPECT_EQ(QuoteQueryText("it's", '\''), "'it''s'");
    EXPECT_EQ(QuoteQueryText("a\"b", '"'), "\"a\"\"b\"");
}

TEST(StoreQueryTest, MalformedTextSaysWhere) {
    struct Case {
        const char* query;
        const char* position;  // expected in the description
    };
    const std::vector<Case> cases = {
        {"", "position 1"},
        {"delete from \"x\"", "position 1"},
        {"select from \"x\"", "position 8"},
        {"select \"a\" \"b\" from \"x\"", "position 12"},
        {"select \"a\" from scope('shallow \"x\"')", "position 23"},
        {"select \"a\" from scope('shallow traversal of \"x')", "position 23"},
        {"select \"a\" from \"x\" where", "position 26"},
        {"select \"a\" from \"x\" where \"a\" = ", "position 33"},
        {"select \"a\" from \"x\" where (\"a\" = 1", "position 35"},
        {"select \"a\" from \"x\" where \"a\" = 'open", "position 33"},
        {"select \"a\" from \"x\" where \"a\" == 1", "position 32"},
        {"select \"a\" from \"x\" where \"a\" = CAST('2026-02-30T00:00:00Z' as 'dateTime')",
         "position 38"},
        {"select \"a\" from \"x\" where \"a\" = CAST('1' as 'gizmo')", "position 45"},
        {"select \"a\" from \"x\" where 'a'", "position 27"},
        {"select \"a\" from \"x\" order by \"a\" sideways", "position 34"},
        {"select \"a\" from \"x\" where \"a\" = 1 # comment", "position 35"},
    };
    for (const auto& c : cases) {
        try {
            (void)ParseQuery(c.query);
            ADD_FAILURE() << "accepted: " << c.query;
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::kErrorsInCommand) << c.query;
            EXPECT_NE(e.Description().find(c.position), std::string::npos)
                << c.query << " -> " << e.Description();
        }
    }
    // Deep nesting is refused, not a stack overflow.
    std::string deep = "select \"a\" from \"x\" where " + std::string(100000, '(') + "true";
    EXPECT_THROW((void)ParseQuery(deep), platform::Error);
}

class StoreQueryRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = ItemStore::ForThisThread();
        store_->CreateNamespace("example.test");
        store_->CreateMailbox("example.test", "alice", false);
        folder_ = TempStore::FileBase() + "/alice/Inbox";
        const auto inbox = store_->Lookup({"example.test", "MBX", "alice", "Inbox"});
        a_ = store_->SaveMessage(inbox->id, "a", ToStoreTime(Date::FromParts(2026, 1, 1)), "a.EML");
        b_ = store_->SaveMessage(inbox->id, "b", ToStoreTime(Date::FromParts(2026, 2, 1)), "B.EML");
        c_ = store_->ReplaceItem(inbox->id, "c.reg");
        store_->WriteProperties(
            a_, {{"n", platform::Variant(int16_t{3})}, {"s", platform::Variant("Spam")}});
        store_->WriteProperties(
            b_, {{"n", platform::Variant(int16_t{12})}, {"DAV:ishidden", platform::Variant(true)}});
        store_->CreateFolder(inbox->id, "Sub");
    }

    std::vector<std::string> Names(const std::string& where, const std::string& order = "") {
        const auto q =
            ParseQuery("select \"DAV:displayname\" from scope('shallow traversal of \"" + folder_ +
                       "\"')" + (where.empty() ? "" : " where " + where) + order);
        std::vector<std::string> names;
        for (const auto& row : RunQuery(*store_, q).rows) names.push_back(row.values[0].ToString());
        return names;
    }

    TempStore temp_;
    std::shared_ptr<ItemStore> store_;
    std::string folder_;
    int64_t a_ = 0, b_ = 0, c_ = 0;
};

TEST_F(StoreQueryRunTest, ConditionsFollowTheDialectsRules) {
    using V = std::vector<std::string>;
    struct Case {
        std::string where;
        V want;
    };
    const std::vector<Case> cases = {
        {"", V{"a.EML", "B.EML", "c.reg", "Sub"}},
        {"\"DAV:ishidden\" = true", V{"B.EML"}},
        {"\"DAV:iscollection\" = false AND \"DAV:ishidden\" = false", V{"a.EML", "c.reg"}},
        {"\"DAV:isfolder\"", V{"Sub"}},
        {"\"n\" > 5", V{"B.EML"}},
        {"\"n\" >= 3 AND \"n\" <= '3'", V{"a.EML"}},
        {"\"n\" <> 3", V{"B.EML"}},                       // Null never matches...
        {"NOT (\"n\" = 3)", V{"B.EML", "c.reg", "Sub"}},  // ...but its negation does
        {"\"n\" IS NULL", V{"c.reg", "Sub"}},
        {"\"s\" = 'SPAM'", V{"a.EML"}},  // text ignores case
        {"\"s\" = 3", V{}},              // unrelated types never match
        {"\"DAV:displayname\" = 'b.eml'", V{"B.EML"}},
        {"\"urn:schemas:httpmail:datereceived\" <= CAST(\"2026-01-01T00:00:00Z\" as 'dateTime')",
         V{"a.EML"}},
        {"\"urn:schemas:httpmail:datereceived\" < CAST(\"2026-01-01T01:00:00-02:00\" as "
         "'dateTime')",
         V{"a.EML"}},
        {"NOT \"urn:schemas:httpmail:datereceived\" > '2026-01-15T00:00:00Z'",
         V{"a.EML", "c.reg", "Sub"}},
        {"(\"n\" = 3 OR \"n\" = 12) AND NOT \"DAV:ishidden\" = true", V{"a.EML"}},
        {"false OR true", V{"a.EML", "B.EML", "c.reg", "Sub"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Names(c.where), c.want) << c.where;
}

TEST_F(StoreQueryRunTest, OrdersTraversesDeepAndNeedsAFolder) {
    EXPECT_EQ(Names("\"n\" > 0", " order by \"n\" desc"),
              (std::vector<std::string>{"B.EML", "a.EML"}));
    EXPECT_EQ(Names("", " ORDER BY \"DAV:displayname\""),
              (std::vector<std::string>{"a.EML", "B.EML", "c.reg", "Sub"}));
    const auto sub = store_->Lookup({"example.test", "MBX", "alice", "Inbox", "Sub"});
    store_->SaveMessage(sub->id, "d", ToStoreTime(Date::FromParts(2025, 1, 1)), "d.EML");
    const auto deep =
        ParseQuery("select \"DAV:href\", \"DAV:iscollection\" from scope('deep traversal of \"" +
                   TempStore::HttpBase() + "/alice/Inbox\"')");
    const auto result = RunQuery(*store_, deep);
    ASSERT_EQ(result.rows.size(), 5u);
    EXPECT_EQ(result.rows.back().values[0].ToString(),
              TempStore::HttpBase() + "/alice/Inbox/Sub/d.EML");
    const auto star =
        RunQuery(*store_, ParseQuery("select * from \"" + folder_ + "\" where \"n\" = 3"));
    ASSERT_EQ(star.rows.size(), 1u);
    EXPECT_NE(std::find(star.rows[0].names.begin(), star.rows[0].names.end(), "s"),
              star.rows[0].names.end());
    // The scope must name a folder.
    for (const std::string& url : {folder_ + "/a.EML", folder_ + "/None"}) {
        EXPECT_EQ(
            ErrorOf([&] { (void)RunQuery(*store_, ParseQuery("select * from \"" + url + "\"")); }),
            platform::err::kTableNotFound)
            << url;
    }
}

// A received time no date has: the row comes back, unreadable, whenever the
// condition reads it, whether the SQL judged the whole condition or only part
// of it, and whether or not the date is among the selected columns.
TEST_F(StoreQueryRunTest, ARowWhoseDateTheConditionCannotReadComesBackUnreadable) {
    {
        auto db = SqliteDb::Open(store_->Path(), {});
        db.Prepare("UPDATE items SET received = ?1 WHERE id = ?2")
            .Bind(1, std::numeric_limits<int64_t>::min())
            .Bind(2, a_)
            .Run();
    }
    const std::string received = "\"urn:schemas:httpmail:datereceived\"";
    const std::string cutoff = " <= CAST(\"2026-03-01T00:00:00Z\" as 'dateTime')";
    struct Case {
        std::string where;
        size_t rows;  // the bad row, and B.EML where the condition lets it in
    };
    const std::vector<Case> cases = {
        {received + cutoff, 2},                                        // all in SQL
        {"\"DAV:ishidden\" = false AND " + received + cutoff, 1},      // all in SQL
        {received + cutoff + " AND (\"n\" = 3 OR \"n\" IS NULL)", 1},  // partly
    };
    for (const std::string& columns :
         {std::string("\"DAV:displayname\""), "\"DAV:displayname\", " + received}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(columns + " where " + c.where);
            const auto result = RunQuery(*store_, ParseQuery("select " + columns + " from \"" +
                                                             folder_ + "\" where " + c.where));
            ASSERT_EQ(result.rows.size(), c.rows);
            EXPECT_EQ(result.rows[0].id, a_);
            ASSERT_TRUE(result.rows[0].unreadable.has_value());
            EXPECT_EQ(result.rows[0].unreadable->Number(), platform::err::kCantConvert);
            for (size_t i = 1; i < result.rows.size(); ++i)
                EXPECT_FALSE(result.rows[i].unreadable.has_value());
        }
    }
}

}  // namespace
}  // namespace localplatform
