// The parameters of a cleanup run, as the registration item carries them,
// and the rules that turn them into a run: whether a day is a run day and
// which messages have expired.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/date.h"
#include "base/error_state.h"
#include "platform/ado.h"

namespace quellix {

struct RunParameters {
    std::string searchRoot;
    std::string folderName;
    std::string mailboxToMove;  // empty: expired messages are deleted
    // "_MailboxToMove" is there but cannot be read (a value of a type that
    // is no text, or one the store cannot convert): no run may take it for
    // "delete".
    std::optional<platform::Error> mailboxToMoveUnreadable;
    std::string ageLimit;       // days, as text
    int16_t run = -1;           // 0: never; 1: every day; 2..8: Sunday..Saturday
    int16_t allMailboxes = -1;  // 1: every mailbox of this server; else the marked ones
    std::optional<std::string> reportRecipient;  // absent when it could not be read
    std::string traversal = "shallow";           // "deep" with the folders below

    // True when the parameters name a run at all.
    [[nodiscard]] bool Runnable() const {
        return !searchRoot.empty() && !folderName.empty() && !ageLimit.empty() && run >= 0 &&
               run <= 8;
    }
};

// The parameters as "name=value" lines, by the item's property suffixes
// ("_FolderName=Spam"), for a record of the run.
std::string ParametersText(const RunParameters& parameters);

// Reads the parameters from the open registration item rec, each value
// trimmed. A read that fails (absent, Null, not convertible) keeps the
// parameter's default and is recorded in err; the next one is read. A
// destination that is present but cannot be read as text is also kept in
// mailboxToMoveUnreadable.
RunParameters ReadRunParameters(platform::Record& rec, platform::ErrorState& err);

// Why no run takes place when the destination cannot be read (the
// parameters' mailboxToMoveUnreadable): neither a move nor a delete.
std::string UnreadableDestinationText(const platform::Error& unreadable);

// Opens the registration item at itemUrl and reads its parameters as above
// (a value that cannot be read keeps its default). Raises platform::Error
// when the item cannot be opened: for those who read the parameters
// without running (a preview), where a run logs and goes on.
RunParameters ReadRunParametersOf(const std::string& itemUrl);

// True when a run of the given "_Run" value is due on the local date of now.
bool IsRunDay(int16_t run, platform::Date now);

// The cutoff of a run at now (local time): now minus ageLimit days, moved to
// UTC by the active time-zone bias. An age that is no number, negative, or
// reaching before the zero date gives the zero date (nothing expires); a
// bias that cannot be read or lies beyond a day keeps the cutoff local. Each
// such failure is recorded in err.
platform::Date RunCutoff(platform::Date now, const std::string& ageLimit,
                         platform::ErrorState& err);

}  // namespace quellix
