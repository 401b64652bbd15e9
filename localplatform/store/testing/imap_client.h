// The test mail servers' IMAP client (imap_client.py beside this file): what
// a user's client does to a folder, run as a child process. The password is
// read from a file by the client, never passed on its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace localplatform::testing {

struct ImapLogin {
    int port = 0;
    std::string user;          // the login (e.g. "jdoe@example*master" for a master user)
    std::string passwordFile;  // private to its owner
    std::string authzid;       // non-empty: PLAIN acting as this user
    std::string address = "127.0.0.1";
};

// A message as an IMAP server lists it.
struct ImapMessage {
    int64_t uid = 0;
    int64_t received = 0;  // INTERNALDATE, Unix seconds
    int64_t size = 0;      // RFC822.SIZE
    std::string flags;     // as the server lists them, \Recent left out
    std::string messageId;
};

// Python and the client script are there (tests skip otherwise).
bool ImapClientAvailable();
// folder: UTF-8 names joined by "/"; "" is the Inbox. Each raises
// platform::Error naming the folder and what the client said.
void ImapCreate(const ImapLogin& login, const std::string& folder);
int64_t ImapAppend(const ImapLogin& login, const std::string& folder, const std::string& rfc822,
                   int64_t received, const std::string& flags);
// A message to append: its bytes, INTERNALDATE (Unix seconds) and flags.
struct ImapAppended {
    std::string rfc822;
    int64_t received = 0;
    std::string flags;
};
// Appends them in order in one session; their UIDs, in the same order.
std::vector<int64_t> ImapAppend(const ImapLogin& login, const std::string& folder,
                                const std::vector<ImapAppended>& messages);
std::vector<ImapMessage> ImapFetch(const ImapLogin& login, const std::string& folder);
// One tab-separated line of the client's fetch output.
ImapMessage ParseFetchLine(const std::string& line, const std::string& folder);

}  // namespace localplatform::testing
