// Benchmark support: a generated directory of many users over three servers
// (MAILSRV1 is this server), loaded into an embedded directory file, with a
// platform configuration that names it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "localplatform/directory/directory_backend.h"

namespace localplatform::directory::testing {

struct BenchDirectory {
    std::vector<Entry> entries;  // as generated, for loading into other servers
    size_t mailboxUsers = 0;     // entries with a mailbox
    std::string config;          // the platform configuration, now in force
};

// Generates users (same seed, same directory), loads them into
// folder/directory.ldb and makes folder/platform.conf the configuration in
// force (QUELLIX_CONFIG): this server mailsrv1.example.com.
BenchDirectory MakeBenchDirectory(size_t users, const std::string& folder);

}  // namespace localplatform::directory::testing
