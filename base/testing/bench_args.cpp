#include "base/testing/bench_args.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

namespace platform::testing {

BenchArgs::BenchArgs(int argc, char** argv, std::string usage)
    : usage_(std::move(usage)),
      argv_(argv + std::min(argc, 1), argv + argc),
      taken_(argv_.size(), false) {}

std::optional<std::string> BenchArgs::Word() {
    for (size_t i = 0; i < argv_.size(); ++i) {
        if (taken_[i]) continue;
        if (std::string_view(argv_[i]).starts_with("--")) return std::nullopt;
        taken_[i] = true;
        return std::string(argv_[i]);
    }
    return std::nullopt;
}

long BenchArgs::NumberWord(const char* what, long fallback, long least) {
    const std::optional<std::string> word = Word();
    return word ? ToNumber(what, *word, fallback, least) : fallback;
}

std::string BenchArgs::Text(std::string_view option, std::string fallback) {
    for (size_t i = 0; i < argv_.size(); ++i) {
        if (taken_[i] || option != argv_[i]) continue;
        taken_[i] = true;
        if (i + 1 == argv_.size() || taken_[i + 1]) {
            errors_.push_back(std::string(option) + " needs a value");
            return fallback;
        }
        taken_[i + 1] = true;
        return argv_[i + 1];
    }
    return fallback;
}

long BenchArgs::Number(std::string_view option, long fallback, long least) {
    const std::string text = Text(option, "");
    return text.empty() ? fallback : ToNumber(std::string(option), text, fallback, least);
}

bool BenchArgs::Flag(std::string_view option) {
    bool given = false;
    for (size_t i = 0; i < argv_.size(); ++i) {
        if (!taken_[i] && option == argv_[i]) taken_[i] = given = true;
    }
    return given;
}

std::vector<char*> BenchArgs::Rest() {
    std::vector<char*> rest;
    for (size_t i = 0; i < argv_.size(); ++i) {
        if (taken_[i]) continue;
        taken_[i] = true;
        rest.push_back(argv_[i]);
    }
    rest.push_back(nullptr);
    return rest;
}

std::optional<int> BenchArgs::Done() {
    if (Flag("--help")) {
        std::printf("usage: %s\n", usage_.c_str());
        return 0;
    }
    for (size_t i = 0; i < argv_.size(); ++i) {
        if (!taken_[i]) errors_.push_back("unexpected argument '" + std::string(argv_[i]) + "'");
    }
    if (errors_.empty()) return std::nullopt;
    return Refuse(errors_);
}

int BenchArgs::Fail(const std::string& why) const {
    return Refuse({why});
}

int BenchArgs::Refuse(const std::vector<std::string>& whys) const {
    const std::string program = usage_.substr(0, usage_.find(' '));
    for (const std::string& why : whys)
        std::fprintf(stderr, "%s: %s\n", program.c_str(), why.c_str());
    std::fprintf(stderr, "usage: %s\n", usage_.c_str());
    return 2;
}

long BenchArgs::ToNumber(const std::string& what, const std::string& text, long fallback,
                         long least) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < least) {
        errors_.push_back(what + ": '" + text + "' is not a whole number of at least " +
                          std::to_string(least));
        return fallback;
    }
    return value;
}

}  // namespace platform::testing
