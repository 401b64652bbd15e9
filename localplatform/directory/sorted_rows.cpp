#include "localplatform/directory/sorted_rows.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <queue>
#include <utility>

#include "base/error.h"
#include "base/file_safety.h"
#include "base/spill_file.h"
#include "localplatform/directory/directory_schema.h"

namespace localplatform::directory {

namespace {

// A record: a header (present, then the lengths of the primary key, the
// value and the DN as 32-bit words), the primary key, the value, the DN,
// the packed row. The sort reads the keys in place.
constexpr size_t kHeader = 1 + 3 * sizeof(uint32_t);

struct Key {
    bool present = false;
    std::string_view primary, value, dn, row;
};

Key KeyOf(std::string_view record) {
    uint32_t lengths[3];
    std::memcpy(lengths, record.data() + 1, sizeof lengths);
    Key k;
    k.present = record[0] != 0;
    size_t at = kHeader;
    k.primary = record.substr(at, lengths[0]);
    at += lengths[0];
    k.value = record.substr(at, lengths[1]);
    at += lengths[1];
    k.dn = record.substr(at, lengths[2]);
    k.row = record.substr(at + lengths[2]);
    return k;
}

// Entries without the value first; then the primary key (case and accents
// folded), the full comparison, and the DN, so that the order is total and
// every run merges to the order one sort gives.
bool Before(std::string_view a, std::string_view b, bool descending) {
    const Key x = KeyOf(a), y = KeyOf(b);
    int c = 0;
    if (!x.present || !y.present)
        c = (x.present ? 1 : 0) - (y.present ? 1 : 0);
    else if (x.primary != y.primary)
        c = x.primary < y.primary ? -1 : 1;
    else
        c = CompareForSort(x.value, y.value);
    if (descending) c = -c;
    if (c != 0) return c < 0;
    return x.dn < y.dn;
}

}  // namespace

struct SortedRows::Merge {
    explicit Merge(const std::string& folder)
        : file(folder, folder + " (a directory query's rows, being sorted)", 0) {}
    platform::SpillFile file;
    std::vector<uint64_t> runEnds;
    std::vector<platform::SpillFile::Reader> readers;
    std::vector<std::string> heads;  // each run's next record
    // Runs by their heads, the first in order on top.
    std::vector<size_t> heap;
    bool descending = false;

    bool HeapBefore(size_t x, size_t y) const { return Before(heads[y], heads[x], descending); }

    // The readers' windows share half the sort's memory.
    void Start(size_t memoryBytes) {
        const size_t window =
            std::clamp<size_t>(memoryBytes / 2 / runEnds.size(), size_t{4} << 10, size_t{64} << 10);
        uint64_t from = 0;
        for (uint64_t end : runEnds) {
            readers.emplace_back(file, from, end, window);
            from = end;
        }
        heads.resize(readers.size());
        for (size_t r = 0; r < readers.size(); ++r) {
            if (readers[r].Next(heads[r])) heap.push_back(r);
        }
        std::make_heap(heap.begin(), heap.end(),
                       [this](size_t x, size_t y) { return HeapBefore(x, y); });
    }

    bool Next(std::string& row) {
        if (heap.empty()) return false;
        auto order = [this](size_t x, size_t y) { return HeapBefore(x, y); };
        std::pop_heap(heap.begin(), heap.end(), order);
        const size_t r = heap.back();
        row.assign(KeyOf(heads[r]).row);
        if (readers[r].Next(heads[r])) {
            std::push_heap(heap.begin(), heap.end(), order);
        } else {
            heap.pop_back();
        }
        return true;
    }
};

SortedRows::SortedRows(bool descending, size_t memoryBytes, std::string spillFolder)
    : descending_(descending), memoryBytes_(memoryBytes), spillFolder_(std::move(spillFolder)) {}

SortedRows::~SortedRows() = default;

void SortedRows::Add(std::optional<std::string_view> value, std::string_view dn,
                     std::string_view row) {
    const std::string primary = value ? PrimarySortKey(*value) : std::string();
    const uint32_t lengths[3] = {static_cast<uint32_t>(primary.size()),
                                 static_cast<uint32_t>(value ? value->size() : 0),
                                 static_cast<uint32_t>(dn.size())};
    std::string record;
    record.reserve(kHeader + lengths[0] + lengths[1] + lengths[2] + row.size());
    record.assign(kHeader, '\0');
    record[0] = value ? 1 : 0;
    std::memcpy(record.data() + 1, lengths, sizeof lengths);
    record += primary;
    if (value) record += *value;
    record += dn;
    record += row;
    heldBytes_ += record.capacity() + sizeof(std::string);
    held_.push_back(std::move(record));
    ++count_;
    if (heldBytes_ > memoryBytes_) SpillHeld();
}

void SortedRows::SortHeld() {
    std::sort(held_.begin(), held_.end(), [this](const std::string& a, const std::string& b) {
        return Before(a, b, descending_);
    });
}

void SortedRows::SpillHeld() {
    if (held_.empty()) return;
    if (!merge_) {
        // The private temporary folder may not be made yet: a sort this
        // large is its first use in a process.
        // Made by root among the service account's files, it stays the
        // account's.
        if (::mkdir(spillFolder_.c_str(), 0700) == 0) {
            const platform::UniqueFd fd(
                ::open(spillFolder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.IsOpen()) platform::SettleNewFile(fd.Get(), spillFolder_, 0700);
        } else if (errno != EEXIST) {
            throw platform::Error(
                platform::err::kPathFileAccess,
                platform::Describe("mkdir", spillFolder_, std::strerror(errno), errno));
        }
        merge_ = std::make_unique<Merge>(spillFolder_);
        merge_->descending = descending_;
    }
    SortHeld();
    for (const std::string& record : held_) merge_->file.Append(record);
    merge_->runEnds.push_back(merge_->file.Size());
    std::vector<std::string>().swap(held_);
    heldBytes_ = 0;
}

void SortedRows::Finish() {
    if (merge_) {
        SpillHeld();
        merge_->Start(memoryBytes_);
    } else {
        SortHeld();
    }
}

bool SortedRows::Next(std::string& row) {
    if (merge_) return merge_->Next(row);
    if (given_ >= held_.size()) {
        std::vector<std::string>().swap(held_);
        return false;
    }
    std::string& record = held_[given_++];
    row.assign(KeyOf(record).row);
    std::string().swap(record);  // given: its memory goes now
    return true;
}

}  // namespace localplatform::directory
