#include "localplatform/history/metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/error.h"
#include "base/unique_fd.h"

namespace localplatform {

namespace {

constexpr const char* kSource = "RunHistory";

[[noreturn]] void Fail(const std::string& operation, const std::string& path, int error) {
    throw platform::Error(platform::err::kPathFileAccess,
                          platform::Describe(operation, path, std::strerror(error), error),
                          kSource);
}

struct Metric {
    const char* name;
    const char* help;
    int64_t (*value)(const RunRecord&);
};

constexpr Metric kMetrics[] = {
    {"quellix_last_run_start_time_seconds", "When the last run started, Unix seconds.",
     [](const RunRecord& r) { return r.started; }},
    {"quellix_last_run_end_time_seconds", "When the last run ended, Unix seconds.",
     [](const RunRecord& r) { return r.ended.value_or(0); }},
    {"quellix_last_run_duration_seconds", "How long the last run took.",
     [](const RunRecord& r) { return r.ended.value_or(r.started) - r.started; }},
    {"quellix_last_run_success",
     "1 when the last run completed, 0 when it failed, completed with failures or was skipped.",
     [](const RunRecord& r) { return int64_t{r.outcome == run_outcome::kCompleted ? 1 : 0}; }},
    {"quellix_last_run_mailboxes_processed", "Mailboxes the last run processed.",
     [](const RunRecord& r) { return r.mailboxes; }},
    {"quellix_last_run_messages_deleted", "Messages the last run deleted.",
     [](const RunRecord& r) { return r.deleted; }},
    {"quellix_last_run_messages_moved", "Messages the last run moved.",
     [](const RunRecord& r) { return r.moved; }},
    {"quellix_last_run_bytes_freed",
     "Total size of the messages the last run deleted or moved out of the swept folders.",
     [](const RunRecord& r) { return r.bytes; }},
    {"quellix_last_run_errors", "Folders the last run failed to sweep.",
     [](const RunRecord& r) { return r.errors; }},
};

}  // namespace

std::string MetricsLabelValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string MetricsText(const std::vector<RunRecord>& lastRuns) {
    std::string out;
    for (const auto& m : kMetrics) {
        out += std::string("# HELP ") + m.name + " " + m.help + "\n";
        out += std::string("# TYPE ") + m.name + " gauge\n";
        for (const auto& r : lastRuns) {
            if (!r.ended) continue;
            out += std::string(m.name) + "{item=\"" + MetricsLabelValue(r.itemUrl) + "\"} " +
                   std::to_string(m.value(r)) + "\n";
        }
    }
    return out;
}

void WriteMetricsFile(const std::string& path, const std::string& text) {
    const std::filesystem::path target(path);
    std::string dir = target.parent_path().string();
    if (dir.empty()) dir = ".";
    // Not ending in ".prom": the collector never reads the file being written.
    std::string temp = path + ".tmp.XXXXXX";
    platform::UniqueFd fd(::mkstemp(temp.data()));
    if (!fd.IsOpen()) Fail("create", temp, errno);
    try {
        if (::fchmod(fd.Get(), 0644) != 0) Fail("chmod", temp, errno);
        for (size_t off = 0; off < text.size();) {
            const ssize_t n = ::write(fd.Get(), text.data() + off, text.size() - off);
            if (n < 0) {
                if (errno == EINTR) continue;
                Fail("write", temp, errno);
            }
            off += static_cast<size_t>(n);
        }
        if (::fsync(fd.Get()) != 0) Fail("fsync", temp, errno);
        if (!fd.Close()) Fail("close", temp, errno);
        if (::rename(temp.c_str(), path.c_str()) != 0) Fail("rename", path, errno);
    } catch (...) {
        // The old file stays as it was; the new one goes.
        ::unlink(temp.c_str());
        throw;
    }
    platform::UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.IsOpen() || ::fsync(dirFd.Get()) != 0) Fail("fsync", dir, errno);
}

}  // namespace localplatform
