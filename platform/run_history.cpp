#include "platform/run_history.h"

#include <chrono>
#include <filesystem>

#include "base/error.h"
#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/history/metrics_file.h"
#include "localplatform/history/run_history.h"

namespace platform {

namespace {

// A batch of folders is written when it holds this many, or when the oldest
// has waited this long.
constexpr size_t kFlushFolders = 500;
constexpr std::chrono::milliseconds kFlushInterval{1000};

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

RunSummary Summary(const localplatform::RunRecord& r) {
    return {r.id,         r.itemUrl, r.started, r.ended,     r.outcome, r.detail,
            r.parameters, r.pid,     r.host,    r.mailboxes, r.deleted, r.moved,
            r.bytes,      r.errors,  r.putBack, r.putBackAt};
}

}  // namespace

struct RunRecorder::State {
    localplatform::RunHistory history;
    int64_t id = 0;
    std::vector<localplatform::FolderRecord> pending;
    std::chrono::steady_clock::time_point firstPending;
    bool ended = false;

    void Flush() {
        if (pending.empty()) return;
        history.RecordFolders(id, pending);
        pending.clear();
    }
};

RunRecorder::RunRecorder(std::unique_ptr<State> state) : s_(std::move(state)) {}
RunRecorder::RunRecorder(RunRecorder&&) noexcept = default;
RunRecorder& RunRecorder::operator=(RunRecorder&&) noexcept = default;

RunRecorder::~RunRecorder() {
    if (!s_ || s_->ended || s_->id == 0) return;
    try {
        s_->Flush();
        s_->history.EndRun(s_->id, Now(), localplatform::run_outcome::kInterrupted,
                           "the run ended without recording its outcome", 0);
    } catch (const std::exception&) {
        // The run stays "running" and reads "interrupted" once this
        // process is gone.
    }
}

RunRecorder RunRecorder::Open() {
    return RunRecorder(
        std::make_unique<State>(State{localplatform::RunHistory::OpenCurrent(), 0, {}, {}, false}));
}

int64_t RunRecorder::HighestId() const {
    return s_->history.HighestRunId();
}

void RunRecorder::Start(const std::string& itemUrl, const std::string& parameters, int64_t id) {
    if (s_->id != 0) {
        throw Error(err::kFail, "RunRecorder.Start: the run's record is already begun",
                    "RunHistory");
    }
    s_->id = s_->history.BeginRun(itemUrl, Now(), parameters, id);
}

RunRecorder RunRecorder::Begin(const std::string& itemUrl, const std::string& parameters) {
    RunRecorder recorder = Open();
    recorder.Start(itemUrl, parameters);
    return recorder;
}

void RunRecorder::Selected(const std::vector<RunSelectedMailbox>& mailboxes, bool last) {
    if (!s_ || s_->id == 0 || s_->ended) {
        throw Error(err::kFail, "RunRecorder.Selected: the run's record is not open", "RunHistory");
    }
    std::vector<localplatform::SelectedMailbox> rows;
    rows.reserve(mailboxes.size());
    for (const auto& m : mailboxes) rows.push_back({m.mailbox, m.name});
    s_->history.RecordSelection(s_->id, rows, last);
}

int64_t RunRecorder::Id() const {
    return s_ ? s_->id : 0;
}

void RunRecorder::Folder(const RunFolderRecord& folder) {
    if (!s_ || s_->ended || s_->id == 0) {
        throw Error(err::kFail, "RunRecorder.Folder: the run's record is already ended",
                    "RunHistory");
    }
    if (s_->pending.empty()) s_->firstPending = std::chrono::steady_clock::now();
    s_->pending.push_back({folder.mailbox, folder.url, folder.count, folder.bytes, folder.moved,
                           folder.error, folder.name});
    if (s_->pending.size() >= kFlushFolders ||
        std::chrono::steady_clock::now() - s_->firstPending >= kFlushInterval) {
        s_->Flush();
    }
}

std::optional<Error> RunRecorder::End(const std::string& outcome, const std::string& detail,
                                      int64_t mailboxes) {
    if (!s_ || s_->ended || s_->id == 0) {
        throw Error(err::kFail, "RunRecorder.End: the run's record is already ended", "RunHistory");
    }
    s_->Flush();
    s_->history.EndRun(s_->id, Now(), outcome, detail, mailboxes);
    s_->ended = true;
    const auto path = localplatform::PlatformConfig::Current().Get("metrics.textfile");
    if (!path || path->empty()) return std::nullopt;
    try {
        localplatform::WriteMetricsFile(*path, localplatform::MetricsText(s_->history.LastRuns()));
        return std::nullopt;
    } catch (const Error& e) {
        const std::string said = outcome == "completed" ? "completed with failures" : outcome;
        const std::string why =
            "the metrics file " + VisibleText(*path) + " was not written: " + e.Description();
        s_->history.EndRun(s_->id, Now(), said, detail.empty() ? why : detail + "; " + why,
                           mailboxes);
        return Error(e.Number(), why, "RunHistory");
    }
}

RunHistoryReader::RunHistoryReader(std::unique_ptr<localplatform::RunHistory> history,
                                   std::string path)
    : history_(std::move(history)), path_(std::move(path)) {}
RunHistoryReader::RunHistoryReader(RunHistoryReader&&) noexcept = default;
RunHistoryReader& RunHistoryReader::operator=(RunHistoryReader&&) noexcept = default;
RunHistoryReader::~RunHistoryReader() = default;

RunHistoryReader RunHistoryReader::OpenCurrent() {
    const std::string path = localplatform::PlatformConfig::Current().HistoryPath();
    std::error_code ec;
    // Reading never creates the file: it would be this caller's, and the
    // account that runs the cleanups could not write it.
    if (!std::filesystem::exists(path, ec)) return RunHistoryReader(nullptr, path);
    return RunHistoryReader(
        std::make_unique<localplatform::RunHistory>(localplatform::RunHistory::OpenCurrent()),
        path);
}

std::vector<RunSummary> RunHistoryReader::Runs(size_t last, const std::string& mailbox) const {
    std::vector<RunSummary> out;
    if (!history_) return out;
    for (const auto& r : history_->Runs(last, mailbox)) out.push_back(Summary(r));
    return out;
}

std::vector<RunFolderRecord> RunHistoryReader::Folders(int64_t run,
                                                       const std::string& mailbox) const {
    std::vector<RunFolderRecord> out;
    if (!history_) return out;
    for (const auto& f : history_->Folders(run, mailbox)) {
        out.push_back({f.mailbox, f.url, f.count, f.bytes, f.moved, f.error, f.name});
    }
    return out;
}

std::optional<RunSummary> RunHistoryReader::Run(int64_t id) const {
    if (!history_) return std::nullopt;
    const auto r = history_->Run(id);
    if (!r) return std::nullopt;
    return Summary(*r);
}

std::optional<std::vector<RunSelectedMailbox>> RunHistoryReader::Selection(int64_t run) const {
    if (!history_) return std::nullopt;
    const auto selection = history_->Selection(run);
    if (!selection) return std::nullopt;
    std::vector<RunSelectedMailbox> out;
    out.reserve(selection->size());
    for (const auto& m : *selection) out.push_back({m.mailbox, m.name});
    return out;
}

bool RecordPutBack(int64_t run, int64_t messages) {
    const std::string path = localplatform::PlatformConfig::Current().HistoryPath();
    std::error_code ec;
    // A history never written has no run to tell of; it is not made for it.
    if (!std::filesystem::exists(path, ec)) return false;
    return localplatform::RunHistory::OpenCurrent().RecordPutBack(run, messages, Now());
}

}  // namespace platform
