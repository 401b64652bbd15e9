// What the event service remembers between starts: the last instant at which
// each registration fired. It is one small text file, a line per
// registration ("<unix seconds> <TAB> <item URL>"), replaced atomically, so
// a crash leaves either the old record or the new one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace eventd {

class FiringRecord {
public:
    // Reads the file at path; a missing file is an empty record. Raises
    // platform::Error naming the path and line for a file that cannot be
    // read or holds a malformed line.
    static FiringRecord Load(const std::string& path);

    [[nodiscard]] std::optional<int64_t> LastFiring(const std::string& url) const;
    void SetLastFiring(const std::string& url, int64_t instant) { last_[url] = instant; }
    // Forgets registrations that no longer exist.
    void Keep(const std::map<std::string, bool>& urls);

    // Writes the record to its path: a temporary file in the same folder,
    // flushed to disk, then renamed over the old one. Raises platform::Error.
    void Save() const;

private:
    std::string path_;
    std::map<std::string, int64_t> last_;
};

}  // namespace eventd
