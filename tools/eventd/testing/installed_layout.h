// The installed layout of a server whose event service runs the cleanup
// under a service account, as the README lays it out: root's state folder
// (0755) with the component catalog, the class registry and the
// configuration (root's, readable by the account's group, 0640); the
// account's data folder (0750) with the store, the directory, the history,
// the temporary and pickup folders and node_exporter's textfile folder
// (0755), where the run's metrics go. Nothing else is set by hand: root
// fills it with the ordinary commands, and the firings run as the account.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/testing/run_program.h"
#include "base/testing/system_account.h"
#include "setup/testing/setup_fixture.h"

namespace eventd::testing {

class InstalledLayout : public setup::testing::SetupFixture {
protected:
    // After SetupFixture::SetUp: lays the folders out for account, writes
    // the configuration with extraConfig ("key = value\n" lines) appended,
    // and makes the system mailbox and a directory of users, as root.
    void LayOut(const platform::testing::SystemAccount& account, const std::string& extraConfig,
                const std::vector<quellix::testing::User>& users) {
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        data_ = dir_ + "/data";
        ASSERT_EQ(mkdir(data_.c_str(), 0750), 0);
        ASSERT_EQ(chown(data_.c_str(), account.Uid(), account.Gid()), 0);
        config_ = temp_->Configure(
            "data_dir = " + data_ + "\nserver.computer_name = " + quellix::testing::kServer +
            "\nserver.domain_dns_name = " + quellix::testing::kNamespace +
            "\ntimezone.active_time_bias = 0\neventd.host = " + QUELLIX_HOST_PATH +
            "\neventd.run_limit_s = 120\nmetrics.textfile = " + data_ + "/textfile/quellix.prom\n" +
            extraConfig);
        ASSERT_EQ(chown(config_.c_str(), 0, account.Gid()), 0);
        ASSERT_EQ(chmod(config_.c_str(), 0640), 0);
        ASSERT_EQ(mkdir((data_ + "/textfile").c_str(), 0755), 0);
        ASSERT_EQ(chown((data_ + "/textfile").c_str(), account.Uid(), account.Gid()), 0);
        tmpDir_ = data_ + "/tmp";  // the default temporary folder, where the run log goes
        Store()->CreateNamespace(quellix::testing::kNamespace);
        Mailbox(quellix::testing::kSystemMailbox, quellix::testing::kNamespace, true);
        quellix::testing::LoadEmbeddedDirectory(data_ + "/directory.ldb", users,
                                                setup::testing::ServerObjectsLdif());
    }

    // quellix-setup ARGS on this layout's configuration, as root.
    platform::testing::ProgramOutcome Setup(std::vector<std::string> args,
                                            const std::string& input = "") {
        args.insert(args.begin(), {QUELLIX_SETUP_PATH, "--config", config_});
        return platform::testing::RunProgram(args, input);
    }

    std::string data_, config_;
};

}  // namespace eventd::testing
