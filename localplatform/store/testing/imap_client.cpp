#include "localplatform/store/testing/imap_client.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "base/error.h"
#include "base/testing/run_program.h"

namespace localplatform::testing {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

std::string ScriptPath() {
#ifdef QUELLIX_IMAP_CLIENT_SCRIPT
    return QUELLIX_IMAP_CLIENT_SCRIPT;
#else
    const char* src = std::getenv("QUELLIX_SOURCE_DIR");
    return std::string(src != nullptr ? src : ".") + "/localplatform/store/testing/imap_client.py";
#endif
}

std::string RunClient(const ImapLogin& login, const std::vector<std::string>& command,
                      const std::string& input = "") {
    std::vector<std::string> argv = {kPython, ScriptPath(),
                                     login.address + ":" + std::to_string(login.port), login.user,
                                     login.passwordFile};
    if (!login.authzid.empty()) {
        argv.emplace_back("--as");
        argv.push_back(login.authzid);
    }
    argv.insert(argv.end(), command.begin(), command.end());
    const auto out = platform::testing::RunProgram(argv, input);
    if (out.code != 0) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe("IMAP " + command[0], login.user + " " + command[1], out.err, 0));
    }
    return out.out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) fields.push_back(field);
    return fields;
}

}  // namespace

bool ImapClientAvailable() {
    return ::access(kPython, X_OK) == 0 && ::access(ScriptPath().c_str(), R_OK) == 0;
}

void ImapCreate(const ImapLogin& login, const std::string& folder) {
    (void)RunClient(login, {"create", folder});
}

std::vector<int64_t> ImapAppend(const ImapLogin& login, const std::string& folder,
                                const std::vector<ImapAppended>& messages) {
    std::string input;
    for (const auto& m : messages) {
        input += std::to_string(m.rfc822.size()) + " " + std::to_string(m.received) + " " +
                 m.flags + "\n" + m.rfc822;
    }
    std::vector<int64_t> uids;
    std::istringstream out(RunClient(login, {"append", folder}, input));
    for (std::string line; std::getline(out, line);) uids.push_back(std::stoll(line));
    if (uids.size() != messages.size()) {
        throw platform::Error(platform::err::kFail,
                              platform::Describe("IMAP append", login.user + " " + folder,
                                                 std::to_string(uids.size()) + " UIDs for " +
                                                     std::to_string(messages.size()) + " messages",
                                                 0));
    }
    return uids;
}

int64_t ImapAppend(const ImapLogin& login, const std::string& folder, const std::string& rfc822,
                   int64_t received, const std::string& flags) {
    return ImapAppend(login, folder, {{rfc822, received, flags}}).at(0);
}

ImapMessage ParseFetchLine(const std::string& line, const std::string& folder) {
    const auto f = SplitTabs(line);
    if (f.size() < 4) {
        throw platform::Error(
            platform::err::kFail,
            platform::Describe("IMAP fetch", folder, "unexpected line: " + line, 0));
    }
    ImapMessage m;
    m.uid = std::stoll(f[0]);
    m.received = std::stoll(f[1]);
    m.size = std::stoll(f[2]);
    m.flags = f[3];
    m.messageId = f.size() > 4 ? f[4] : "";
    return m;
}

std::vector<ImapMessage> ImapFetch(const ImapLogin& login, const std::string& folder) {
    std::vector<ImapMessage> messages;
    std::istringstream in(RunClient(login, {"fetch", folder}));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) messages.push_back(ParseFetchLine(line, folder));
    }
    return messages;
}

}  // namespace localplatform::testing
