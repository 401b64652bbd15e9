// The benchmarks' command line: words, options and flags taken, and every
// argument the program did not take or could not read refused with the
// reason and the usage.
#include "base/testing/bench_args.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::testing {
namespace {

struct Parsed {
    std::string mode;
    long count = 0;
    long users = 0;
    std::string name;
    bool quick = false;
    std::optional<int> exit;
    std::string err;
};

// A program of the usual shape: "bench [MODE [COUNT]] [--users N] [--name
// TEXT] [--quick]".
Parsed Parse(std::vector<std::string> words) {
    std::vector<char*> argv = {const_cast<char*>("bench")};
    for (std::string& w : words) argv.push_back(w.data());
    BenchArgs args(static_cast<int>(argv.size()), argv.data(),
                   "bench [MODE [COUNT]] [--users N] [--name TEXT] [--quick]");
    Parsed p;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    p.mode = args.Word().value_or("none");
    p.count = args.NumberWord("COUNT", 10, 0);
    p.users = args.Number("--users", 100, 1);
    p.name = args.Text("--name", "default");
    p.quick = args.Flag("--quick");
    p.exit = args.Done();
    (void)::testing::internal::GetCapturedStdout();
    p.err = ::testing::internal::GetCapturedStderr();
    return p;
}

TEST(BenchArgsTest, TakesWordsThenOptionsInAnyOrderAndRefusesTheRest) {
    const struct {
        std::vector<std::string> args;
        std::string mode;
        long count, users;
        std::string name;
        bool quick;
        std::optional<int> exit;
        std::string err;  // a line the refusal must hold
    } cases[] = {
        {{}, "none", 10, 100, "default", false, std::nullopt, ""},
        {{"floor", "50", "--users", "7", "--name", "x y", "--quick"},
         "floor",
         50,
         7,
         "x y",
         true,
         std::nullopt,
         ""},
        {{"floor", "--quick", "--users", "7"}, "floor", 10, 7, "default", true, std::nullopt, ""},
        {{"--help"}, "none", 10, 100, "default", false, 0, ""},
        {{"floor", "5x"},
         "floor",
         10,
         100,
         "default",
         false,
         2,
         "bench: COUNT: '5x' is not a whole number of at least 0\n"},
        {{"--users", "0"},
         "none",
         10,
         100,
         "default",
         false,
         2,
         "bench: --users: '0' is not a whole number of at least 1\n"},
        {{"--name"}, "none", 10, 100, "default", false, 2, "bench: --name needs a value\n"},
        {{"floor", "5", "extra"},
         "floor",
         5,
         100,
         "default",
         false,
         2,
         "bench: unexpected argument 'extra'\n"},
        {{"floor", "--users", "3", "--bogus"},
         "floor",
         10,
         3,
         "default",
         false,
         2,
         "bench: unexpected argument '--bogus'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Parsed p = Parse(c.args);
        EXPECT_EQ(p.mode, c.mode);
        EXPECT_EQ(p.count, c.count);
        EXPECT_EQ(p.users, c.users);
        EXPECT_EQ(p.name, c.name);
        EXPECT_EQ(p.quick, c.quick);
        EXPECT_EQ(p.exit, c.exit);
        if (c.err.empty()) {
            EXPECT_EQ(p.err, "");
        } else {
            EXPECT_NE(p.err.find(c.err), std::string::npos) << p.err;
            EXPECT_NE(p.err.find("usage: bench [MODE"), std::string::npos) << p.err;
        }
    }
}

TEST(BenchArgsTest, RestIsACommandLineToRunAsGiven) {
    std::vector<std::string> words = {"bench", "measure", "/bin/prog", "--help", "x"};
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (std::string& w : words) argv.push_back(w.data());
    BenchArgs args(static_cast<int>(argv.size()), argv.data(), "bench measure CMD [ARGS...]");
    EXPECT_EQ(args.Word(), "measure");
    const std::vector<char*> rest = args.Rest();
    ASSERT_EQ(rest.size(), 4u);
    EXPECT_STREQ(rest[0], "/bin/prog");
    EXPECT_STREQ(rest[1], "--help");
    EXPECT_STREQ(rest[2], "x");
    EXPECT_EQ(rest[3], nullptr);
    EXPECT_EQ(args.Done(), std::nullopt);
}

}  // namespace
}  // namespace platform::testing
