#include "base/spill_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/error.h"

namespace platform {
namespace {

// Records of every size around the reader's window (empty ones, ones
// larger than it) read back between any two records' offsets, from a spill
// held in memory and from one in its file; the file has no name in its
// folder, and a folder that is not there is an error naming the spill.
TEST(SpillFileTest, ReadsBackWhatWasWrittenBetweenAnyTwoRecords) {
    char tmpl[] = "/tmp/quellix-spill-test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string folder = tmpl;
    for (size_t hold : {size_t{0}, size_t{1} << 20}) {
        SpillFile file(folder, "the test's spill", hold);
        std::vector<std::string> records;
        std::vector<uint64_t> starts;
        for (size_t n : {0, 1, 3, 4, 5, 8, 0, 13, 300, 7, 64, 2}) {
            starts.push_back(file.Size());
            records.emplace_back(n, static_cast<char>('a' + records.size()));
            file.Append(records.back());
        }
        starts.push_back(file.Size());
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << "the spill has a name";
        for (size_t window : {1, 8, 4096}) {
            for (size_t from = 0; from < records.size(); from += 3) {
                for (size_t to = from; to <= records.size(); to += 2) {
                    SCOPED_TRACE("held " + std::to_string(hold) + ", window " +
                                 std::to_string(window) + ": records " + std::to_string(from) +
                                 " to " + std::to_string(to));
                    SpillFile::Reader reader(file, starts[from], starts[to], window);
                    std::string record;
                    for (size_t i = from; i < to; ++i) {
                        ASSERT_TRUE(reader.Next(record));
                        EXPECT_EQ(record, records[i]);
                    }
                    EXPECT_FALSE(reader.Next(record));
                }
            }
        }
    }
    std::filesystem::remove_all(folder);
    try {
        SpillFile missing(folder + "/gone", "the test's spill", 0);
        missing.Append("a record");
        ADD_FAILURE() << "a spill in a missing folder";
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("the test's spill"), std::string::npos) << e.Description();
    }
}

}  // namespace
}  // namespace platform
