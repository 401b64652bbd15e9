#include "setup/core/undo_move.h"

#include "base/error.h"
#include "base/strfuncs.h"
#include "platform/move_manifest.h"

namespace setup {

size_t UndoReport::Count(UndoLine::Result result) const {
    size_t n = 0;
    for (const auto& line : lines) n += line.result == result ? 1 : 0;
    return n;
}

std::string UndoResultText(const UndoLine& line) {
    switch (line.result) {
        case UndoLine::Result::PutBack:
            return "put back";
        case UndoLine::Result::AlreadyPutBack:
            return "already put back";
        case UndoLine::Result::Gone:
            return "no longer in the destination Inbox: moved or deleted since";
        case UndoLine::Result::MovedLater:
            return "moved again by a later run (" + std::to_string(line.laterRun) + ") since";
        case UndoLine::Result::SourceFolderGone:
            return "source folder gone";
        case UndoLine::Result::Failed:
            return "failed: " + line.failure;
    }
    return {};
}

UndoReport UndoMoveRun(int64_t run, const std::optional<std::string>& mailboxAlias) {
    using Outcome = platform::PutBackResult::Outcome;
    UndoReport report;
    report.run = run;
    const auto moved = platform::MovedMessagesOfRun(run);
    report.runKnown = !moved.empty();
    for (const auto& m : moved) {
        if (mailboxAlias && !platform::EqualsNoCase(m.mailboxAlias, *mailboxAlias)) continue;
        UndoLine line;
        line.sourceUrl = m.sourceUrl;
        line.destinationUrl = m.destinationUrl;
        line.size = m.size;
        line.received = m.received;
        line.laterRun = m.laterRun;
        try {
            const auto r = platform::PutBackMovedMessage(m);
            switch (r.outcome) {
                case Outcome::kPutBack:
                    line.result = UndoLine::Result::PutBack;
                    if (r.url != line.sourceUrl) line.putBackUrl = r.url;
                    break;
                case Outcome::kAlreadyPutBack:
                    line.result = UndoLine::Result::AlreadyPutBack;
                    break;
                case Outcome::kGone:
                    line.result = UndoLine::Result::Gone;
                    break;
                case Outcome::kMovedLater:
                    line.result = UndoLine::Result::MovedLater;
                    break;
                case Outcome::kSourceFolderGone:
                    line.result = UndoLine::Result::SourceFolderGone;
                    break;
            }
        } catch (const platform::Error& e) {
            line.result = UndoLine::Result::Failed;
            line.failure = std::to_string(e.Number()) + " " + e.Description();
        } catch (const std::exception& e) {
            line.result = UndoLine::Result::Failed;
            line.failure = e.what();
        }
        report.lines.push_back(std::move(line));
    }
    return report;
}

}  // namespace setup
