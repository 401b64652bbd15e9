// What the platform configuration says of a namespace mapped to a mail
// store ("mailstore.<namespace>" and its sub-keys; see platform_config.h).
#pragma once

#include <cstdint>
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
    bool starttls = false;
    std::string caFile;  // empty: the system's
    int64_t connectTimeoutMs = 10000;
    int64_t replyTimeoutMs = 30000;
    // Whether deletes are flushed to the disk before the store commits what
    // it knows of them ("store.synchronous = full"). Otherwise they survive
    // a crash of the process, and a power loss may bring the last ones
    // back, as it may roll back the store's last commits.
    bool syncDeletes = true;
    std::string source;  // "file:line" of the mailstore.<namespace> key, for errors
};

// The first line of a password file, read without following a link; raises
// platform::Error (kPermissionDenied) when the file is not a regular file
// owned by the running user and private to it (no group or other bits), or
// cannot be read, naming the path and the cause. The password itself never
// appears in an error.
[[nodiscard]] std::string ReadPasswordFile(const std::string& path);

}  // namespace localplatform
