// Putting back what a move run moved: every message of the run still in the
// destination Inbox goes back to the folder it came from, one message at a
// time, each atomically; the others are left alone and said why.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/date.h"

namespace setup {

// One message of the run and what became of it.
struct UndoLine {
    enum class Result {
        PutBack,
        AlreadyPutBack,
        Gone,              // no longer in the destination Inbox
        MovedLater,        // a later run moved it again
        SourceFolderGone,  // its folder no longer exists
        Failed,            // the store failed (failure says how)
    };
    std::string sourceUrl;       // where it came from: folder URL "/" name
    std::string destinationUrl;  // where the run put it
    int64_t size = 0;
    std::optional<platform::Date> received;  // UTC
    Result result = Result::PutBack;
    std::string putBackUrl;  // where it is now, when put back under another name
    int64_t laterRun = 0;    // for MovedLater
    std::string failure;     // for Failed: "number description"
};

// What is known of a run: whether it moved or deleted its messages.
enum class RunKind {
    Unknown,  // neither the store nor the history knows it
    Move,
    Delete,  // deleted messages cannot be put back
};

// The totals of an undo.
struct UndoReport {
    int64_t run = 0;
    bool runKnown = false;            // the run moved something
    RunKind kind = RunKind::Unknown;  // when it moved nothing: what it was
    size_t messages = 0;              // of the run (of the mailbox, when one is given)
    std::array<size_t, 6> counts{};   // by UndoLine::Result
    // What was put back is recorded in the run history: true when it was,
    // false when the history has no such run (or none was put back).
    bool recorded = false;
    std::string recordFailure;  // the history could not be written: why
    [[nodiscard]] size_t Count(UndoLine::Result result) const {
        return counts[static_cast<size_t>(result)];
    }
};

// Whether a run moved or deleted, as the store (which gave it its identity)
// or else the history (by its parameters) tells. Raises platform::Error
// when neither can be read.
RunKind KindOfRun(int64_t run);

// The text that says what became of a message ("already put back", "no
// longer in the destination Inbox: moved or deleted since", ...).
std::string UndoResultText(const UndoLine& line);

// Puts back the messages that run moved, only those that came from the
// mailbox with the given alias (compared without regard to case) when one
// is given, and tells each line as it is done (a large run is read a part at
// a time, never held whole). A message the store fails on is reported as
// Failed and the others still go back. What was put back is added to the
// run's record in the history. For a run that moved nothing, says what it
// was (kind). Raises platform::Error when the run's moves cannot be read at
// all.
UndoReport UndoMoveRun(int64_t run, const std::optional<std::string>& mailboxAlias,
                       const std::function<void(const UndoLine&)>& done);

}  // namespace setup
