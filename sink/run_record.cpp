#include "sink/run_record.h"

#include <exception>
#include <new>
#include <utility>

#include "platform/move_manifest.h"

namespace quellix {

namespace {

// Runs step; the failure it raises, whatever its kind, as a platform error.
template <class Step>
std::optional<platform::Error> Caught(Step&& step) {
    try {
        step();
    } catch (const platform::Error& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return platform::Error(platform::err::kOutOfMemory, "Out of memory", "RunRecord");
    } catch (const std::exception& e) {
        return platform::Error(platform::err::kFail, e.what(), "RunRecord");
    }
    return std::nullopt;
}

}  // namespace

template <class Step>
void RunRecord::Write(Step&& step) {
    if (failure_) return;
    failure_ = Caught(step);
    // A history that failed is not written again: the record ends here, and
    // a recorder let go without its end reads as interrupted.
    if (failure_) recorder_.reset();
}

void RunRecord::Begin(const std::string& itemUrl, const std::string& parameters, bool moves) {
    if (begun_) return;
    begun_ = true;
    Write([&] { recorder_ = platform::RunRecorder::Open(); });
    int64_t above = 0;
    if (recorder_) Write([&] { above = recorder_->HighestId(); });
    // The identity comes from the store even when the history cannot be
    // written: the moves are recorded under it, and undo finds them.
    storeFailure_ = Caught([&] { storeId_ = platform::BeginStoreRun(itemUrl, moves, above); });
    if (recorder_) Write([&] { recorder_->Start(itemUrl, parameters, storeId_); });
}

void RunRecord::Selected(const std::vector<platform::RunSelectedMailbox>& mailboxes, bool last) {
    if (recorder_) Write([&] { recorder_->Selected(mailboxes, last); });
}

void RunRecord::Folder(const platform::RunFolderRecord& folder) {
    if (holding_) {
        held_.push_back(folder);
    } else if (recorder_) {
        Write([&] { recorder_->Folder(folder); });
    }
}

void RunRecord::WriteHeldFolders(const std::optional<platform::Error>& lost) {
    TakeHeldFolders(*this, lost);
}

RunRecord RunRecord::ForOneMailbox() const {
    RunRecord part;
    part.storeId_ = storeId_;
    part.begun_ = true;
    part.holding_ = true;
    return part;
}

void RunRecord::TakeHeldFolders(RunRecord& part, const std::optional<platform::Error>& lost) {
    part.holding_ = false;
    if (&part != this) {
        foldersFailed += std::exchange(part.foldersFailed, 0);
    }
    std::vector<platform::RunFolderRecord> held;
    held.swap(part.held_);
    for (auto& folder : held) {
        if (lost) {
            ++foldersFailed;
            folder.count = 0;
            folder.bytes = 0;
            folder.error =
                std::to_string(lost->Number()) + " not committed: " + lost->Description();
        }
        Folder(folder);
    }
}

int64_t RunRecord::Id() const {
    if (storeId_ != 0) return storeId_;
    return recorder_ ? recorder_->Id() : 0;
}

void RunRecord::PruneManifest() {
    Write([] { (void)platform::PruneMoveManifest(); });
}

void RunRecord::End(const std::string& itemUrl, const std::string& outcome,
                    const std::string& detail) {
    Begin(itemUrl, "", false);
    if (!recorder_) return;
    Write([&] { metricsFailure_ = recorder_->End(outcome, detail, mailboxes); });
    recorder_.reset();
}

}  // namespace quellix
