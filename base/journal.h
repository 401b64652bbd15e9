// Lines a program writes to standard error, as the journal files them:
// under systemd, standard error is a stream into journald, which takes a
// leading "<N>" as the line's syslog priority, so that
// "journalctl -p err -u quellix-eventd" shows the failures alone.
#pragma once

#include <string>

namespace platform {

enum class LogPriority { kErr = 3, kWarning = 4, kInfo = 6 };

// "<N>" for priority when standard error is the journal's stream (systemd
// names it in JOURNAL_STREAM, "<device>:<inode>" of the stream it gave the
// service), else empty: a terminal, a file or a pipe gets the line as it is.
[[nodiscard]] std::string JournalPrefix(LogPriority priority);

}  // namespace platform
