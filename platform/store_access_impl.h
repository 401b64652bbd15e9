// The state behind Connection and Record (private to platform/): what the
// ADO-shaped objects hold of the item store and the directory provider.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"
#include "platform/ado.h"

namespace platform {

struct ConnectionImpl {
    enum class Kind { kNone, kStore, kDirectory };

    std::string provider;
    std::string connectionString;
    Kind kind = Kind::kNone;
    bool open = false;
    std::shared_ptr<localplatform::ItemStore> store;  // kStore while open
    bool ownsTransaction = false;                     // BeginTrans was called here
};

struct RecordImpl {
    bool open = false;
    int32_t mode = adModeUnknown;
    std::string url;  // as opened
    localplatform::UrlScheme scheme = localplatform::UrlScheme::kFile;
    std::shared_ptr<localplatform::ItemStore> store;
    localplatform::ItemRow row;
    // Writes kept until Fields::Update, in the order they were made.
    std::vector<std::pair<std::string, Variant>> pending;
    std::optional<std::string> pendingContent;

    // Raise err::kAdoObjectClosed / err::kPermissionDeniedDb.
    void RequireOpen(const char* operation) const;
    void RequireWritable(const char* operation) const;
    // A property's value as the record shows it: pending writes first.
    [[nodiscard]] Variant Read(const std::string& name);
    void SetPending(const std::string& name, Variant value);
};

// Moves the message at source into the folder at destination (URLs of
// either scheme) as Record::MoveRecord does, recording the move in the move
// manifest under run unless run is 0. Returns the moved message's URL in
// the destination's scheme.
std::string MoveStoreMessage(localplatform::ItemStore& store, const std::string& source,
                             const std::string& destination, int64_t run);

// The folder at destination, as a move into it needs it: raises
// err::kNotFound, naming the URL, when there is none or it is no folder.
localplatform::ItemRow MoveDestination(localplatform::ItemStore& store,
                                       const std::string& destination);

// Whether a provider name means the store or the directory (any case).
[[nodiscard]] ConnectionImpl::Kind ProviderKind(const std::string& provider);

}  // namespace platform
