// This server's names and the store's base URLs: where a run (or a preview
// of one) finds the mailboxes of this server.
#pragma once

#include <optional>
#include <string>

#include "base/error.h"

namespace quellix {

struct ServerNames {
    std::string StoreDomain;    // this computer's domain, lower case
    std::string ServerName;     // this computer's short name, lower case
    std::string ServerFqdn;     // ServerName + "." + StoreDomain
    std::string StoreFileBase;  // "file://./backofficestorage/" + namespace + "/mbx"
    std::string StoreHttpBase;  // "http://" + ServerFqdn + "/exadmin/" + namespace + "/mbx"
};

// Finds the names afresh into names: the domain's DNS name and the computer's
// name (a lookup that fails leaves its part empty), and the store's base URLs,
// on the store's own name for its namespace when it lists one (it may be a
// mail domain other than the directory's), else on the domain. Returns the
// failure to list the store's namespaces, if any: the store cannot be read.
std::optional<platform::Error> FindServerNames(ServerNames& names);

// The share that lists the store's namespaces.
inline constexpr const char* kStoreShare = "\\\\.\\backofficestorage\\";

}  // namespace quellix
