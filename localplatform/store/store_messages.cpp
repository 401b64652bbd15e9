#include "localplatform/store/store_messages.h"

#include "base/error.h"
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
    return ItemStore::ForThisThread()->Namespaces();
}

}  // namespace localplatform
