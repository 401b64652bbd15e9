// A mail store behind a namespace of the item store: the mailboxes, folders
// and messages of a real mail server (Maildir files, an IMAP server), which
// the item store shows under "<namespace>/MBX/<alias>/..." with the same URLs
// as its own. One backend object per mapped namespace and thread; the item
// store is its only user (nothing above it names a backend).
//
// Folders are named by their path from the mailbox root: the empty path is
// the mailbox's Inbox (Maildir's root, IMAP's INBOX), {"Archive", "2024"} a
// folder below "Archive". Names are UTF-8, as the user sees them; encoding
// them for the server (modified UTF-7, Maildir++ dots) is the backend's job.
// Names compare as the backend spells them: the item store matches URL
// segments without regard to case before it asks.
//
// Every failure raises platform::Error with a number, the operation, the
// backend's location (Describe, never a password) and the folder or message
// involved.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "localplatform/config/mail_store_settings.h"
#include "localplatform/store/message_spool.h"

namespace localplatform {

// One message as the backend lists it.
struct MailStoreMessage {
    // The backend's stable name for it: Maildir's base file name up to the
    // ":2," info part, IMAP's "<UIDVALIDITY>.<UID>" (in decimal). Unique
    // within its folder.
    std::string key;
    int64_t received = 0;  // Unix seconds, UTC (Maildir: the file's mtime; IMAP: INTERNALDATE)
    int64_t size = 0;      // bytes of the message as stored (RFC822.SIZE over IMAP)
    // The flags in Maildir's letters, sorted: D draft, F flagged, P passed,
    // R replied, S seen, T trashed (IMAP \Deleted); an IMAP backend maps its
    // system flags to them. Then the keywords ($Junk, NonJunk, ...), each
    // after a blank, sorted: "FS $Junk". JoinFlags makes it, SplitFlags
    // takes it apart.
    std::string flags;
};

// A message's flags, apart: the system flags' letters, and the keywords.
struct FlagParts {
    std::string letters;
    std::vector<std::string> keywords;
};
[[nodiscard]] FlagParts SplitFlags(const std::string& flags);
// The flags text of letters and keywords, both sorted; a keyword that is no
// IMAP atom (a blank, a parenthesis, a quote, a control character ...) is
// left out, as no server would take it.
[[nodiscard]] std::string JoinFlags(std::string letters, std::vector<std::string> keywords);

// A folder of a mailbox of the backend.
struct MailFolder {
    std::string alias;              // the mailbox, as the backend spells it
    std::vector<std::string> path;  // from the mailbox root; empty = the Inbox
};

class MailStore {
public:
    virtual ~MailStore() = default;

    // Where the store is, for messages: "maildir:/var/vmail/%d/%n/Maildir",
    // "imaps://mail.example.org:993"; never a password.
    [[nodiscard]] virtual std::string Describe() const = 0;

    // The mailbox named alias (compared without regard to ASCII case where
    // the backend can list its mailboxes), as the backend spells it; nothing
    // when the store has no such mailbox.
    [[nodiscard]] virtual std::optional<std::string> FindMailbox(const std::string& alias) = 0;
    // Every mailbox the backend can list, in name order; a backend that
    // cannot list its mailboxes returns none (they are still found by name).
    [[nodiscard]] virtual std::vector<std::string> Mailboxes() = 0;

    // Whether folder exists.
    [[nodiscard]] virtual bool HasFolder(const MailFolder& folder) = 0;
    // The names of folder's direct subfolders, in name order. Raises
    // err::kNotFound when folder does not exist.
    [[nodiscard]] virtual std::vector<std::string> Subfolders(const MailFolder& folder) = 0;
    // The messages directly in folder (not in its subfolders), in key order.
    [[nodiscard]] virtual std::vector<MailStoreMessage> Messages(const MailFolder& folder) = 0;
    // One message of folder by key; nothing when it is not there (any more).
    [[nodiscard]] virtual std::optional<MailStoreMessage> Message(const MailFolder& folder,
                                                                  const std::string& key) = 0;
    // The message's bytes as stored. Raises err::kNotFound when it is gone.
    [[nodiscard]] virtual std::string Content(const MailFolder& folder, const std::string& key) = 0;
    // The same, added to spool piece by piece where the backend can read
    // them so (a copy between stores); the default reads them whole.
    virtual void ContentInto(const MailFolder& folder, const std::string& key,
                             MessageSpool& spool) {
        spool.Append(Content(folder, key));
    }

