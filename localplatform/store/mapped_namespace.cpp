#include "localplatform/store/mapped_namespace.h"

#include <algorithm>
#include <array>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/store/store_url.h"

namespace localplatform {
namespace {

namespace err = platform::err;
using platform::Error;

constexpr const char* kFolderClass = "urn:content-class:folder";
constexpr const char* kMessageClass = "urn:content-class:message";

// The usual names of the standard folders on mail servers, in the order
// they are tried. The Inbox is the mailbox itself.
struct UsualNames {
    const char* property;  // folded
    std::array<const char*, 3> names;
};
constexpr std::array<UsualNames, 9> kUsualNames = {{
    {"urn:schemas:httpmail:outbox", {"Outbox", nullptr, nullptr}},
    {"urn:schemas:httpmail:sentitems", {"Sent Items", "Sent", "Sent Messages"}},
    {"urn:schemas:httpmail:deleteditems", {"Deleted Items", "Trash", "Deleted Messages"}},
    {"urn:schemas:httpmail:drafts", {"Drafts", nullptr, nullptr}},
    {"urn:schemas:httpmail:calendar", {"Calendar", nullptr, nullptr}},
    {"urn:schemas:httpmail:contacts", {"Contacts", nullptr, nullptr}},
    {"urn:schemas:httpmail:tasks", {"Tasks", nullptr, nullptr}},
    {"urn:schemas:httpmail:notes", {"Notes", nullptr, nullptr}},
    {"urn:schemas:httpmail:journal", {"Journal", nullptr, nullptr}},
}};

std::string Identity(const MailStore* backend, const MailFolder& folder, const std::string& key,
                     bool message) {
    std::string id = std::to_string(reinterpret_cast<uintptr_t>(backend)) + '\n' + folder.alias;
    for (const auto& name : folder.path) id += '\n' + name;
    return id + (message ? "\n\x01" + key : std::string());
}

}  // namespace

bool MappedNamespaces::AnyMapped() {
    FollowConfiguration();
    return anyMapped_;
}

void MappedNamespaces::FollowConfiguration() {
    const auto& cfg = PlatformConfig::Current();
    if (config_ == &cfg) return;
    // Another configuration (tests switch them): its own backends, and
    // nodes of the old ones are no longer reached.
    backends_.clear();
    nodes_.clear();
    ids_.clear();
    containers_.clear();
    config_ = &cfg;
    anyMapped_ = !cfg.MailStoreNamespaces().empty();
}

std::optional<MailStore*> MappedNamespaces::KnownContainer(int64_t id) const {
    const auto it = containers_.find(id);
    if (it == containers_.end()) return std::nullopt;
    return it->second;
}

void MappedNamespaces::NoteContainer(int64_t id, MailStore* backend) {
    containers_[id] = backend;
}

MailStore* MappedNamespaces::BackendOf(const std::string& ns) {
    FollowConfiguration();
    const auto& cfg = PlatformConfig::Current();
    const std::string folded = FoldName(ns);
    if (const auto it = backends_.find(folded); it != backends_.end()) return it->second.get();
    const auto settings = cfg.MailStoreFor(ns);
    auto backend = settings ? OpenMailStore(*settings) : nullptr;
    return backends_.emplace(folded, std::move(backend)).first->second.get();
}

ItemRow MappedNamespaces::Register(Node node) {
    const std::string identity =
        Identity(node.backend, node.folder, node.key, node.row.kind == ItemKind::kItem);
    auto [it, added] = ids_.emplace(identity, next_);
    if (added) --next_;
    node.row.id = it->second;
    node.row.foreign = true;
    nodes_[node.row.id] = node;
    if (node.row.kind == ItemKind::kItem)
        KeepMessage(node.backend, node.folder.alias, node.row.id, added);
    return node.row;
}

void MappedNamespaces::KeepMessage(MailStore* backend, const std::string& alias, int64_t id,
                                   bool added) {
    const auto same = [&](const ListedMailbox& m) {
        return m.backend == backend && m.alias == alias;
    };
    if (listed_.empty() || !same(listed_.back())) {
        ListedMailbox entry{backend, alias, {}};
        if (const auto it = std::find_if(listed_.begin(), listed_.end(), same);
            it != listed_.end()) {
            entry = std::move(*it);
            listed_.erase(it);
        }
        listed_.push_back(std::move(entry));
        while (listed_.size() > kKeptMailboxes) {
            // Only message nodes go: the folders callers hold stay.
            for (const int64_t old : listed_.front().messages) {
                const auto n = nodes_.find(old);
                if (n == nodes_.end()) continue;
                ids_.erase(Identity(n->second.backend, n->second.folder, n->second.key, true));
                nodes_.erase(n);
            }
            listed_.pop_front();
        }
    }
    if (added) listed_.back().messages.push_back(id);
}

std::optional<ItemRow> MappedNamespaces::Mailbox(MailStore& backend, const ItemRow& container,
                                                 const std::vector<std::string>& containerPath,
                                                 const std::string& alias) {
    const auto spelled = backend.FindMailbox(alias);
    if (!spelled) return std::nullopt;
    Node n;
    n.backend = &backend;
    n.folder.alias = *spelled;
    n.urlPath = containerPath;
    n.urlPath.push_back(*spelled);
    n.row.parent = container.id;
    n.row.name = *spelled;
    n.row.kind = ItemKind::kMailbox;
    n.row.contentClass = kFolderClass;
    return Register(std::move(n));
}

std::vector<ItemRow> MappedNamespaces::Mailboxes(MailStore& backend, const ItemRow& container,
                                                 const std::vector<std::string>& containerPath,
                                                 const std::vector<std::string>& shadowed) {
    std::vector<ItemRow> rows;
    for (const auto& alias : backend.Mailboxes()) {
        if (std::find(shadowed.begin(), shadowed.end(), FoldName(alias)) != shadowed.end())
            continue;
        if (auto row = Mailbox(backend, container, containerPath, alias)) rows.push_back(*row);
    }
    return rows;
}

const MappedNamespaces::Node* MappedNamespaces::Find(int64_t id) const {
    const auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

const MappedNamespaces::Node& MappedNamespaces::Require(int64_t id,
                                                        const std::string& operation) const {
    const Node* n = Find(id);
    if (n == nullptr) {
        throw Error(err::kNotFound,
                    platform::Describe(operation, std::to_string(id),
                                       "no such item of a mail store", err::kNotFound));
    }
    return *n;
}

std::vector<std::string> MappedNamespaces::FolderNames(const Node& folder) {
    auto names = folder.backend->Subfolders(folder.folder);
    // Two folders one URL would name: refuse rather than pick one.
    std::vector<std::pair<std::string, std::string>> folded;
    folded.reserve(names.size());
    for (const auto& name : names) folded.emplace_back(FoldName(name), name);
    std::sort(folded.begin(), folded.end());
    for (size_t i = 1; i < folded.size(); ++i) {
        if (folded[i].first == folded[i - 1].first) {
            throw Error(
                err::kInvalidArg,
                platform::Describe(
                    "list folders", folder.backend->Describe(),
                    "two folders of mailbox '" + platform::VisibleText(folder.folder.alias) +
                        "' differ only in case: '" + platform::VisibleText(folded[i - 1].second) +
                        "' and '" + platform::VisibleText(folded[i].second) + "'",
                    err::kInvalidArg));
        }
    }
    return names;
}

std::optional<ItemRow> MappedNamespaces::Child(int64_t id, const std::string& segment) {
    const Node parent = Require(id, "open");
    if (parent.row.kind == ItemKind::kItem) return std::nullopt;
    const std::string folded = FoldName(segment);
    for (const auto& name : FolderNames(parent)) {
        if (FoldName(name) != folded) continue;
        Node n;
        n.backend = parent.backend;
        n.folder = parent.folder;
        n.folder.path.push_back(name);
        n.urlPath = parent.urlPath;
        n.urlPath.push_back(name);
        n.row.parent = id;
        n.row.name = name;
        n.row.kind = ItemKind::kFolder;
        n.row.contentClass = kFolderClass;
        return Register(std::move(n));
    }
    if (parent.row.kind == ItemKind::kMailbox && folded == "inbox") return parent.row;
    if (const auto m = parent.backend->Message(parent.folder, segment)) return MessageRow(id, *m);
    return std::nullopt;
}

ItemRow MappedNamespaces::MessageRow(int64_t folderId, const MailStoreMessage& message) {
    const Node& folder = Require(folderId, "open");
    Node n;
    n.backend = folder.backend;
    n.folder = folder.folder;
    n.key = message.key;
    n.flags = message.flags;
    n.urlPath = folder.urlPath;
    n.urlPath.push_back(message.key);
    n.row.parent = folderId;
    n.row.name = message.key;
    n.row.kind = ItemKind::kItem;
    n.row.contentClass = kMessageClass;
    n.row.created = message.received;
    n.row.modified = message.received;
    n.row.received = message.received;
    n.row.size = message.size;
    return Register(std::move(n));
}

std::vector<ItemRow> MappedNamespaces::Children(int64_t id) {
    const Node parent = Require(id, "list folder");
    std::vector<ItemRow> rows;
    if (parent.row.kind == ItemKind::kItem) return rows;
    for (const auto& name : FolderNames(parent)) {
        if (auto row = Child(id, name)) rows.push_back(*row);
    }
    for (const auto& m : parent.backend->Messages(parent.folder)) rows.push_back(MessageRow(id, m));
    return rows;
}

std::vector<int64_t> MappedNamespaces::Subtree(int64_t id) {
    std::vector<int64_t> ids{id};
    for (size_t i = 0; i < ids.size(); ++i) {
        const Node parent = Require(ids[i], "list folder");
        for (const auto& name : FolderNames(parent)) {
            if (auto row = Child(ids[i], name)) ids.push_back(row->id);
        }
    }
    return ids;
}

std::optional<ItemRow> MappedNamespaces::Refresh(int64_t id) {
    const Node n = Require(id, "open");
    if (n.row.kind != ItemKind::kItem) return n.row;
    const auto m = n.backend->Message(n.folder, n.key);
    if (!m) return std::nullopt;
    return MessageRow(n.row.parent, *m);
}

std::optional<ItemRow> MappedNamespaces::StandardFolder(int64_t mailboxId,
                                                        const std::string& property) {
    if (property == "urn:schemas:httpmail:inbox") return Require(mailboxId, "open").row;
    for (const auto& usual : kUsualNames) {
        if (property != usual.property) continue;
        for (const char* name : usual.names) {
            if (name == nullptr) break;
            if (auto row = Child(mailboxId, name); row && row->kind == ItemKind::kFolder)
                return row;
        }
    }
    return std::nullopt;
}

void MappedNamespaces::ForgetNodes() {
    nodes_.clear();
    ids_.clear();
    for (auto& [ns, backend] : backends_) {
        if (backend) backend->ForgetListings();
    }
}

size_t MappedNamespaces::Flush() {
    size_t gone = 0;
    for (auto& [ns, backend] : backends_) {
        if (backend) gone += backend->Flush();
    }
    return gone;
}

}  // namespace localplatform
