#include "setup/core/setup_text.h"

#include <algorithm>
#include <array>
#include <limits>

#include "base/strfuncs.h"
#include "registration/registration.h"

namespace setup {

using platform::EqualsNoCase;
using platform::Trim;

namespace {

constexpr std::string_view kSeparator = " / ";

std::string RemoveAll(std::string_view text, char c) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch != c) out += ch;
    }
    return out;
}

// The two searches of a system mailbox entry: the text after the last
// separator (trimmed) and what is left between the second-last and the last.
struct EntryTail {
    std::string last;
    std::string beforeLast;
};

EntryTail SplitEntryTail(std::string_view entry) {
    EntryTail out;
    std::string rest(entry);
    const size_t p = rest.rfind(kSeparator);
    if (p != std::string::npos) {
        out.last = Trim(rest.substr(p + kSeparator.size()));
        rest.resize(p);
    }
    // rest now ends before the last separator, so searching the whole of it
    // is searching up to that position.
    const size_t q = rest.rfind(kSeparator);
    if (q != std::string::npos) rest = Trim(rest.substr(q + kSeparator.size()));
    out.beforeLast = rest;
    return out;
}

constexpr std::array<const char*, kRunChoiceCount> kRunChoices = {
    "Never run", "Every day", "Sunday", "Monday",  "Tuesday",
    "Wednesday", "Thursday",  "Friday", "Saturday"};

constexpr std::string_view kForbidden = "!#$%^&*()=+{}[]|\\;:'/?>,< ";

}  // namespace

std::string NormalizeFolderName(std::string_view text) {
    std::string s = Trim(text);
    for (char& c : s) {
        if (c == '\\') c = '/';
    }
    s = RemoveAll(s, '\'');
    s = RemoveAll(s, '"');
    if (!s.empty() && s.front() == '/') s.erase(0, 1);
    if (!s.empty() && s.back() == '/') s.pop_back();
    return RemoveAll(s, ':');
}

SystemMailboxNames SplitSystemMailboxEntry(std::string_view entry) {
    const EntryTail tail = SplitEntryTail(entry);
    SystemMailboxNames names;
    names.nickname = tail.last;
    names.address = tail.beforeLast;
    const size_t at = names.address.rfind('@');
    names.alias =
        (at != std::string::npos && at >= 1) ? names.address.substr(0, at) : names.address;
    return names;
}

std::string RunMailboxName(const std::string& address, const std::string& name) {
    if (!address.empty()) return platform::VisibleText(address);
    return platform::VisibleText(name.empty() ? std::string("a mailbox without a name") : name) +
           " (no address)";
}

std::string EntryEmailAddress(std::string_view entry) {
    return SplitEntryTail(entry).beforeLast;
}

bool IsMarkableAddress(std::string_view address) {
    const size_t at = address.rfind('@');
    return at != std::string_view::npos && at >= 1;
}

const char* RunChoiceText(int16_t index) {
    if (index < 0 || index >= kRunChoiceCount) return "";
    return kRunChoices[static_cast<size_t>(index)];
}

std::optional<int16_t> RunChoiceIndex(std::string_view text) {
    for (int16_t i = 0; i < kRunChoiceCount; ++i) {
        if (EqualsNoCase(text, kRunChoices[static_cast<size_t>(i)])) return i;
    }
    return std::nullopt;
}

std::string TimeToRunText(std::string_view hour, std::string_view minute, std::string_view amPm) {
    std::string out(hour);
    out += ':';
    out += minute;
    out += ' ';
    out += amPm;
    return out;
}

std::optional<platform::Date> FirstFiringInstant(platform::Date nowLocal,
                                                 std::string_view timeToRun, double biasMinutes) {
    return registration::ComputeTimerStartTime(nowLocal, timeToRun, biasMinutes);
}

std::string GetMbxMameAndEmail(std::string_view entry) {
    const size_t first = entry.find(kSeparator);
    if (first == std::string_view::npos) return std::string(entry);
    // Up to and including the separator's first character (a blank), trimmed.
    std::string label = Trim(entry.substr(0, first + 1));
    const std::string_view rest = entry.substr(first + kSeparator.size());
    const size_t second = rest.find(kSeparator);
    if (second == std::string_view::npos) return label;
    label += " (";
    label += rest.substr(second + kSeparator.size());
    const size_t third = label.find(kSeparator);
    if (third != std::string::npos) label = Trim(label.substr(0, third + 1)) + ")";
    return label;
}

bool ValidateEmailAddress(std::string_view address) {
    if (Trim(address).empty()) return false;
    for (char c : address) {
        if (kForbidden.find(c) != std::string_view::npos) return false;
    }
    const size_t at = address.find('@');
    if (at == std::string_view::npos || at == 0) return false;
    const std::string_view domain = address.substr(at + 1);
    if (domain.find('@') != std::string_view::npos) return false;
    return domain.find('.') != std::string_view::npos;
}

std::optional<std::string> ReportRecipientAddress(std::string_view text) {
    const std::string t = Trim(text);
    const size_t at = t.find('@');
    if (at == std::string::npos || at == 0) return std::nullopt;
    std::string candidate = t;
    for (size_t i = at; i-- > 0;) {
        if (t[i] == ' ' || t[i] == '(') {
            candidate = t.substr(i + 1);
            break;
        }
    }
    const size_t end = candidate.find_first_of(") ");
    if (end != std::string::npos) candidate.resize(end);
    return candidate;
}

bool ReportRecipientAcceptable(std::string_view text) {
    if (Trim(text).empty()) return true;
    const auto candidate = ReportRecipientAddress(text);
    return candidate && ValidateEmailAddress(*candidate);
}

std::string ReportRecipientWarning() {
    return "Please enter correct e-mail address.\r\n\r\nExamples:\r\n"
           "postmaster@example.com\r\n"
           "Postmaster (postmaster@example.com)";
}

std::string Progress::UpdateStatus(int32_t step) {
    // 32-bit arithmetic as the bar counts; a sum past the range is held at
    // the scale like any other overshoot.
    const int64_t next = static_cast<int64_t>(value_) + step;
    value_ =
        next > scale_
            ? scale_
            : static_cast<int32_t>(std::max<int64_t>(next, std::numeric_limits<int32_t>::min()));
    return std::to_string(Percent()) + "%";
}

int Progress::Percent() const {
    if (scale_ <= 0) return 0;
    // Exact: value x 100 / scale, halves to the even neighbour.
    const int64_t num = static_cast<int64_t>(value_) * 100;
    int64_t q = num / scale_;
    int64_t r = num % scale_;
    if (r < 0) {
        r += scale_;
        --q;
    }
    if (2 * r > scale_ || (2 * r == scale_ && (q % 2 != 0))) ++q;
    return static_cast<int>(q);
}

}  // namespace setup
