#include "localplatform/tools/admin_verbs.h"

namespace admin {

const std::vector<Group>& Groups() {
    static const std::vector<Group> groups = {
#ifdef QUELLIX_ADMIN_STORE
        {"store", StoreMain},
#endif
#ifdef QUELLIX_ADMIN_DIRECTORY
        {"directory", DirectoryMain},
#endif
#ifdef QUELLIX_ADMIN_DEMO
        {"demo", DemoMain},
#endif
    };
    return groups;
}

}  // namespace admin
