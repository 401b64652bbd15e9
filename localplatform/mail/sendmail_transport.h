// Delivery through the system's sendmail program, as cron, logcheck and
// unattended-upgrades mail an administrator on a Debian host: whatever MTA
// the host runs (Postfix, Exim, msmtp-mta) takes the message from there.
#pragma once

#include <string>
#include <vector>

namespace localplatform {

struct SendmailSettings {
    std::string program = "/usr/sbin/sendmail";  // an absolute path
    long timeoutSeconds = 300;                   // for the program to take the message and end
};

// Runs "<program> -oi [-f <sender>] -- <recipients...>" (never through a
// shell), the message read from the file open at fd, from its current
// offset to its end, as its standard input; path names the message in
// errors. Returns when the program ended with status 0: it took the message
// for delivery. Raises platform::Error err::kCdoSendFailed naming the
// program, with its exit status and what it wrote (its first 2 KiB), when it
// cannot be started, fails, or has not ended within the bound (then it is
// killed); err::kCdoNoRecipients when recipients is empty; err::kInvalidArg
// for an address that could be taken for something else (a control
// character, a leading "-").
void SendWithSendmail(const SendmailSettings& settings, const std::string& sender,
                      const std::vector<std::string>& recipients, int fd, const std::string& path);

}  // namespace localplatform
