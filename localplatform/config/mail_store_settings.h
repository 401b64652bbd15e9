// What the platform configuration says of a namespace mapped to a mail
// store ("mailstore.<namespace>" and its sub-keys; see platform_config.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace localplatform {

struct MailStoreSettings {
    std::string ns;        // the namespace, as the key spells it
    std::string location;  // "maildir:<template>[:LAYOUT=fs]", "imap://..." or "imaps://..."
    // The IMAP backend's keys (unused by Maildir).
    std::string login = "%n";    // login name template: %n alias, %d namespace, %% a "%"
    std::string auth = "plain";  // plain | master | proxy
    std::string admin;           // the authenticating administrator (master, proxy)
    std::string passwordFile;    // checked private to its owner when read (ReadPasswordFile)
    // imap://: STARTTLS before the login; a login in clear text (no) only
    // to a loopback address.
    bool starttls = true;
    std::string caFile;  // empty: the system's
    int64_t connectTimeoutMs = 10000;
    int64_t replyTimeoutMs = 30000;
    // Maildir: how long to wait for the server's lock of a folder's
    // keyword list (dovecot-keywords.lock) to add a keyword to it.
    int64_t lockWaitMs = 5000;
    // Whether deletes are flushed to the disk before the store commits what
    // it knows of them ("store.synchronous = full"). Otherwise they survive
    // a crash of the process, and a power loss may bring the last ones
    // back, as it may roll back the store's last commits.
    bool syncDeletes = true;
    std::string source;  // "file:line" of the mailstore.<namespace> key, for errors
};

// Where a mail store is, as its location says.
struct MailStoreLocation {
    bool imap = false;  // imap:// or imaps://; maildir: otherwise
    // maildir:<template>[:option]...
    std::string pathTemplate;  // absolute, with %n (and %d, %%)
    bool fsLayout = false;     // LAYOUT=fs: "/" between levels; Maildir++ otherwise
    bool utf8Names = false;    // UTF-8: folder names stored as they are, not in modified UTF-7
    // imap://host[:port] and imaps://host[:port]
    std::string host;  // a name or an address, an IPv6 one without its brackets
    int port = 0;
    bool implicitTls = false;  // imaps://
};

// Reads settings.location. Raises platform::Error (kInvalidArg) naming
// settings.source, the key mailstore.<ns> and the value when it is none of
// the forms above, when a Maildir option is unknown, a port out of range,
// or an imap:// location without STARTTLS names no loopback address.
[[nodiscard]] MailStoreLocation ParseMailStoreLocation(const MailStoreSettings& settings);

// The first line of a password file, read without following a link; raises
// platform::Error (kPermissionDenied) when the file is not a regular file
// owned by the running user (or, when that is root, by account, the service
// account) and private to its owner (no group or other bits), or cannot be
// read, naming the path and the cause. The password itself never appears
// in an error.
[[nodiscard]] std::string ReadPasswordFile(const std::string& path,
                                           std::optional<uid_t> account = std::nullopt);

}  // namespace localplatform
