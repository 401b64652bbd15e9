// What the setup program's tests share: the server fixture (a temporary
// folder with its own platform configuration, store and embedded directory)
// plus what a server holds for setup: this server's system attendant and
// system mailbox in the directory, the system mailbox in the store, and a
// current directory holding the component module Quellix.so.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "localplatform/directory/testing/slapd_harness.h"
#include "platform/ado.h"
#include "selection/testing/directory_fixture.h"
#include "selection/testing/server_fixture.h"

namespace setup::testing {

enum class Backend { Ldb, Slapd };

// The system mailbox's entry as the registration check lists it.
std::string SystemMailboxListEntry();

// The system attendant of EXCH01 and the system mailbox in its store, as
// LDIF for the fixture's directory.
std::string ServerObjectsLdif();

// Ann (unmarked), Bob (marked) and Cid (unmarked), with the given users
// after them.
std::vector<quellix::testing::User> AnnBobCid(std::vector<quellix::testing::User> more = {});

class SetupFixture : public quellix::testing::ServerFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the users and the server objects into a directory of the given
    // kind; false (the test should skip) when slapd is not installed.
    bool LoadDirectory(const std::vector<quellix::testing::User>& users,
                       Backend backend = Backend::Ldb);
    // "GC://" + the directory's host.
    std::string SearchRoot() const { return "GC://" + host_; }
    // Configuration lines for the directory chosen, then these.
    void ConfigureWith(const std::vector<std::string>& lines);

    // A property of the registration item in the system mailbox, read
    // through the store's web scheme; raises when the item is absent.
    static platform::Variant RegistrationItem(const std::string& name);
    static bool RegistrationItemExists();
    // The custom property of the registration with that suffix.
    static std::string Custom(const char* suffix);

    // The folder holding Quellix.so, the process's current directory.
    std::string moduleDir_;
    std::string host_ = "dc1.example.org";
    std::unique_ptr<localplatform::directory::testing::SlapdHarness> slapd_;

private:
    std::string oldCwd_;
};

}  // namespace setup::testing
