// What the tests of the cleanup run and of the setup program share: each
// test on its own temporary folder with its own platform configuration
// (store, directory, temporary directory, mail pickup), a store with this
// server's namespace, and helpers to make mailboxes, folders, messages and
// registration items and to read the run log a run left.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/testing/temp_platform.h"
#include "base/variant.h"
#include "localplatform/store/item_store.h"
#include "registration/registration.h"
#include "selection/testing/directory_fixture.h"

namespace quellix::testing {

inline constexpr const char* kNamespace = "example.org";
inline constexpr const char* kServer = "exch01";
inline constexpr const char* kFqdn = "exch01.example.org";
inline constexpr const char* kSystemMailbox = "SystemMailbox{5C3A}";

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Rewrites the platform configuration with extra "key = value" lines.
    void Configure(const std::vector<std::string>& extraLines);

    std::shared_ptr<localplatform::ItemStore> Store();
    // Creates a mailbox (with its standard folders) in ns.
    int64_t Mailbox(const std::string& alias, const std::string& ns = kNamespace,
                    bool systemMailbox = false);
    // The folder at path ("Spam/Old") below a mailbox, created as needed.
    int64_t Folder(const std::string& alias, const std::string& path,
                   const std::string& ns = kNamespace);
    // A message named subject + ".EML" with the given received time (UTC).
    int64_t Message(int64_t folder, const std::string& subject, platform::Date receivedUtc,
                    bool hidden = false);
    // Names of the messages directly in the folder (no ".EML"), sorted.
    std::vector<std::string> Messages(const std::string& alias, const std::string& path,
                                      const std::string& ns = kNamespace);
    // Subjects of the messages directly in the folder, sorted (read from
    // their content: moved copies get store-chosen names).
    std::vector<std::string> Subjects(const std::string& alias, const std::string& path,
                                      const std::string& ns = kNamespace);

    static std::string FileUrl(const std::string& alias, const std::string& path,
                               const std::string& ns = kNamespace);
    static std::string HttpUrl(const std::string& alias, const std::string& path,
                               const std::string& ns = kNamespace);

    // The embedded directory of this test, holding the users.
    void Directory(const std::vector<User>& users);

    // A registration item in this server's system mailbox with the given
    // parameters (mailboxUrl, timer and sink class filled in); returns the
    // item's URL. The system mailbox is created on first use.
    std::string Registration(registration::OnTimerRegistration item);
    // Replaces (or with a Null value removes) one property of the item.
    void SetItemProperty(const std::string& itemUrl, const std::string& name,
                         const platform::Variant& value);

    // The run log as the sink wrote it (empty when there is none).
    std::string ReadLog() const;
    std::string LogPath() const { return tmpDir_ + "/Quellix.LOG"; }

    std::unique_ptr<platform::testing::TempPlatform> temp_;
    std::string dir_;     // the test's own folder (temp_'s)
    std::string tmpDir_;  // the run's temporary directory (private, 0700)
    std::vector<std::string> extraConfig_;
};

// RFC 5322 text of a small message with that subject.
std::string MessageText(const std::string& subject);

// The lines of a log (split at CR LF); fails the test on a bare LF.
std::vector<std::string> LogLines(const std::string& log);

// True when text has the form "[yyyy-mm-dd hh:mm:ss] " at its start.
bool StartsWithNowStamp(const std::string& text);

}  // namespace quellix::testing
