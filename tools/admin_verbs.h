// The verb groups of quellix-admin. Each group's run() gets the arguments
// after the group name and returns the process exit code (0 ok, 1 failed,
// 2 usage). A group prints its own --help.
#pragma once

#include <string>
#include <vector>

namespace admin {

struct Group {
    const char* name;
    int (*run)(int argc, char** argv);
};

// The verb groups, in the order --help lists them.
const std::vector<Group>& Groups();

int StoreMain(int argc, char** argv);      // admin_store.cpp
int DirectoryMain(int argc, char** argv);  // admin_directory.cpp
int CatalogMain(int argc, char** argv);    // admin_catalog.cpp

}  // namespace admin
