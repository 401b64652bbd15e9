#include "localplatform/store/mail_store.h"

#include <algorithm>
#include <string_view>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/store/imap/imap_store.h"
#include "localplatform/store/maildir_store.h"

namespace localplatform {

namespace {

thread_local uint64_t runsStarted = 0;

bool IsAtom(const std::string& word) {
    if (word.empty() || word[0] == '\\') return false;
    return std::none_of(word.begin(), word.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u >= 0x7f ||
               std::string_view("(){%*\"\\]").find(c) != std::string_view::npos;
    });
}

}  // namespace

FlagParts SplitFlags(const std::string& flags) {
    FlagParts parts;
    size_t at = flags.find(' ');
    parts.letters = flags.substr(0, at);
    while (at != std::string::npos) {
        const size_t next = flags.find(' ', at + 1);
        std::string word = flags.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        if (!word.empty()) parts.keywords.push_back(std::move(word));
        at = next;
    }
    return parts;
}

std::string JoinFlags(std::string letters, std::vector<std::string> keywords) {
    std::sort(letters.begin(), letters.end());
    letters.erase(std::unique(letters.begin(), letters.end()), letters.end());
    std::sort(keywords.begin(), keywords.end());
    keywords.erase(std::unique(keywords.begin(), keywords.end()), keywords.end());
    for (const auto& k : keywords) {
        if (IsAtom(k)) letters += " " + k;
    }
    return letters;
}

void StartMailStoreRun() {
    ++runsStarted;
}

uint64_t MailStoreRunsStarted() {
    return runsStarted;
}

std::unique_ptr<MailStore> OpenMailStore(const MailStoreSettings& settings) {
    namespace err = platform::err;
    const std::string scheme =
        platform::Lower(settings.location.substr(0, settings.location.find(':')));
    if (scheme == "maildir") return OpenMaildirStore(settings);
    const std::string where = settings.source + ": mailstore." + settings.ns;
    if (scheme == "imap" || scheme == "imaps") return OpenImapStore(settings);
    throw platform::Error(
        err::kInvalidArg,
        platform::Describe("open mail store", where,
                           "no mail store backend takes '" +
                               platform::VisibleText(platform::WithoutUserInfo(settings.location)) +
                               "'",
                           err::kInvalidArg));
}

}  // namespace localplatform
