// The registration item through which the setup program and the cleanup sink
// meet: a store event registration of the timer kind, "Quellix.reg" in the
// "StoreEvents/GlobalEvents" folder of the server's system mailbox. It names
// the sink class and the timer schedule, and carries the cleanup parameters as
// custom properties "Quellix" + suffix. The names, the layout, the encodings
// and the one writer live here, so that writer and readers agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/date.h"
#include "base/error.h"
#include "base/variant.h"

namespace registration {

// The product word: prefix of every custom property and of the item's name.
inline constexpr const char* kProductWord = "Quellix";
inline constexpr const char* kItemName = "Quellix.reg";
inline constexpr const char* kFolderPath = "StoreEvents/GlobalEvents";
inline constexpr const char* kSinkClass = "Quellix.QuellixCls";
inline constexpr const char* kEventMethodOnTimer = "onTimer";
inline constexpr int16_t kTimerIntervalDaily = 1440;  // minutes

// The item's URL in the mailbox at mailboxUrl.
inline std::string ItemUrlIn(const std::string& mailboxUrl) {
    return mailboxUrl + "/" + kFolderPath + "/" + kItemName;
}

// Intrinsic properties written on the item.
inline constexpr const char* kContentClassProperty = "DAV:contentclass";
inline constexpr const char* kContentClassStoreEventReg = "urn:content-class:storeeventreg";
inline constexpr const char* kIsHiddenProperty = "DAV:ishidden";

// The published property namespace of the store's events, and its properties.
inline constexpr const char* kEventsNamespace = "http://schemas.microsoft.com/exchange/events/";
inline constexpr const char* kEventMethod =
    "http://schemas.microsoft.com/exchange/events/EventMethod";
inline constexpr const char* kSinkClassProperty =
    "http://schemas.microsoft.com/exchange/events/SinkClass";
inline constexpr const char* kTimerStartTime =
    "http://schemas.microsoft.com/exchange/events/TimerStartTime";
inline constexpr const char* kTimerInterval =
    "http://schemas.microsoft.com/exchange/events/TimerInterval";
inline constexpr const char* kEnabled = "http://schemas.microsoft.com/exchange/events/Enabled";

// Suffixes of the custom properties; the name is the prefix followed by one.
inline constexpr const char* kSearchRoot = "_SearchRoot";
inline constexpr const char* kFolderName = "_FolderName";
inline constexpr const char* kMailboxToMove = "_MailboxToMove";
inline constexpr const char* kExpirationPeriod = "_ExpirationPeriod";
inline constexpr const char* kRun = "_Run";
inline constexpr const char* kTimeToRun = "_TimeToRun";
inline constexpr const char* kReportRecipient = "_ReportRecipient";
inline constexpr const char* kAffectAllMailboxes = "_AffectAllMailboxes";
inline constexpr const char* kIncludeSubfolders = "_IncludeSubfolders";

// "Quellix_FolderName" and the like.
inline std::string CustomProperty(const char* suffix, std::string_view prefix = kProductWord) {
    return std::string(prefix) + suffix;
}

// Everything one write of the item needs. Numbers are stored as 16-bit
// integers, the two switches as the texts "0" and "1".
struct OnTimerRegistration {
    std::string mailboxUrl;  // the system mailbox's URL, either scheme
    std::string folderPath = kFolderPath;
    std::string itemName = kItemName;
    std::string eventMethod = kEventMethodOnTimer;
    std::string sinkClass = kSinkClass;
    platform::Date timerStartTime;  // first firing instant, UTC
    int16_t timerInterval = kTimerIntervalDaily;
    std::string searchRoot;         // left out when empty
    std::string folderName;         // left out when empty
    int16_t expirationPeriod = 14;  // days
    std::string prefix = kProductWord;
    int16_t run = 0;  // 0 never, 1 every day, 2..8 Sunday..Saturday
    std::string timeToRun = "12:00 AM";
    std::string mailboxToMove;  // empty = delete
    std::string reportRecipient;
    std::string allMailboxes = "0";
    std::string includeSubfolders = "0";
};

// The first firing instant in UTC: the local date 14 days before nowLocal, at
// the time of day of timeToRun ("h:mm AM" / "h:mm PM", hour 1..12), plus the
// active time-zone bias in minutes (UTC = local + bias). Nothing when
// timeToRun is not of that form.
std::optional<platform::Date> ComputeTimerStartTime(platform::Date nowLocal,
                                                    std::string_view timeToRun, double biasMinutes);

// Writes the item anew (create-or-overwrite, in one store transaction, so an
// item never holds properties of an earlier write and a failed write leaves
// no partial item). Returns the folder URL (mailbox URL + "/" + folder path)
// on success, empty on failure with *failure (when given) set to the error.
std::string CreateOnTimerEventRegistration(const OnTimerRegistration& item,
                                           platform::Error* failure = nullptr);

// A registration item as it stood before it was replaced: its URL and every
// property a write can give back (the content class, the hidden flag and
// every property outside the store's own "DAV:" names), so that a failed
// replacement can put the old item back as it was.
struct SavedRegistration {
    std::string itemUrl;
    std::vector<std::pair<std::string, platform::Variant>> properties;
};

// Reads the item at itemUrl. Nothing, with *failure (when given) set, when
// there is no item there or it cannot be read.
std::optional<SavedRegistration> SaveRegistration(const std::string& itemUrl,
                                                  platform::Error* failure = nullptr);

// Writes saved back at its URL (create-or-overwrite, one store transaction).
// False, with *failure (when given) set, when it cannot be written.
bool RestoreRegistration(const SavedRegistration& saved, platform::Error* failure = nullptr);

}  // namespace registration
