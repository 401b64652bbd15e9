// The run log and the report message. WriteLog appends entries to
// "Quellix.LOG" in the temporary directory (GetTempDirectory), creating it
// afresh with the first entry of a run; SendReport closes the log and mails
// it to the report recipient.
//
// Runs of the registration are serialised by its lock in the store
// (platform/run_lock.h), taken by OnTimer before the log is opened, so that
// no run interleaves its lines with another's or mails a mixed log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"

namespace quellix {

inline constexpr const char* kLogFileName = "Quellix.LOG";

// The log of one run: the open file. A new RunLog is not open
// (LogFileNumber 0); going away closes the file.
class RunLog {
public:
    RunLog() = default;
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // The number of the open log; 0 until the first entry of the run.
    [[nodiscard]] int16_t LogFileNumber() const { return number_; }
    // The error that stopped the log (it cannot be opened or written), if
    // any; every later entry raises it again.
    [[nodiscard]] const std::optional<platform::Error>& Failure() const { return failure_; }

private:
    // Writes bytes, whole entries each ending in CR LF, opening the log with
    // the first entry; a failure stops the log. Raises as WriteLog.
    static void WriteEntries(RunLog& log, const std::string& bytes);
    friend void WriteLog(RunLog& log, const std::string& text);

    // An entry that tells of messages removed from folder (as the log shows its
    // URL): written as WriteLog does, or kept as a claim while the log is held.
    void WriteClaim(RunLog& log, const std::string& text, const std::string& folder);

    // From now on, until WriteHeldLog, entries are kept in order instead of
    // written: what a run tells of its store writes waits for their commit.
    void HoldLog(RunLog& log);

    // Writes the kept entries in order and stops holding. With lost (the
    // store's commit failed), each claim is written as an error entry saying
    // that what it told of was not committed, naming its folder. Raises as
    // WriteLog.
    void WriteHeldLog(RunLog& log, const std::optional<platform::Error>& lost);
    // Writes the entries from holds (which stops holding) into to, as
    // WriteHeldLog writes its own: a worker's log of one mailbox goes into
    // the run's, which is not held. Raises as WriteLog.
    void PassHeldLog(RunLog& from, RunLog& to, const std::optional<platform::Error>& lost);
    friend void WriteClaim(RunLog& log, const std::string& text, const std::string& folder);
    friend void HoldLog(RunLog& log);
    friend void WriteHeldLog(RunLog& log, const std::optional<platform::Error>& lost);
    friend void PassHeldLog(RunLog& from, RunLog& to, const std::optional<platform::Error>& lost);
    friend void CloseLog(RunLog& log) noexcept;
    friend void SendReport(RunLog& log, const std::string& reportRecipient);

    // An entry kept while the log is held; folder is set for a claim.
    struct Held {
        std::string text;
        std::string folder;
    };
    bool holding_ = false;
    std::vector<Held> held_;
    std::optional<platform::Error> failure_;
    std::string path_;  // the log's path once it is open
    int16_t number_ = 0;
    int file_ = -1;  // the log's descriptor while it is open
};

// Appends text + CR LF to log; the first call (LogFileNumber 0) truncates or
// creates the log. Raises
// platform::Error when the log cannot be opened or written, when it was
// closed already, or when the temporary directory is not the running
// account's private one.
void WriteLog(RunLog& log, const std::string& text);

// Closes the log's file (harmless when it is closed); LogFileNumber keeps its
// value.
void CloseLog(RunLog& log) noexcept;

// Closes the log and sends it as the attachment "Quellix.LOG" of the report
// message: From "Quellix <>", To the address in reportRecipient, Subject
// "Quellix Report " + now, empty body. Nothing is sent without a recipient or
// a log file. Raises platform::Error when the message is not accepted, after
// adding the error entry to the log when it can.
void SendReport(RunLog& log, const std::string& reportRecipient);

// Adds text + CR LF at the end of the log file as it is, without starting it
// afresh: for a run that does not take place while another run of the
// registration may be writing it. Raises platform::Error as WriteLog does.
void AppendToLog(const std::string& text);

// The address in a recipient text: the bare address, or the address of
// "Display Name (user@example.org)"; a text without "@" unchanged.
std::string ExtractReportAddress(const std::string& recipient);

}  // namespace quellix
