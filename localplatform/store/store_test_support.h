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
#include "base/testing/run_program.h"
#include "base/testing/temp_platform.h"
#include "localplatform/store/item_store.h"

namespace localplatform::testing {

// text as an SQL string literal, its quotes doubled.
inline std::string SqlLiteral(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

// Makes the store database at dbPath refuse, with a real SQLite error, every
// write of the custom property name (any case) with the given value, or with
// any value when value is empty: a store failure that a test asks for, while
// every other write goes on. Returns sqlite3's message when it cannot.
inline std::string RefusePropertyWrites(const std::string& dbPath, const std::string& name,
                                        const std::string& value = "") {
    std::string when = "lower(NEW.name) = lower(" + SqlLiteral(name) + ")";
    if (!value.empty()) when += " AND NEW.value = " + SqlLiteral(value);
    const std::string sql = "CREATE TRIGGER IF NOT EXISTS test_refuses_" +
                            std::to_string(std::hash<std::string>{}(name + "=" + value)) +
                            " BEFORE INSERT ON props WHEN " + when +
                            " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;";
    const auto outcome = platform::testing::RunProgram({"/usr/bin/sqlite3", dbPath, sql});
    return outcome.code == 0 ? std::string() : "sqlite3: " + outcome.err;
}

// Makes the store at dbPath refuse to delete any item named name, as a
// store that cannot write would. Returns sqlite3's message when it cannot.
inline std::string RefuseDeletes(const std::string& dbPath, const std::string& name) {
    const std::string sql =
        "CREATE TRIGGER IF NOT EXISTS test_refuses_delete BEFORE DELETE ON items"
        " WHEN OLD.name = " +
        SqlLiteral(name) + " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;";
    const auto outcome = platform::testing::RunProgram({"/usr/bin/sqlite3", dbPath, sql});
    return outcome.code == 0 ? std::string() : "sqlite3: " + outcome.err;
}

// Records every run lock of the store at dbPath as held on another host, as
// a process of a second server sharing the store would leave it. Returns
// sqlite3's message when it cannot.
inline std::string MoveRunLocksToHost(const std::string& dbPath, const std::string& host) {
    const auto outcome = platform::testing::RunProgram(
        {"/usr/bin/sqlite3", dbPath, "UPDATE run_locks SET host = " + SqlLiteral(host)});
    return outcome.code == 0 ? std::string() : "sqlite3: " + outcome.err;
}

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
        const std::string config =
            temp_.Write("platform.conf",
                        "state_dir = " + temp_.Dir() + "\n" + "data_dir = " + temp_.Dir() + "\n" +
                            "store = " + db_ + "\n" + "server.computer_name = MAIL01\n" +
                            "server.domain_dns_name = Example.Test\n" +
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
