#include "platform/move_manifest.h"

#include "base/error.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"
#include "platform/recordset_impl.h"
#include "platform/store_access_impl.h"

namespace platform {
namespace {

using localplatform::ItemStore;
using localplatform::UrlScheme;

std::string FileUrl(const std::vector<std::string>& segments) {
    return localplatform::FormatStoreUrl(UrlScheme::kFile, localplatform::ThisServerFqdn(),
                                         segments);
}

MovedMessage::State StateOf(const localplatform::MoveEntry& e) {
    if (e.restoredAt) return MovedMessage::State::kPutBack;
    if (e.currentFolder != e.destinationFolder) return MovedMessage::State::kGone;
    if (e.laterRun != 0) return MovedMessage::State::kMovedLater;
    return MovedMessage::State::kInDestination;
}

}  // namespace

int64_t BeginStoreRun(const std::string& itemUrl, bool moves, int64_t above) {
    return ItemStore::ForThisThread()->BeginRun(itemUrl, Date::NowUtc().UnixSeconds(), moves,
                                                above);
}

std::optional<StoreRunInfo> StoreRunOf(int64_t run) {
    const auto r = ItemStore::ForThisThread()->Run(run);
    if (!r) return std::nullopt;
    return StoreRunInfo{r->id, r->itemUrl, r->moves};
}

std::string MoveRecordForRun(const std::string& sourceUrl, const std::string& destinationFolderUrl,
                             int64_t run) {
    auto store = ItemStore::ForThisThread();
    return MoveStoreMessage(*store, sourceUrl, destinationFolderUrl, run);
}

bool MoveCurrentForRun(Recordset& rs, const std::string& destinationFolderUrl, int64_t run) {
    if (rs.Impl() == nullptr) {
        throw Error(
            err::kAdoObjectClosed,
            Describe("MoveRecord", "Recordset", "the recordset is closed", err::kAdoObjectClosed));
    }
    return rs.Impl()->MoveCurrent(destinationFolderUrl, run);
}

std::vector<MovedMessage> MovedMessagesOfRun(int64_t run, int64_t afterEntry, int64_t limit) {
    auto store = ItemStore::ForThisThread();
    std::vector<MovedMessage> messages;
    // Folder paths asked once per folder: a run moves many messages from
    // few folders into one.
    std::optional<std::pair<int64_t, std::vector<std::string>>> destination;
    for (const auto& e : store->MovesOfRun(run, afterEntry, limit)) {
        MovedMessage m;
        m.entry = e.entry;
        m.run = e.run;
        m.sourceFolderUrl = FileUrl(e.sourcePath);
        m.sourceName = e.sourceName;
        std::vector<std::string> source = e.sourcePath;
        source.push_back(e.sourceName);
        m.sourceUrl = FileUrl(source);
        if (e.sourcePath.size() > 2) m.mailboxAlias = e.sourcePath[2];
        if (!destination || destination->first != e.destinationFolder)
            destination.emplace(e.destinationFolder, store->PathOf(e.destinationFolder));
        std::vector<std::string> path = destination->second;
        path.push_back(e.destinationName);
        // A destination folder deleted since: its path is unknown.
        m.destinationUrl = destination->second.empty() ? e.destinationName : FileUrl(path);
        m.size = e.size;
        if (e.received && e.currentFolder) m.received = localplatform::FromStoreTime(*e.received);
        m.state = StateOf(e);
        m.laterRun = e.laterRun;
        messages.push_back(std::move(m));
    }
    return messages;
}

int64_t PruneMoveManifest() {
    const int64_t keepDays = localplatform::PlatformConfig::Current().GetWholeNumber(
        "store.move_manifest_keep_days", 90, 36500, "days");
    if (keepDays == 0) return 0;
    const int64_t before = Date::NowUtc().UnixSeconds() - keepDays * 86400;
    auto store = ItemStore::ForThisThread();
    int64_t pruned = 0;
    for (int64_t part; (part = store->PruneMoves(before, 10000)) > 0;) pruned += part;
    return pruned;
}

int64_t SettleInterruptedMoves(const std::string& itemUrl) {
    return ItemStore::ForThisThread()->SettleMoves(itemUrl);
}

PutBackResult PutBackMovedMessage(const MovedMessage& message) {
    try {
        auto store = ItemStore::ForThisThread();
        const auto r = store->RestoreMove(message.entry);
        PutBackResult result;
        switch (r.outcome) {
            case localplatform::RestoreOutcome::kRestored:
                result.outcome = PutBackResult::Outcome::kPutBack;
                result.url = message.sourceFolderUrl + "/" + localplatform::EncodeUrlPath(r.name);
                break;
            case localplatform::RestoreOutcome::kAlreadyRestored:
                result.outcome = PutBackResult::Outcome::kAlreadyPutBack;
                break;
            case localplatform::RestoreOutcome::kNotInDestination:
                result.outcome = PutBackResult::Outcome::kGone;
                break;
            case localplatform::RestoreOutcome::kMovedLater:
                result.outcome = PutBackResult::Outcome::kMovedLater;
                break;
            case localplatform::RestoreOutcome::kSourceFolderGone:
                result.outcome = PutBackResult::Outcome::kSourceFolderGone;
                break;
        }
        return result;
    } catch (const Error& e) {
        throw Error(e.Number(),
                    Describe("put back", message.destinationUrl, e.Description(), e.Number()));
    }
}

}  // namespace platform
