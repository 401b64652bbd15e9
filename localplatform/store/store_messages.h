// What the messaging library and the system-services layer need from the
// item store: saving a message into a folder under a store-chosen name, and
// the store's list of namespaces (the listing of "\\.\backofficestorage\").
// Both run on this thread's handle of the store named by the platform
// configuration, so a message saved while a transaction is open on a store
// Connection of this thread commits or rolls back with it.
#pragma once

#include <string>
#include <vector>

#include "base/date.h"

namespace localplatform {

// Saves rfc822 (the message's RFC 5322 text) as a new message item in the
// folder at folderUrl (file or http scheme), under a new unique name
// "<32 hex digits>.EML", with content class "urn:content-class:message" and
// received time receivedUtc. Returns the new item's URL in the scheme of
// folderUrl. Raises platform::Error: malformed or foreign URL (err::kBadUrl),
// no folder there (err::kNotFound), store busy past its bound
// (err::kResourceLocked), unreadable store file (err::kCorrupt).
[[nodiscard]] std::string SaveNewMessage(const std::string& folderUrl, const std::string& rfc822,
                                         platform::Date receivedUtc);

// The names of the store's namespaces (domain folders) in the order they
// were created; empty for a store without any and when no store file is
// there (a damaged one raises, as opening it does).
[[nodiscard]] std::vector<std::string> ListNamespaces();

}  // namespace localplatform
