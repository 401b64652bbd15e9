// The selection's text rules: the sweep's query and the URL forms of a
// mailbox's folder. What they select against a real store and directory is
// tested where the run and the preview use them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/date.h"
#include "selection/folder_selection.h"
#include "selection/mailbox_selection.h"

namespace quellix {
namespace {

using platform::Date;

TEST(SweepQuery, IsTheStoreQueryOfTheSweep) {
    EXPECT_EQ(SweepQuery("file://./backofficestorage/example.org/MBX/ann/Spam",
                         Date::FromParts(2004, 3, 5, 7, 8, 9), "deep"),
              "select  \"urn:schemas:mailheader:content-class\", \"DAV:href\", "
              "\"DAV:displayname\", \"DAV:creationdate\", \"DAV:getlastmodified\", "
              "\"DAV:getcontentlength\", \"urn:schemas:httpmail:datereceived\" from scope "
              "('deep traversal of \"file://./backofficestorage/example.org/MBX/ann/Spam\"')  "
              "WHERE \"DAV:ishidden\" = false  AND \"DAV:iscollection\" = false  AND "
              "(\"urn:schemas:httpmail:datereceived\" <= CAST(\"2004-03-05T07:08:09Z\" as "
              "'dateTime'))");
    // Quote marks of the URL are doubled, each for the quotes it stands in.
    const std::string q =
        SweepQuery("file://./backofficestorage/example.org/MBX/o'brien/Say \"hi\"",
                   Date::FromParts(2004, 3, 5, 7, 8, 9), "shallow");
    EXPECT_NE(q.find("from scope ('shallow traversal of "
                     "\"file://./backofficestorage/example.org/MBX/o''brien/Say \"\"hi\"\"\"')"),
              std::string::npos)
        << q;
}

TEST(FolderUrlTries, EachFormOnceInTheOrderARunTriesThem) {
    ServerNames server;
    server.ServerFqdn = "mx1.example.org";
    server.StoreFileBase = "file://./backofficestorage/store.example/mbx";
    server.StoreHttpBase = "http://mx1.example.org/exadmin/store.example/mbx";
    const std::string file = server.StoreFileBase + "/";
    const std::string http = server.StoreHttpBase + "/";
    const auto row = [](const char* account, const char* alias, const char* localPart,
                        const char* mailDomain) {
        MailboxRow r;
        r.account = account;
        r.alias = alias;
        r.localPart = localPart;
        r.mailDomain = mailDomain;
        return r;
    };
    struct Case {
        const char* what;
        MailboxRow row;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"alias, local part and account all differ",
         row("acct", "al", "lp", "example.org"),
         {"file://./backofficestorage/example.org/mbx/al/Spam",
          "http://mx1.example.org/exadmin/example.org/mbx/al/Spam", file + "al/Spam",
          http + "al/Spam", file + "lp/Spam", http + "lp/Spam", file + "acct/Spam",
          http + "acct/Spam"}},
        {"forms equal to the alias, without regard to case, are tried once",
         row("AL", "al", "Al", "example.org"),
         {"file://./backofficestorage/example.org/mbx/al/Spam",
          "http://mx1.example.org/exadmin/example.org/mbx/al/Spam", file + "al/Spam",
          http + "al/Spam"}},
        {"an account equal to the local part",
         row("lp", "", "LP", "example.org"),
         {"file://./backofficestorage/example.org/mbx//Spam",
          "http://mx1.example.org/exadmin/example.org/mbx//Spam", file + "LP/Spam",
          http + "LP/Spam"}},
        {"no address: nothing to try", row("acct", "al", "", ""), {}},
        {"names are encoded, each reaching only its own item",
         row("", "o'hara?#", "", "ex%41.org"),
         {"file://./backofficestorage/ex%2541.org/mbx/o'hara%3F%23/Spam",
          "http://mx1.example.org/exadmin/ex%2541.org/mbx/o'hara%3F%23/Spam",
          file + "o'hara%3F%23/Spam", http + "o'hara%3F%23/Spam"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FolderUrlTries(c.row, server, "Spam"), c.want);
    }
}

TEST(IsTreatedMailbox, HomeServerMarkAndSystemMailboxes) {
    MailboxRow marked;
    marked.homeServer = "MX1";
    marked.markNull = false;
    marked.mark = "quellix";
    marked.alias = "ann";
    EXPECT_TRUE(IsTreatedMailbox(marked, "mx1", 0));
    EXPECT_FALSE(IsTreatedMailbox(marked, "mx2", 1));
    MailboxRow unmarked = marked;
    unmarked.markNull = true;
    EXPECT_FALSE(IsTreatedMailbox(unmarked, "mx1", 0));
    EXPECT_TRUE(IsTreatedMailbox(unmarked, "mx1", 1));
    MailboxRow system = marked;
    system.alias = "SystemMailbox{1234}";
    EXPECT_FALSE(IsTreatedMailbox(system, "mx1", 1));
}

}  // namespace
}  // namespace quellix
