// One logged-in conversation with an IMAP server, on libetpan: connect
// (imap:// or imaps://, STARTTLS), verify the server's certificate and name,
// log in (a user's own password, a Dovecot master user, or an administrator
// acting for the user through SASL PLAIN's authorization identity), list the
// folders, read a folder's messages, and remove, move or append messages by
// UID only. A server without UIDPLUS is refused at login: without it a
// removal could not be limited to the chosen messages.
//
// Folders are named as paths from the top of the user's own namespace: the
// server's personal namespace (NAMESPACE) gives the prefix its names carry
// ("INBOX." where folders sit below the Inbox, as on a Cyrus without its
// alternate namespace) and the delimiter between levels.
//
// Every failure raises platform::Error whose description names the server,
// the login, the folder where there is one, and the server's own answer made
// harmless for a log line. Every wait on the network is bounded: looking up
// the host name and connecting together by ImapServer::connectTimeoutMs,
// every reply (and the TLS handshake) by replyTimeoutMs, rounded up to whole
// seconds; the error says which bound was hit. A session is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace localplatform::imap {

// What a session raises when the server did not answer within a bound (its
// name not resolved or no connection within the connect bound, no reply
// within the reply bound): a caller need not wait on it again soon.
class ServerSilent : public platform::Error {
public:
    using platform::Error::Error;
};

// Where a server is and how to reach it.
struct ImapServer {
    std::string host;
    int port = 143;
    bool implicitTls = false;      // imaps://: TLS from the first byte
    bool startTls = false;         // imap:// upgraded with STARTTLS before login
    std::string caFile;            // certificates trusted for the server; empty: the system's
    int connectTimeoutMs = 10000;  // the host name's lookup and the TCP connection together
    int replyTimeoutMs = 60000;
    std::string settingsKey;  // "mailstore.<namespace>", to name a bound's setting; may be empty

    // "imap://host:port" or "imaps://host:port", for messages.
    [[nodiscard]] std::string Url() const;
};

enum class LoginMode {
    kPlain,   // SASL PLAIN as user with user's own password
    kMaster,  // LOGIN "user*admin" with admin's password (Dovecot master user)
    kProxy,   // SASL PLAIN: authenticate as admin, act as user (authzid)
};

struct ImapLogin {
    LoginMode mode = LoginMode::kPlain;
    std::string user;      // whose mailbox the session sees
    std::string admin;     // who authenticates in kMaster and kProxy
    std::string password;  // of user (kPlain) or admin; never shown anywhere
};

// A folder as the server lists it.
struct ImapFolder {
    std::vector<std::string> path;  // the names from the top, UTF-8 ("INBOX" for the inbox)
    bool selectable = true;         // false for a \Noselect or \NonExistent level
};

// One message of a selected folder.
struct ImapMessage {
    uint32_t uid = 0;
    int64_t internalDate = 0;        // when the server received it: Unix seconds, UTC
    int64_t size = 0;                // RFC822.SIZE in bytes
    std::vector<std::string> flags;  // "\\Seen", "\\Deleted", keywords; never "\\Recent"
};

class ImapSession {
public:
    // Connects, secures the connection when asked, logs in and checks the
    // server's capabilities. Raises platform::Error when any step fails,
    // when the certificate is not trusted or names another host, and when the
    // server lacks UIDPLUS.
    ImapSession(const ImapServer& server, const ImapLogin& login);
    // Says LOGOUT and closes, without waiting for the server's goodbye.
    ~ImapSession();
    ImapSession(const ImapSession&) = delete;
    ImapSession& operator=(const ImapSession&) = delete;

    // The hierarchy delimiter of the user's own folders ('\0' for a flat
    // server).
    [[nodiscard]] char Delimiter() const;
    // Whether the server moves messages itself (MOVE); otherwise Move copies
    // and removes.
    [[nodiscard]] bool HasMove() const;
    // "imap://host:port user", for messages of callers.
    [[nodiscard]] const std::string& Describe() const;
    // False once the connection was lost or timed out: every call raises
    // then, and the caller opens a new session.
    [[nodiscard]] bool Usable() const;

    // Every folder of the user's own namespace, in the server's order; other
    // users' and shared folders are left out.
    [[nodiscard]] std::vector<ImapFolder> ListFolders();

    // Opens folder (read-only unless forWriting) and returns its
    // UIDVALIDITY. err::kTableNotFound when there is no such folder.
    uint32_t Select(const std::vector<std::string>& folder, bool forWriting);
    // The UIDNEXT the last Select reported: the lowest UID a message stored
    // in the folder from then on can get; 1 when the server sent none.
    [[nodiscard]] uint32_t UidNext() const;
    // The messages of the selected folder.
    [[nodiscard]] std::vector<ImapMessage> FetchMessages();
    // Opens folder read-only and lists its messages (EXAMINE and UID FETCH
    // sent together: one wait instead of two). err::kTableNotFound when
    // there is no such folder.
    struct Listing {
        uint32_t validity = 0;
        std::vector<ImapMessage> messages;
    };
    [[nodiscard]] Listing ListMessages(const std::vector<std::string>& folder);
    // Message uid of the selected folder; nothing when it is not there.
    [[nodiscard]] std::optional<ImapMessage> FetchMessage(uint32_t uid);
    // The messages of the selected folder whose UID is first or above.
    [[nodiscard]] std::vector<ImapMessage> FetchMessagesFrom(uint32_t first);
    // The whole message uid of the selected folder, as stored (CRLF);
    // err::kNotFound when it is gone.
    [[nodiscard]] std::string FetchContent(uint32_t uid);
    // The same, piece by piece (BODY.PEEK[]<offset.piece>), each piece
    // handed to take as it arrives: a message never whole in memory.
    void FetchContentInto(uint32_t uid, size_t piece,
                          const std::function<void(const char*, size_t)>& take);
    // Removes exactly the messages uids of the folder selected for writing:
    // marks them \Deleted and expunges those UIDs alone (UID EXPUNGE), so a
    // message the user marked \Deleted stays. UIDs already gone are no
    // error: returns how many of uids the folder no longer had.
    size_t Delete(const std::vector<uint32_t>& uids);
    // Moves messages uids of the folder selected for writing into target
    // (UID MOVE, or UID COPY then Delete without MOVE). Returns target's
    // UIDVALIDITY and the copies' UIDs there by source UID (COPYUID); a UID
    // the server did not move is absent.
    // What the server says it moved: each UID moved and its UID in target
    // (COPYUID), and how many it expunged moving them that no COPYUID named
    // (a server breaking UIDPLUS: those moved, but where to is not known).
    struct Moved {
        uint32_t validity = 0;
        std::map<uint32_t, uint32_t> uids;
        size_t unnamed = 0;
    };
    Moved Move(const std::vector<uint32_t>& uids, const std::vector<std::string>& target);
    // Appends content to folder with its received time and flags and returns
    // the folder's UIDVALIDITY and the new message's UID (APPENDUID).
    struct Appended {
        uint32_t validity = 0;
        uint32_t uid = 0;
    };
    Appended Append(const std::vector<std::string>& folder, std::string_view content,
                    int64_t internalDate, const std::vector<std::string>& flags);

    struct Impl;

private:
    // One UID FETCH of the message's body (a part of it: offset, size),
    // handed to take; err::kNotFound when the message is not there.
    void FetchBody(uint32_t uid, std::optional<std::pair<uint32_t, uint32_t>> partial,
                   const std::function<void(const char*, size_t)>& take);

    std::unique_ptr<Impl> impl_;
};

}  // namespace localplatform::imap
