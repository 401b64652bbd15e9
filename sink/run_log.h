// The run log and the report message. WriteLog appends entries to
// "Quellix.LOG" in the temporary directory (GetTempDirectory), creating it
// afresh with the first entry of a run; SendReport closes the log and mails
// it to the report recipient.
//
// Runs that overlap (several threads or processes) are serialised on a lock
// file beside the log, taken by the first WriteLog of a run and released at
// the end of SendReport (or by ReleaseRunLock when a run ends early), so that
// no run interleaves its lines with another's or mails a mixed log.
#pragma once

#include <string>

namespace quellix {

inline constexpr const char* kLogFileName = "Quellix.LOG";
inline constexpr const char* kLockFileName = "Quellix.LOG.lock";

// Appends text + CR LF; the first call of a run (LogFileNumber 0) waits for
// any other run to finish, then truncates or creates the log. Raises
// platform::Error when the log cannot be opened or written, or when the
// temporary directory is not the running account's private one.
void WriteLog(const std::string& text);

// Closes this thread's log (harmless when it is closed); LogFileNumber keeps
// its value.
void CloseLog() noexcept;

// Closes the log and sends it as the attachment "Quellix.LOG" of the report
// message: From "Quellix <>", To the address in ReportRecipient, Subject
// "Quellix Report " + now, empty body. Nothing is sent without a recipient or
// a log file. Raises platform::Error when the message is not accepted. The run
// lock is released in every case.
void SendReport();

// Releases the run lock if this thread holds it.
void ReleaseRunLock() noexcept;

// The address in a recipient text: the bare address, or the address of
// "Display Name (user@example.org)"; a text without "@" unchanged.
std::string ExtractReportAddress(const std::string& recipient);

}  // namespace quellix
