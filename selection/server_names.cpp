#include "selection/server_names.h"

#include <vector>

#include "platform/ads.h"
#include "platform/system.h"
#include "selection/run_text.h"

namespace quellix {

std::optional<platform::Error> FindServerNames(ServerNames& names) {
    using namespace platform;
    ErrorState err;
    names.StoreDomain.clear();
    names.ServerName.clear();
    err.Run([&] { names.StoreDomain = Lower(AdSystemInfo().DomainDNSName()); });
    err.Run([&] { names.ServerName = Lower(WinNtSystemInfo().ComputerName()); });
    names.ServerFqdn = names.ServerName + "." + names.StoreDomain;
    names.StoreFileBase = "file://./backofficestorage/" + names.StoreDomain + "/mbx";
    names.StoreHttpBase = "http://" + names.ServerFqdn + "/exadmin/" + names.StoreDomain + "/mbx";
    if (!err.Run([&] {
            const std::vector<std::string> listed = ListDirectory(kStoreShare);
            const std::string name = listed.empty() ? std::string() : listed.front();
            if (!name.empty()) {
                names.StoreHttpBase = "http://" + names.ServerFqdn + "/exadmin/" + name + "/mbx";
                names.StoreFileBase = "file://./backofficestorage/" + name + "/mbx";
            }
        })) {
        return Error(err.Number(), err.Description(), "FindServerNames");
    }
    return std::nullopt;
}

}  // namespace quellix
