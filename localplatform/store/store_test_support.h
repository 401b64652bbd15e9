// Test support: a private platform (configuration file and a new, empty
// store database) in a fresh temporary directory, named by QUELLIX_CONFIG
// while it lives.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "base/error.h"
#include "base/testing/temp_platform.h"
#include "localplatform/store/item_store.h"

namespace localplatform::testing {

// The number of the platform error f raises; 0 when it raises none.
inline int32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::Error& e) {
        return e.Number();
    }
    return 0;
}

class TempStore {
public:
    // busyMs bounds every wait for a busy store (kept short in tests);
    // extra holds more configuration lines. The configuration is the file
    // Dir() + "/platform.conf".
    explicit TempStore(int busyMs = 300, const std::string& extra = "")
        : temp_("quellix-store-"), db_(temp_.Dir() + "/store.db") {
        const std::string config = temp_.Write(
            "platform.conf",
            "state_dir = " + temp_.Dir() + "\n" + "store = " + db_ + "\n" +
                "server.computer_name = MAIL01\n" + "server.domain_dns_name = Example.Test\n" +
                "store.busy_timeout_ms = " + std::to_string(busyMs) + "\n" + extra);
        setenv("QUELLIX_CONFIG", config.c_str(), 1);
        // Opening never makes a store: make it here, as the administration
        // commands do.
        ItemStore::Create(db_);
    }
    ~TempStore() { unsetenv("QUELLIX_CONFIG"); }
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    [[nodiscard]] const std::string& Dir() const { return temp_.Dir(); }
    [[nodiscard]] const std::string& DbPath() const { return db_; }
    // The server's name as URLs use it.
    [[nodiscard]] static std::string Fqdn() { return "mail01.example.test"; }
    [[nodiscard]] static std::string FileBase(const std::string& ns = "example.test") {
        return "file://./backofficestorage/" + ns + "/MBX";
    }
    [[nodiscard]] static std::string HttpBase(const std::string& ns = "example.test") {
        return "http://mail01.example.test/exadmin/" + ns + "/mbx";
    }

private:
    platform::testing::TempPlatform temp_;
    std::string db_;
};

}  // namespace localplatform::testing
