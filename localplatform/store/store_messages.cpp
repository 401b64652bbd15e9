#include "localplatform/store/store_messages.h"

#include <filesystem>

#include "base/error.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"

namespace localplatform {

std::string SaveNewMessage(const std::string& folderUrl, const std::string& rfc822,
                           platform::Date receivedUtc) {
    const std::string fqdn = ThisServerFqdn();
    const StoreUrl url = ParseStoreUrl(folderUrl, fqdn);
    auto store = ItemStore::ForThisThread();
    const ItemRow folder = store->Require(url.segments, folderUrl);
    if (!folder.IsFolder()) {
        throw platform::Error(platform::err::kNotFound,
                              platform::Describe("save message", folderUrl, "not a folder",
                                                 platform::err::kNotFound));
    }
    const int64_t id = store->SaveMessage(folder.id, rfc822, ToStoreTime(receivedUtc));
    return FormatStoreUrl(url.scheme, fqdn, store->PathOf(id));
}

std::vector<std::string> ListNamespaces() {
    // No store file: a share with no entries, as a missing folder lists
    // nothing. Any other store that cannot be opened raises.
    std::error_code ec;
    if (!std::filesystem::exists(PlatformConfig::Current().StorePath(), ec) && !ec) return {};
    return ItemStore::ForThisThread()->Namespaces();
}

}  // namespace localplatform
