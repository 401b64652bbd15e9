// The setup program's text rules that need no window, no store and no
// directory: the folder name as the apply command normalises it, the names
// of a system mailbox entry, the e-mail address of a mailbox entry, the
// schedule values, the mailbox label of the recipient browser, the check of
// the report recipient's address, and the progress bar's percentage.
// Positions in comments are 1-based, as the rules are stated; "trim" removes
// blanks only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/date.h"

namespace setup {

// txtSpamFolder as the apply command writes it back: blanks trimmed, "\" to
// "/", every apostrophe and double quote removed, one leading and one
// trailing "/" removed, then every ":" removed. " \Inbox\Spam\ " gives
// "Inbox/Spam"; "/" alone gives "" (which the command refuses).
std::string NormalizeFolderName(std::string_view text);

// The names a system mailbox entry (" /  / mail / mailNickName") is split
// into: the part after the last " / " (trimmed) is the nickname; the part
// between the second-last and the last " / " (trimmed) is the address; the
// alias is the address up to its last "@" when that "@" is at position 2 or
// later, otherwise the whole address.
struct SystemMailboxNames {
    std::string nickname;
    std::string address;
    std::string alias;
};
SystemMailboxNames SplitSystemMailboxEntry(std::string_view entry);

// How a mailbox a run selected is named to the administrator: by its
// address, or, when it has none, by its name and "(no address)"; with its
// control characters made visible.
std::string RunMailboxName(const std::string& address, const std::string& name);

// The e-mail address of a mailbox entry ("cn / SERVER / mail / alias"): the
// third component, trimmed, by the same two searches as above.
std::string EntryEmailAddress(std::string_view entry);

// True when an address may be marked or unmarked: its last "@" stands at
// position 2 or later. Other entries are passed over silently.
bool IsMarkableAddress(std::string_view address);

// The run choices of ComboRun, by index: 0 "Never run", 1 "Every day",
// 2..8 "Sunday".."Saturday".
inline constexpr int16_t kRunChoiceCount = 9;
const char* RunChoiceText(int16_t index);
// The index of a run choice named as in the list (any letter case), or
// nothing.
std::optional<int16_t> RunChoiceIndex(std::string_view text);

// Quellix_TimeToRun from the three picked list texts: hour, ":", minute, a
// blank, "AM" or "PM" ("7:05 PM").
std::string TimeToRunText(std::string_view hour, std::string_view minute, std::string_view amPm);

// The first firing instant in UTC: the local date 14 days before nowLocal at
// the time of day of timeToRun, plus the time-zone bias in minutes (UTC =
// local + bias). Nothing when timeToRun is not "h:mm AM" / "h:mm PM".
std::optional<platform::Date> FirstFiringInstant(platform::Date nowLocal,
                                                 std::string_view timeToRun, double biasMinutes);

// GetMbxMameAndEmail: the mailbox label ("cn (mail)") of a mailbox entry;
// an entry without " / " is returned unchanged.
std::string GetMbxMameAndEmail(std::string_view entry);

// ValidateEmailAddress: not blank, none of the characters
// !#$%^&*()=+{}[]|\;:'/?>,< and the blank, an "@" after the first character,
// no second "@" and at least one "." after it.
bool ValidateEmailAddress(std::string_view address);

// The address part that the report recipient's lost-focus check cuts out of
// the field's text: after the last blank or "(" before the first "@", up to
// the next ")" or blank. Nothing when the trimmed text has no "@" after its
// first character.
std::optional<std::string> ReportRecipientAddress(std::string_view text);

// The lost-focus check of txtReportRecipient: true when the text is blank or
// its address part passes ValidateEmailAddress.
bool ReportRecipientAcceptable(std::string_view text);

// The message shown when the check refuses the text.
std::string ReportRecipientWarning();

// The progress bar of a list fill: value advances by step up to scale; the
// percentage is value / scale x 100 rounded to the nearest integer, halves
// to the even neighbour (1 of 8 shows 12%, 3 of 8 shows 38%).
class Progress {
public:
    explicit Progress(int32_t scale = 0) : scale_(scale) {}
    // UpdateStatus: advances and returns the text to show ("25%").
    std::string UpdateStatus(int32_t step = 1);
    [[nodiscard]] int32_t Value() const { return value_; }
    [[nodiscard]] int32_t Scale() const { return scale_; }
    [[nodiscard]] int Percent() const;

private:
    int32_t scale_;
    int32_t value_ = 0;
};

}  // namespace setup
