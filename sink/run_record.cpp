#include "sink/run_record.h"

#include <exception>
#include <new>

#include "platform/move_manifest.h"

namespace quellix {

template <class Step>
void RunRecord::Write(Step&& step) {
    if (failure_) return;
    try {
        step();
    } catch (const platform::Error& e) {
        failure_ = e;
    } catch (const std::bad_alloc&) {
        failure_.emplace(platform::err::kOutOfMemory, "Out of memory", "RunRecord");
    } catch (const std::exception& e) {
        failure_.emplace(platform::err::kFail, e.what(), "RunRecord");
    }
    // A history that failed is not written again: the record ends here, and
    // a recorder let go without its end reads as interrupted.
    if (failure_) recorder_.reset();
}

void RunRecord::Begin(const std::string& itemUrl, const std::string& parameters) {
    if (begun_) return;
    begun_ = true;
    Write([&] { recorder_ = platform::RunRecorder::Begin(itemUrl, parameters); });
}

void RunRecord::Folder(const platform::RunFolderRecord& folder) {
    if (recorder_) Write([&] { recorder_->Folder(folder); });
}

void RunRecord::PruneManifest() {
    Write([] { (void)platform::PruneMoveManifest(); });
}

void RunRecord::End(const std::string& itemUrl, const std::string& outcome,
                    const std::string& detail) {
    Begin(itemUrl, "");
    if (!recorder_) return;
    Write([&] { recorder_->End(outcome, detail, mailboxes); });
    recorder_.reset();
}

}  // namespace quellix
