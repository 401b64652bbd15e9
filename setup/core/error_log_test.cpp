#include "setup/core/error_log.h"

#include <gtest/gtest.h>

namespace setup {
namespace {

const platform::Date kWhen = platform::Date::FromParts(2026, 12, 7, 1, 2, 3);

TEST(ErrorLog, EntriesAreBuiltOneWayAndPrependedNewestFirst) {
    const ErrorEntry first =
        ErrorEntry::FromError(platform::Error(platform::err::kNotFound, "no item at that URL"),
                              "file://./backofficestorage/example.test/MBX/sm", kWhen);
    EXPECT_EQ(first.Text(),
              "[2026-12-07 01:02:03] file://./backofficestorage/example.test/MBX/sm - ERROR: "
              "-2147217895 no item at that URL\r\n\r\n");
    const ErrorEntry second{kWhen.AddMinutes(1), "", 53, "File not found"};
    EXPECT_EQ(second.Text(), "[2026-12-07 01:03:03]  - ERROR: 53 File not found\r\n\r\n");

    ErrorLog log;
    EXPECT_TRUE(log.Empty());
    log.Prepend(first);
    log.Prepend(second);
    EXPECT_EQ(log.Text(), second.Text() + first.Text());
    log.PrependText(DllMissingEntryText(kWhen, "/opt/quellix/Quellix.so"));
    EXPECT_EQ(log.Text().substr(0, log.Text().find("\r\n\r\n") + 4),
              "[2026-12-07 01:02:03] File /opt/quellix/Quellix.so not found. COM+ object "
              "installation is impossible.\r\n\r\n");
    log.Clear();
    EXPECT_TRUE(log.Empty());
}

}  // namespace
}  // namespace setup
