// A private Dovecot for tests and benchmarks: Debian's dovecot with its own
// configuration in a temporary folder, serving IMAP on a free loopback port,
// with a passdb of test users and a master user; or a proxy in front of such
// servers, routing each login by the directory (a cluster). Mail is kept in Maildirs
// below the folder (Maildir++ or LAYOUT=fs). The constructor returns once
// the server answers; the destructor stops it and removes the folder.
//
// Mail goes in the ways real mail does: IMAP APPEND (with an INTERNALDATE in
// the past and flags) or Dovecot's LDA. What the server holds is read back
// through Dovecot itself (doveadm), never from the files.
//
// As root the mail belongs to "nobody" and Dovecot runs its services as its
// package's users; as an ordinary user everything runs as that user.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "localplatform/store/testing/imap_client.h"

namespace localplatform::testing {

class DovecotServer {
public:
    struct User {
        std::string login;  // "alias@namespace": Dovecot's %n and %d
        std::string password;
    };
    struct Options {
        bool fsLayout = false;  // LAYOUT=fs instead of Maildir++
        std::vector<User> users = {{"jdoe@example", "jdoe-secret"}, {"ann@example", "ann-secret"}};
        std::string masterUser = "quellix-admin";
        std::string masterPassword = "master-secret";
        // As root, the account the mail belongs to (a service account that
        // runs Quellix as the mail account); "nobody" when empty.
        std::string mailAccount;
        // Where it listens: a loopback address and a port (0: a free one).
        // The backends of a cluster share a port, each on an address of
        // its own, as the servers of a real one do.
        std::string address = "127.0.0.1";
        int port = 0;
        // A proxy in front of backends, holding no mail: a login (a user's
        // through the master user, as Quellix logs in) is passed on to the
        // backend that the user's directory entry names by its host
        // attribute, on backendPort, as that user through the backends'
        // master user (the same name and password as this server's).
        struct Proxy {
            std::string ldapUri;
            std::string bindDn;
            std::string bindPassword;
            std::string base;
            int backendPort = 0;
        };
        std::optional<Proxy> proxy;
    };

    // What Dovecot says of one message.
    using Message = ImapMessage;

    // Raises platform::Error (kServerUnavailable) when dovecot cannot be
    // started; its log is in the message.
    explicit DovecotServer(const Options& options);
    DovecotServer();
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // True when Dovecot's server, doveadm and LDA are installed and Python
    // (the APPEND client) is there; tests skip otherwise.
    static bool Available();

    [[nodiscard]] int ImapPort() const { return port_; }
    [[nodiscard]] std::string ImapUrl() const {
        return "imap://" + options_.address + ":" + std::to_string(port_);
    }
    [[nodiscard]] const std::string& Folder() const { return dir_; }
    [[nodiscard]] const Options& Settings() const { return options_; }
    // Dovecot's mail_location for every user, e.g.
    // "maildir:/tmp/quellix-dovecot-x/mail/%d/%n/Maildir:LAYOUT=fs".
    [[nodiscard]] std::string MailLocation() const;
    // The Maildir of a user, as MailLocation expands for it.
    [[nodiscard]] std::string MaildirOf(const std::string& login) const;

    // Stops the server (a test of a server that went away) and starts it
    // again on the same port with the same mail.
    void Stop();
    void Start();
    [[nodiscard]] bool Running() const { return pid_ > 0; }

    // IMAP APPEND of rfc822 to folder (names from the mailbox root joined by
    // "/", UTF-8; "" or "INBOX" is the Inbox) as login, through the master
    // user, with INTERNALDATE received (Unix seconds) and flags (e.g.
    // "\\Seen \\Deleted"); the folder is created first when missing.
    // Returns the UID the server gave.
    int64_t Append(const std::string& login, const std::string& folder, const std::string& rfc822,
                   int64_t received, const std::string& flags = "");
    // The same for many messages at once, in one session.
    std::vector<int64_t> Append(const std::string& login, const std::string& folder,
                                const std::vector<ImapAppended>& messages);
    // Delivery through Dovecot's LDA, as a mail server would deliver now.
    void Deliver(const std::string& login, const std::string& folder, const std::string& rfc822);
    void CreateFolder(const std::string& login, const std::string& folder);
    // The messages of folder in UID order, and the folders of the mailbox
    // ("/"-joined names), as Dovecot sees them.
    [[nodiscard]] std::vector<Message> Messages(const std::string& login,
                                                const std::string& folder) const;
    [[nodiscard]] std::vector<std::string> Folders(const std::string& login) const;

    // Platform configuration lines that map namespace ns to this server's
    // Maildirs.
    [[nodiscard]] std::string MaildirConfigLines(const std::string& ns) const;

private:
    void WriteConfiguration();
    // The passdb of the users: the list of test users, or a proxy's LDAP.
    [[nodiscard]] std::string UserPassdb() const;
    [[nodiscard]] ImapLogin MasterLogin(const std::string& login) const;
    [[nodiscard]] std::string Doveadm(const std::vector<std::string>& args) const;

    Options options_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
};

}  // namespace localplatform::testing
