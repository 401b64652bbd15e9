// The rows of a query with ORDER BY, in order: every row must be read
// before the first can be given, and a directory of a million users does
// not fit in a service's memory. Rows are sorted in memory up to a bound;
// past it, each sorted run is spilled to an unnamed file in the private
// temporary folder, and the runs are merged as the rows are read.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace localplatform::directory {

class SortedRows {
public:
    // descending: ORDER BY ... DESC. memoryBytes: the rows held before a
    // run is spilled to spillFolder.
    SortedRows(bool descending, size_t memoryBytes, std::string spillFolder);
    ~SortedRows();
    SortedRows(const SortedRows&) = delete;
    SortedRows& operator=(const SortedRows&) = delete;

    // Adds a row (packed by the caller) under the entry's sort value
    // (nullopt: it has none, and comes first as the directory's own sort
    // puts it) and its normalised DN, which orders equal values. Raises
    // platform::Error when a run cannot be spilled.
    void Add(std::optional<std::string_view> value, std::string_view dn, std::string_view row);
    // Ends the adding; rows are read from here on.
    void Finish();
    // The rows added.
    [[nodiscard]] size_t Count() const { return count_; }
    // The next row in order into row; false after the last. Raises
    // platform::Error when a spilled run cannot be read back.
    [[nodiscard]] bool Next(std::string& row);

private:
    struct Merge;
    void SortHeld();
    void SpillHeld();

    bool descending_;
    size_t memoryBytes_;
    std::string spillFolder_;
    std::vector<std::string> held_;  // records: key and row (see sorted_rows.cpp)
    size_t heldBytes_ = 0;
    size_t given_ = 0;  // records of held_ given (when nothing was spilled)
    size_t count_ = 0;
    std::unique_ptr<Merge> merge_;
};

}  // namespace localplatform::directory
