// Delivery of a finished message: dropped as a file into a pickup directory,
// or handed to an SMTP relay (libcurl, which stays inside mail_transport.cpp).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace localplatform {

struct SmtpSettings {
    std::string url;   // "smtp://host[:port]" or "smtps://host[:port]"
    std::string helo;  // the name announced in EHLO; empty: the library's default
    std::string user;  // authentication, when set
    std::string password;
    enum class StartTls { kNo, kTry, kRequired } startTls = StartTls::kNo;
    std::string caFile;  // certificates to trust; empty: the system's
    long connectTimeoutSeconds = 30;
    long timeoutSeconds = 300;  // the whole transaction, every wait for a reply included
};

// Hands text (a whole message, CRLF line ends) to the relay with the given
// envelope. An empty sender is the null reverse-path "<>". Returns when the
// relay accepted the message for delivery. Raises platform::Error
// err::kCdoSendFailed when the relay cannot be reached or refuses any step;
// the description carries the relay's last reply. err::kCdoNoRecipients when
// recipients is empty; err::kInvalidArg for a URL of another scheme or an
// address that cannot go into an SMTP command.
void SendSmtp(const SmtpSettings& settings, const std::string& sender,
              const std::vector<std::string>& recipients, const std::string& text);
// As SendSmtp, the message read as it goes out from the file open at fd,
// from its start to its end (path names it in errors): none of it is held
// in memory.
void SendSmtp(const SmtpSettings& settings, const std::string& sender,
              const std::vector<std::string>& recipients, int fd, const std::string& path);

// Writes text as a new file "<unique>.eml" (mode 0600) into dir, creating
// dir and its missing parents private (0700, whatever the umask). The file appears whole or not at
// all: it is written under a temporary name and renamed. Returns the file's path. Raises
// platform::Error err::kCdoSendFailed naming what failed.
std::string DropInPickup(const std::string& dir, const std::string& text);
// As DropInPickup, the message written by write(fd, path) into the new
// file as it is made (path names the file for write's errors).
std::string DropInPickup(const std::string& dir,
                         const std::function<void(int fd, const std::string& path)>& write);

}  // namespace localplatform
