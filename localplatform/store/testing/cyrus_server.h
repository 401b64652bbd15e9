// A private Cyrus IMAP server for tests: Debian's cyrus-imapd with its own
// imapd.conf, cyrus.conf, mailbox database, spool and SASL password database
// in a temporary folder, serving IMAP on a free loopback port. Users log in
// as "alias@domain" (virtual domains); one administrator may act for any user
// with SASL PLAIN and an authorization identity (proxy authorization).
// Folders sit beside the Inbox, as a user's client shows them
// (altnamespace), with "/" between levels; or, without the alternate
// namespace, below it ("INBOX.Junk": the personal namespace's prefix is
// "INBOX." and "." is between levels).
//
// Cyrus refuses to run as root: as root its services run as Debian's
// "cyrus" account. What the server holds is read back through IMAP.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "localplatform/store/testing/imap_client.h"

namespace localplatform::testing {

class CyrusServer {
public:
    struct User {
        std::string login;  // "alias@domain"
        std::string password;
    };
    struct Options {
        std::vector<User> users = {{"jdoe@example", "jdoe-secret"}, {"ann@example", "ann-secret"}};
        std::string admin = "cyradm@example";
        std::string adminPassword = "admin-secret";
        bool altNamespace = true;  // false: folders below the Inbox, "." between levels
    };

    // Makes every user's mailbox. Raises platform::Error (kFail) when Cyrus
    // cannot be started; its output is in the message.
    explicit CyrusServer(const Options& options);
    CyrusServer();
    ~CyrusServer();
    CyrusServer(const CyrusServer&) = delete;
    CyrusServer& operator=(const CyrusServer&) = delete;

    // True when cyrus-imapd and the SASL tools are installed (tests skip
    // otherwise).
    static bool Available();

    [[nodiscard]] int ImapPort() const { return port_; }
    [[nodiscard]] std::string ImapUrl() const {
        return "imap://127.0.0.1:" + std::to_string(port_);
    }
    [[nodiscard]] const std::string& Folder() const { return dir_; }
    [[nodiscard]] const Options& Settings() const { return options_; }
    // A file holding the administrator's password, private to its owner.
    [[nodiscard]] std::string AdminPasswordFile() const { return dir_ + "/admin-password"; }

    void Stop();
    void Start();

    // As the user's client would (the administrator acting for login).
    int64_t Append(const std::string& login, const std::string& folder, const std::string& rfc822,
                   int64_t received, const std::string& flags = "");
    void CreateFolder(const std::string& login, const std::string& folder);
    [[nodiscard]] std::vector<ImapMessage> Messages(const std::string& login,
                                                    const std::string& folder) const;

private:
    void WriteConfiguration();
    [[nodiscard]] ImapLogin ProxyLogin(const std::string& login) const;

    Options options_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace localplatform::testing
