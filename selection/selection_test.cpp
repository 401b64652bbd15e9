// The selection's text rules: the sweep's query and the URL forms of a
// mailbox's folder. What they select against a real store and directory is
// tested where the run and the preview use them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/date.h"
#include "base/error_state.h"
#include "base/testing/temp_platform.h"
#include "selection/folder_selection.h"
#include "selection/mailbox_selection.h"
#include "selection/run_parameters.h"

namespace quellix {
namespace {

using platform::Date;

// Which messages a run takes: everything received at or before now minus
// the age, in UTC. An age of 0 takes everything received until now; an age
// that is no usable number takes nothing; a bias that is no zone leaves the
// cutoff local (and says so).
TEST(RunCutoff, AgeAndBiasGiveTheCutoff) {
    platform::testing::TempPlatform temp("selection-");
    const Date now = Date::FromParts(2026, 3, 10, 12, 0, 0);
    const struct {
        const char* age;
        const char* bias;
        Date want;
        bool failed;
    } cases[] = {
        {"0", "0", now, false},
        {"14", "0", Date::FromParts(2026, 2, 24, 12, 0, 0), false},
        {"1.5", "0", Date::FromParts(2026, 3, 9, 0, 0, 0), false},
        {"0", "300", Date::FromParts(2026, 3, 10, 17, 0, 0), false},
        {"0", "-1440", Date::FromParts(2026, 3, 9, 12, 0, 0), false},
        {"0", "1441", now, true},
        {"0", "bytes:C4 FF FF FF", now, true},
        {"-1", "0", Date(), false},
        {"fourteen", "0", Date(), true},
        {"99999999", "0", Date(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.age) + " days, bias " + c.bias);
        temp.Configure(std::string("timezone.active_time_bias = ") + c.bias + "\n");
        platform::ErrorState err;
        EXPECT_EQ(RunCutoff(now, c.age, err).Serial(), c.want.Serial());
        EXPECT_EQ(err.Number() != 0, c.failed) << err.Description();
    }
}

TEST(IsRunDay, EveryDayAWeekdayOrNever) {
    const Date tuesday = Date::FromParts(2026, 3, 10, 23, 59, 0);
    for (int16_t run = 0; run <= 9; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(IsRunDay(run, tuesday), run == 1 || run == 4);
    }
}

// What the sweep's query selects is tested against a real store where the
// run and the preview use it; here, that a folder URL taken from data stays
// one value in it.
TEST(SweepQuery, TheFolderUrlStaysOneValue) {
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
        const char* folder = "Spam";
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
         {"file://./backofficestorage/ex%2541.org/mbx/o'hara%3F%23/Sp%2561m",
          "http://mx1.example.org/exadmin/ex%2541.org/mbx/o'hara%3F%23/Sp%2561m",
          file + "o'hara%3F%23/Sp%2561m", http + "o'hara%3F%23/Sp%2561m"},
         "Sp%61m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> urls;
        for (const FolderUrlTry& t : FolderUrlTries(c.row, server, c.folder)) urls.push_back(t.url);
        EXPECT_EQ(urls, c.want);
    }
}

// The forms by the local part and the account say the name they are by, as
// the directory holds it, so that a run can ask whose alias it is.
TEST(FolderUrlTries, FormsByAnotherNameSayWhichName) {
    ServerNames server;
    MailboxRow row;
    row.account = "Acct/1";
    row.alias = "al";
    row.localPart = "l p";
    row.mailDomain = "example.org";
    std::vector<std::string> names;
    for (const FolderUrlTry& t : FolderUrlTries(row, server, "Spam")) names.push_back(t.otherName);
    EXPECT_EQ(names, (std::vector<std::string>{"", "", "", "", "l p", "l p", "Acct/1", "Acct/1"}));
}

TEST(MailboxQuery, TheSearchRootIsQuotedAsOneValue) {
    EXPECT_NE(MailboxQuery("GC://dc1' WHERE cn='*").find("FROM 'GC://dc1'' WHERE cn=''*' "),
              std::string::npos);
}

}  // namespace
}  // namespace quellix