    // Deletes the message key of folder. Returns false when it was gone
    // already (not an error). A backend may batch deletes until Flush; a
    // failure then surfaces at Flush, naming the folder, and so does a
    // message gone already: Delete returned true for it.
    virtual bool Delete(const MailFolder& folder, const std::string& key) = 0;
    // Completes every batched delete (the item store calls it after it
    // commits its own batch, and before it reads a folder again). Returns
    // how many of them found their message gone already.
    virtual size_t Flush() = 0;

    // Moves the message key of from into folder to (of this backend) in one
    // atomic step, keeping its received time and flags: one rename on one
    // file system, UID MOVE within one login. Returns its key in to. Returns
    // nothing, changing nothing, when the backend has no such step between
    // the two folders (Maildirs on two file systems, the mailboxes of two
    // IMAP logins): the item store then copies and removes, each step
    // recorded in its move manifest first. Raises err::kNotFound, changing
    // nothing, when the message is no longer in from.
    [[nodiscard]] virtual std::optional<std::string> Move(const MailFolder& from,
                                                          const std::string& key,
                                                          const MailFolder& to) = 0;
    // Drops what the backend remembers of its listings: the item store lets
    // go of every row it handed out (its last user let go of it). Open
    // connections may stay.
    virtual void ForgetListings() {}
    // Why FindMailbox found no mailbox named alias when the backend could
    // not tell an absent mailbox from one it may not open (an IMAP server
    // refusing the login says no more): the server's answer, for the error
    // that names the URL; kPermissionDeniedDb when the mailbox could not be
    // reached (a refused login), kNotFound when the server says there is
    // none. nullopt when the mailbox simply is not there.
    [[nodiscard]] virtual std::optional<platform::Error> WhyNoMailbox(
        const std::string& alias) const {
        (void)alias;
        return std::nullopt;
    }

    // Stores a new message in folder with its received time (Unix seconds)
    // and flags (Maildir letters); returns its key.
    [[nodiscard]] virtual std::string Append(const MailFolder& folder, const std::string& bytes,
                                             int64_t received, const std::string& flags) = 0;

    // A copy from another store goes in in three steps, so that a record of
    // it (the move manifest) made before it exists finds it after a crash.
    // PlanAppend: the key the next AppendPlanned of bytes into folder is to
    // give its message, known before the message is stored: Maildir's file
    // name (wanted when no message of folder has that key and the sizes it
    // may carry, ",S=" and ",W=", are the bytes'; else a new one); the
    // server names it over IMAP, so there it is "<UIDVALIDITY>.<UIDNEXT>",
    // the lowest key the message can get.
    [[nodiscard]] virtual std::string PlanAppend(const MailFolder& folder,
                                                 const std::string& wanted,
                                                 const MessageSpool& bytes) = 0;
    // Append, under the key planned (from PlanAppend) where the backend names
    // its messages. Returns the message's key.
    [[nodiscard]] virtual std::string AppendPlanned(const MailFolder& folder,
                                                    const std::string& planned,
                                                    const std::string& bytes, int64_t received,
                                                    const std::string& flags) = 0;
    // AppendPlanned of the bytes in spool, read piece by piece where the
    // backend can take them so; the default takes them whole.
    [[nodiscard]] virtual std::string AppendPlannedFrom(const MailFolder& folder,
                                                        const std::string& planned,
                                                        const MessageSpool& spool, int64_t received,
                                                        const std::string& flags) {
        return AppendPlanned(folder, planned, spool.Whole(), received, flags);
    }
    // The messages of folder that an AppendPlanned under planned may have
    // stored: Maildir's of that key; over IMAP every message of the same
    // UIDVALIDITY whose UID is at least the planned one (others' among them:
    // the caller tells its own by their bytes).
    [[nodiscard]] virtual std::vector<MailStoreMessage> AppendedSince(
        const MailFolder& folder, const std::string& planned) = 0;
};

// The backend of a mapped namespace, chosen by the location's scheme
// ("maildir:", "imap://", "imaps://"). Raises err::kInvalidArg naming the
// setting's source, key and value for a location no backend takes.
[[nodiscard]] std::unique_ptr<MailStore> OpenMailStore(const MailStoreSettings& settings);

// A cleanup run starts on this thread (ItemStore::StartRun): what a backend
// learned of its server in the last one (a server that did not answer, a
// refused login, the password it read) is asked afresh.
void StartMailStoreRun();
// How many runs this thread has started: a backend keeps what it learned
// only while the count is the one it learned it under.
[[nodiscard]] uint64_t MailStoreRunsStarted();

}  // namespace localplatform
