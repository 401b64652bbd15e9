// Test support: a private folder for one test, removed with everything in it
// when the test ends, and the platform configuration files written into it.
// A configuration is written to a fresh path each time, because the platform
// loads each configuration path once, and QUELLIX_CONFIG is pointed at it.
#pragma once

#include <string>

namespace platform::testing {

class TempPlatform {
public:
    // A new folder /tmp/<prefix>XXXXXX, mode 0700.
    explicit TempPlatform(const std::string& prefix = "quellix-test-");
    ~TempPlatform();
    TempPlatform(const TempPlatform&) = delete;
    TempPlatform& operator=(const TempPlatform&) = delete;

    [[nodiscard]] const std::string& Dir() const { return dir_; }
    // Writes "state_dir = <folder>", "data_dir = <folder>" and lines (each ending in a line break)
    // to a new configuration file, makes it the configuration in force and
    // returns its path.
    std::string Configure(const std::string& lines = "");
    // Writes text to a file in the folder; returns its path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string dir_;
    int configs_ = 0;
};

}  // namespace platform::testing
