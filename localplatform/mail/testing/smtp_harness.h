// A real SMTP server on loopback for tests: aiosmtpd with the project's
// folder sink (smtp_sink.py), started on a free port of 127.0.0.1 when the
// harness is made and stopped when it goes away. Received messages are read
// back with their envelope.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace localplatform::mailtest {

struct ReceivedMail {
    std::string mailFrom;             // envelope sender without brackets; "<>" for the null sender
    std::vector<std::string> rcptTo;  // envelope recipients
    std::string data;                 // the message as received (CRLF)
};

struct SmtpSinkOptions {
    std::string rejectRecipientsContaining;  // refuse such RCPT TO with 550
    std::string tlsCert, tlsKey;             // offer STARTTLS with these PEM files
    bool implicitTls = false;                // with them, speak TLS from the start (smtps://)
    bool silentAfterData = false;            // never reply to the message: the connection hangs
};

class SmtpSink {
public:
    // Starts the server under workDir (which must exist); raises
    // std::runtime_error, with the server's output, when it does not come up.
    explicit SmtpSink(const std::string& workDir, const SmtpSinkOptions& options = {});
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    [[nodiscard]] int Port() const { return port_; }
    // "smtp://127.0.0.1:<port>", or "smtps://..." with implicit TLS
    [[nodiscard]] std::string Url() const;
    // The messages received so far, oldest first.
    [[nodiscard]] std::vector<ReceivedMail> Messages() const;

    // A port of 127.0.0.1 that nothing listens on at the moment of asking.
    static int FreePort();

private:
    bool Start(const SmtpSinkOptions& options, std::string& why);
    void Stop();

    std::string workDir_;
    std::string inbox_;
    int port_ = 0;
    bool implicitTls_ = false;
    pid_t pid_ = -1;
};

}  // namespace localplatform::mailtest
