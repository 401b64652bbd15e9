// The main window's state that the setup operations read: the two mailbox
// roots, the directory roots, this computer's names, and the two connection
// objects. Environment discovery fills it once when the program starts; the
// operations take it as a parameter and never reach for it.
#pragma once

#include <string>

#include "platform/ado.h"

namespace setup {

struct SetupContext {
    // "http://" + ComputerName + "/exadmin/" + store domain + "/mbx"
    std::string FolderURL;
    // "file://./backofficestorage/" + store domain + "/mbx"
    std::string FileFolderURL;
    // "GC://" + the global catalog's dnshostname: root of the read queries
    std::string strSearchRoot;
    // "LDAP://" + the same host: root of the directory writes
    std::string strSearchRootLDAP;
    // this computer's short name, lower case
    std::string ShortComputerName;
    // ShortComputerName + "." + DomainDNSName
    std::string ComputerName;
    // the computer's domain DNS name, lower case
    std::string DomainDNSName;
    // The directory connection (provider "adsDSOobject"), open while the
    // program runs; the read queries run on it.
    platform::Connection cnn;
    // A store connection object (provider "ExOLEDB.DataSource"), open only
    // during a read of the registration item.
    platform::Connection cnn1;
};

}  // namespace setup
