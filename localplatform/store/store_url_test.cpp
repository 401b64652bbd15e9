// Store URLs: both schemes, decoding, and every refusal.
#include "localplatform/store/store_url.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace localplatform {
namespace {

constexpr const char* kFqdn = "mail01.example.test";

TEST(StoreUrlTest, ParsesBothSchemes) {
    const struct {
        const char* url;
        UrlScheme scheme;
        std::vector<std::string> segments;
    } cases[] = {
        {"FILE://./BackOfficeStorage/example.test/mbx/alice/Inbox/",
         UrlScheme::kFile,
         {"example.test", "mbx", "alice", "Inbox"}},
        {"http://MAIL01.Example.Test/exadmin/example.test/mbx/alice/Sent%20Items",
         UrlScheme::kHttp,
         {"example.test", "mbx", "alice", "Sent Items"}},
        {"http://mail01.example.test/ExAdmin/example.test", UrlScheme::kHttp, {"example.test"}},
        {"file://./backofficestorage/example.test/MBX/SystemMailbox{1f05}/StoreEvents/GlobalEvents/"
         "Quellix.reg",
         UrlScheme::kFile,
         {"example.test", "MBX", "SystemMailbox{1f05}", "StoreEvents", "GlobalEvents",
          "Quellix.reg"}},
        {"file://./backofficestorage/example.test/MBX/alice/Inbox/Junk Mail/%41%2e.EML",
         UrlScheme::kFile,
         {"example.test", "MBX", "alice", "Inbox", "Junk Mail", "A..EML"}},
    };
    for (const auto& c : cases) {
        const StoreUrl u = ParseStoreUrl(c.url, kFqdn);
        EXPECT_EQ(u.scheme, c.scheme) << c.url;
        EXPECT_EQ(u.segments, c.segments) << c.url;
    }
}

TEST(StoreUrlTest, RefusesUrlsThatLeaveTheNamespaceOrNameAnotherHost) {
    std::vector<std::string> cases = {
        "",
        "file://./backofficestorage/",
        "file://./backofficestorage//MBX/alice",
        "file://./backofficestorage/example.test/Public/alice",
        "file:///etc/passwd",
        "http://other.example.test/exadmin/example.test/mbx/alice",
        "http://mail01.example.test:8080/exadmin/example.test/mbx/alice",
        "http://mail01.example.test/public/example.test/mbx/alice",
        "http://mail01.example.test",
        "http:///exadmin/example.test",
        "ftp://mail01.example.test/exadmin/example.test",
    };
    // Below a mailbox: empty, relative or encoded separators, controls, bad escapes, a query.
    for (const char* path : {"alice//Inbox", "alice/../bob", "alice/./Inbox", "alice/%2E%2E/bob",
                             "alice%2Fbob", "alice%2fbob", "alice%5Cbob", "alice\\bob", "alice%00",
                             "alice%0A", "alice%4", "alice%zz", "alice?x=1"}) {
        cases.push_back(std::string("file://./backofficestorage/example.test/MBX/") + path);
    }
    for (const std::string& c : cases) {
        try {
            (void)ParseStoreUrl(c, kFqdn);
            ADD_FAILURE() << "accepted " << c;
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.Number(), platform::err::kBadUrl) << c;
            EXPECT_NE(e.Description().find("failed"), std::string::npos) << e.Description();
        }
    }
}

// Names as data come back exactly, never decoded a second time into another
// name: encoded alone (a folder path keeps its "/") or in a whole URL.
TEST(StoreUrlTest, EncodedNamesDecodeOnceToThemselves) {
    for (const std::string name :
         {"Sp%61m", "50% off", "What?", "Tag#1", "O'Brien \"x\"", "%2e%2E", "Sent Items", "%25"}) {
        SCOPED_TRACE(name);
        for (const auto scheme : {UrlScheme::kFile, UrlScheme::kHttp}) {
            const std::vector<std::string> path = {"example.test", "MBX", "a", "Inbox", name};
            const std::string inbox = FormatStoreUrl(scheme, kFqdn, {"e", "MBX", "a", "Inbox"});
            // A folder's URL extended by one name is the name's URL written whole.
            EXPECT_EQ(StoreUrlBelow(FormatStoreUrl(scheme, kFqdn, {path.begin(), path.end() - 1}),
                                    name, scheme),
                      FormatStoreUrl(scheme, kFqdn, path));
            for (const std::string& url :
                 {inbox + "/" + EncodeUrlPath(name), FormatStoreUrl(scheme, kFqdn, path)}) {
                const StoreUrl back = ParseStoreUrl(url, kFqdn);
                EXPECT_EQ(back.scheme, scheme);
                ASSERT_EQ(back.segments.size(), 5u) << url;
                EXPECT_EQ(back.segments[4], name) << url;
            }
        }
    }
    const std::vector<std::string> path = {"example.test", "MBX", "alice", "Sent Items",
                                           "50%/a\\b?#.EML"};
    EXPECT_EQ(
        FormatStoreUrl(UrlScheme::kFile, "MAIL01.example.test", path),
        "file://./backofficestorage/example.test/MBX/alice/Sent Items/50%25%2Fa%5Cb%3F%23.EML");
    EXPECT_EQ(FormatStoreUrl(UrlScheme::kHttp, "MAIL01.example.test", path),
              "http://mail01.example.test/exadmin/example.test/mbx/alice/Sent%20Items/"
              "50%25%2Fa%5Cb%3F%23.EML");
    EXPECT_EQ(EncodeUrlPath("Inbox/Sp%61m?#"), "Inbox/Sp%2561m%3F%23");
    EXPECT_EQ(EncodeUrlPath("a\\b\x01"), "a%5Cb%01");
    // Pasted unencoded, a name with "%61" is another name, and "?" is refused.
    EXPECT_EQ(ParseStoreUrl("file://./backofficestorage/e/MBX/a/Sp%61m", kFqdn).segments[3],
              "Spam");
    EXPECT_THROW((void)ParseStoreUrl("file://./backofficestorage/e/MBX/a/What?", kFqdn),
                 platform::Error);
}

}  // namespace
}  // namespace localplatform
