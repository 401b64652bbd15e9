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

// A program of the usual shape, "bench [MODE [COUNT]] [--users N] [--name
// TEXT] [--quick]": what it took as "MODE COUNT USERS NAME QUICK", then
// " exit N" when it is not to go on; err gets what it wrote on stderr.
std::string Parse(std::vector<std::string> words, std::string* err) {
    std::vector<char*> argv = {const_cast<char*>("bench")};
    for (std::string& w : words) argv.push_back(w.data());
    BenchArgs args(static_cast<int>(argv.size()), argv.data(),
                   "bench [MODE [COUNT]] [--users N] [--name TEXT] [--quick]");
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    std::string took = args.Word().value_or("none");
    took += " " + std::to_string(args.NumberWord("COUNT", 10, 0));
    took += " " + std::to_string(args.Number("--users", 100, 1));
    took += " " + args.Text("--name", "default");
    took += args.Flag("--quick") ? " quick" : "";
    if (const std::optional<int> exit = args.Done()) took += " exit " + std::to_string(*exit);
    (void)::testing::internal::GetCapturedStdout();
    *err = ::testing::internal::GetCapturedStderr();
    return took;
}

TEST(BenchArgsTest, TakesWordsThenOptionsInAnyOrderAndRefusesTheRest) {
    const struct {
        std::vector<std::string> args;
        const char* took;
        const char* err;  // a line the refusal must hold, with the usage
    } cases[] = {
        {{}, "none 10 100 default", ""},
        {{"floor", "50", "--users", "7", "--name", "x y", "--quick"}, "floor 50 7 x y quick", ""},
        {{"floor", "--quick", "--users", "7"}, "floor 10 7 default quick", ""},
        {{"--help"}, "none 10 100 default exit 0", ""},
        {{"floor", "5x"},
         "floor 10 100 default exit 2",
         "bench: COUNT: '5x' is not a whole number of at least 0\n"},
        {{"--users", "0"},
         "none 10 100 default exit 2",
         "bench: --users: '0' is not a whole number of at least 1\n"},
        {{"--name"}, "none 10 100 default exit 2", "bench: --name needs a value\n"},
        {{"floor", "5", "extra"},
         "floor 5 100 default exit 2",
         "bench: unexpected argument 'extra'\n"},
        {{"floor", "--users", "3", "--bogus"},
         "floor 10 3 default exit 2",
         "bench: unexpected argument '--bogus'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::string err;
        EXPECT_EQ(Parse(c.args, &err), c.took);
        if (*c.err == '\0') {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_NE(err.find(c.err), std::string::npos) << err;
            EXPECT_NE(err.find("usage: bench [MODE"), std::string::npos) << err;
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
