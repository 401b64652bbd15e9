// The nodes of namespaces mapped to mail stores, as the item store shows
// them: each mailbox, folder and message a backend holds gets a row with a
// negative id, so that the item store's interface works on them as on its
// own rows. Mailboxes and folders keep theirs for the life of this thread's
// store handle; messages while their mailbox is among the last ones whose
// messages were listed (a run goes mailbox by mailbox, and must not hold
// every message it has seen): an older message's id names nothing any more
// (Require says so), its URL finds it again under a new one. Only the item store uses this; it
// keeps the namespace and its "MBX" container itself.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "localplatform/store/item_store.h"
#include "localplatform/store/mail_store.h"

namespace localplatform {

class MappedNamespaces {
public:
    // A mail store's node: which backend, mailbox and folder, and for a
    // message its key.
    struct Node {
        MailStore* backend = nullptr;
        MailFolder folder;                 // a message's folder, or the folder itself
        std::string key;                   // a message's key; empty for a folder or mailbox
        std::string flags;                 // a message's flags when listed
        std::vector<std::string> urlPath;  // names from the root, as URLs give them
        ItemRow row;
    };

    [[nodiscard]] static bool IsMapped(int64_t id) { return id < 0; }

    // The backend of namespace ns, opened on first use; nullptr when the
    // platform configuration maps ns to no mail store.
    [[nodiscard]] MailStore* BackendOf(const std::string& ns);
    // Whether the platform configuration maps any namespace at all (when
    // not, the item store's scans need not look).
    [[nodiscard]] bool AnyMapped();
    // What the item store found of its node id: the backend when id is a
    // mapped namespace's "MBX", nullptr when it is not; nothing when it has
    // not looked yet. Ids are never reused, so the answer holds for the
    // configuration's life.
    [[nodiscard]] std::optional<MailStore*> KnownContainer(int64_t id) const;
    void NoteContainer(int64_t id, MailStore* backend);

    // The mailbox alias of backend (compared without regard to case) below
    // container, the namespace's "MBX" row at containerPath; nothing when
    // the backend has none.
    [[nodiscard]] std::optional<ItemRow> Mailbox(MailStore& backend, const ItemRow& container,
                                                 const std::vector<std::string>& containerPath,
                                                 const std::string& alias);
    // Every mailbox the backend lists below container, except those named
    // in shadowed (folded names the item store holds itself).
    [[nodiscard]] std::vector<ItemRow> Mailboxes(MailStore& backend, const ItemRow& container,
                                                 const std::vector<std::string>& containerPath,
                                                 const std::vector<std::string>& shadowed);
    // The child of folder id named segment (folders compared without regard
    // to case, messages by key); a mailbox's "Inbox" is the mailbox itself.
    // Raises err::kInvalidArg naming both when two folders there differ
    // only in case.
    [[nodiscard]] std::optional<ItemRow> Child(int64_t id, const std::string& segment);
    // Subfolders (name order), then messages (key order), of folder id.
    [[nodiscard]] std::vector<ItemRow> Children(int64_t id);
    // Folder id and every folder below it, the folder first.
    [[nodiscard]] std::vector<int64_t> Subtree(int64_t id);

    [[nodiscard]] const Node* Find(int64_t id) const;
    // As Find; raises err::kNotFound when id names no node of this handle.
    [[nodiscard]] const Node& Require(int64_t id, const std::string& operation) const;
    // The message's current row (its flags or size may have changed);
    // nothing when it is gone.
    [[nodiscard]] std::optional<ItemRow> Refresh(int64_t id);

    // The row of message key of the folder node folderId (after a move or
    // an append).
    [[nodiscard]] ItemRow MessageRow(int64_t folderId, const MailStoreMessage& message);
    // The URL path of the mailbox's standard folder of property (folded,
    // e.g. "urn:schemas:httpmail:sentitems") by its usual names; nothing
    // when the mailbox has none.
    [[nodiscard]] std::optional<ItemRow> StandardFolder(int64_t mailboxId,
                                                        const std::string& property);

    // Completes every backend's batched deletes; returns how many found
    // their message gone already.
    size_t Flush();
    // Forgets every node (their ids stop naming anything) and what the
    // backends remember of their listings; the backends stay open. For when
    // nobody holds a row any more.
    void ForgetNodes();

private:
    void FollowConfiguration();
    ItemRow Register(Node node);
    // Notes message id of backend's mailbox alias, forgetting the messages
    // of the mailboxes listed longest ago.
    void KeepMessage(MailStore* backend, const std::string& alias, int64_t id, bool added);
    std::vector<std::string> FolderNames(const Node& folder);

    const void* config_ = nullptr;
    bool anyMapped_ = false;  // the configuration the backends were opened from
    std::map<std::string, std::unique_ptr<MailStore>> backends_;  // folded namespace
    std::map<int64_t, Node> nodes_;
    std::map<std::string, int64_t> ids_;        // identity of a node -> its id
    std::map<int64_t, MailStore*> containers_;  // store node -> its backend (or nullptr)
    int64_t next_ = -1;
    struct ListedMailbox {
        MailStore* backend = nullptr;
        std::string alias;
        std::vector<int64_t> messages;
    };
    static constexpr size_t kKeptMailboxes = 16;
    std::deque<ListedMailbox> listed_;  // the mailbox whose messages were listed last, last
};

}  // namespace localplatform
