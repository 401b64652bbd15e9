#include "tools/admin_verbs.h"

#include <cstdlib>

#include "base/error.h"
#include "base/exit_codes.h"

namespace admin {

std::string Args::Get(const std::string& k, const std::string& fallback) const {
    const auto it = options.find(k);
    return it == options.end() ? fallback : it->second;
}

long Args::Number(const std::string& k, long fallback) const {
    const auto it = options.find(k);
    if (it == options.end()) return fallback;
    char* end = nullptr;
    const long v = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || v < 0) throw UsageError("--" + k + " needs a number");
    return v;
}

Args Split(const std::vector<std::string>& words, const std::vector<std::string>& flags) {
    Args a;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& s = words[i];
        if (s.size() > 2 && s.rfind("--", 0) == 0) {
            const std::string key = s.substr(2);
            bool isFlag = false;
            for (const auto& f : flags) isFlag = isFlag || f == key;
            if (isFlag) {
                a.options.insert_or_assign(key, std::string(1, '1'));
            } else if (i + 1 < words.size()) {
                a.options[key] = words[++i];
            } else {
                throw UsageError("option --" + key + " needs a value");
            }
        } else {
            a.positional.push_back(s);
        }
    }
    return a;
}

int RunGroup(const char* group, const std::vector<Verb>& verbs, void (*groupHelp)(FILE* out),
             int argc, char** argv) {
    if (argc < 1) {
        groupHelp(stderr);
        return platform::kExitUsage;
    }
    const std::string verb = argv[0];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        groupHelp(stdout);
        return platform::kExitOk;
    }
    for (const auto& v : verbs) {
        if (verb != v.name) continue;
        const std::vector<std::string> args(argv + 1, argv + argc);
        for (const auto& a : args) {
            if (a == "--help" || a == "-h") {
                std::printf("usage: quellix-admin %s %s\n\n%s\n", group, v.synopsis, v.help);
                return platform::kExitOk;
            }
        }
        try {
            return v.run(args);
        } catch (const std::invalid_argument& e) {
            std::fprintf(stderr, "quellix-admin %s %s: %s\nusage: quellix-admin %s %s\n", group,
                         v.name, e.what(), group, v.synopsis);
            return platform::kExitUsage;
        } catch (const platform::Error& e) {
            // Descriptions made by Describe end with the number already.
            const std::string number = std::to_string(e.Number());
            const bool shown = e.Description().find(number) != std::string::npos;
            std::fprintf(stderr, "quellix-admin %s %s: %s%s\n", group, v.name,
                         e.Description().c_str(), shown ? "" : (" (" + number + ")").c_str());
            return platform::kExitFailed;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quellix-admin %s %s: %s\n", group, v.name, e.what());
            return platform::kExitFailed;
        }
    }
    std::fprintf(stderr, "quellix-admin %s: unknown verb '%s'\n", group, verb.c_str());
    groupHelp(stderr);
    return platform::kExitUsage;
}

}  // namespace admin
