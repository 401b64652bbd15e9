// The item store's own folders and messages behind the mail-store
// interface, so that a move between two stores, its settling after a crash
// and its undo read and write either end the same way, whichever store
// holds it. Private to the item store (its handle is the database).
//
// A folder is named by its path from the store's root: the alias is that
// path, joined by "/", and the folder path below it is empty (a mailbox's
// Inbox is the alias' folder itself). A message's key is its item name.
// The item store keeps no flags: a move's manifest entry keeps them for
// undo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "localplatform/store/item_store.h"
#include "localplatform/store/mail_store.h"

namespace localplatform {

class ItemStoreFolders final : public MailStore {
public:
    ItemStoreFolders(ItemStore& store, ItemStore::Handle& h) : store_(store), h_(h) {}

    // The folder of the item store at path, as this interface names it.
    [[nodiscard]] static MailFolder FolderAt(const std::vector<std::string>& path);

    [[nodiscard]] std::string Describe() const override;
    [[nodiscard]] std::optional<std::string> FindMailbox(const std::string& alias) override;
    // The item store's mailboxes are found by name, never listed here.
    [[nodiscard]] std::vector<std::string> Mailboxes() override { return {}; }
    [[nodiscard]] bool HasFolder(const MailFolder& folder) override;
    [[nodiscard]] std::vector<std::string> Subfolders(const MailFolder& folder) override;
    [[nodiscard]] std::vector<MailStoreMessage> Messages(const MailFolder& folder) override;
    [[nodiscard]] std::optional<MailStoreMessage> Message(const MailFolder& folder,
                                                          const std::string& key) override;
    [[nodiscard]] std::string Content(const MailFolder& folder, const std::string& key) override;
    void ContentInto(const MailFolder& folder, const std::string& key,
                     MessageSpool& spool) override;
    // Each delete is committed at once: nothing waits for Flush.
    bool Delete(const MailFolder& folder, const std::string& key) override;
    size_t Flush() override { return 0; }
    // The item store moves a row between its own folders itself, with the
    // move's record in the same transaction: there is no step to offer here.
    [[nodiscard]] std::optional<std::string> Move(const MailFolder& from, const std::string& key,
                                                  const MailFolder& to) override;
    [[nodiscard]] std::string Append(const MailFolder& folder, const std::string& bytes,
                                     int64_t received, const std::string& flags) override;
    // The name wanted when no message of folder has it, else a new one the
    // store chooses.
    [[nodiscard]] std::string PlanAppend(const MailFolder& folder, const std::string& wanted,
                                         const MessageSpool& bytes) override;
    [[nodiscard]] std::string AppendPlanned(const MailFolder& folder, const std::string& planned,
                                            const std::string& bytes, int64_t received,
                                            const std::string& flags) override;
    [[nodiscard]] std::string AppendPlannedFrom(const MailFolder& folder,
                                                const std::string& planned,
                                                const MessageSpool& spool, int64_t received,
                                                const std::string& flags) override;
    // The message named planned, when it is there.
    [[nodiscard]] std::vector<MailStoreMessage> AppendedSince(const MailFolder& folder,
                                                              const std::string& planned) override;

    // The id of folder's message key (0 when it has none), for the
    // manifest, which also knows the item store's messages by id.
    [[nodiscard]] int64_t ItemId(const MailFolder& folder, const std::string& key);

private:
    // The folder's id; raises err::kNotFound, naming it, when it is gone.
    [[nodiscard]] int64_t FolderId(const MailFolder& folder, const char* operation);

    ItemStore& store_;
    ItemStore::Handle& h_;
};

}  // namespace localplatform
