#include "tools/admin_verbs.h"

namespace admin {

const std::vector<Group>& Groups() {
    static const std::vector<Group> groups = {
        {"store", StoreMain}, {"directory", DirectoryMain}, {"catalog", CatalogMain},
        {"init", InitMain},   {"check", CheckMain},
    };
    return groups;
}

}  // namespace admin
