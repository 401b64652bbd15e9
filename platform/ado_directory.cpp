// The directory provider's Command: the query text and the search
// properties go to the local platform's directory, and the rows come back
// as a Recordset.
#include "platform/ado_directory.h"

#include <strings.h>

#include <optional>

#include "base/strfuncs.h"
#include "localplatform/config/platform_config.h"
#include "localplatform/directory/directory_service.h"
#include "platform/recordset_impl.h"

namespace platform {
namespace {

// The provider's own properties; any other name is not in the collection.
bool IsProviderProperty(const std::string& lower) {
    static const char* const kNames[] = {"searchscope", "cache results", "chase referrals",
                                         "page size",   "size limit",    "timeout",
                                         "time limit",  "asynchronous",  "deref aliases",
                                         "sort on",     "tombstone",     "column names only"};
    for (const char* n : kNames) {
        if (lower == n) return true;
    }
    return false;
}

// A numeric property, or fallback when it is not set.
int32_t NumberOr(const std::map<std::string, Property>& properties, const char* name,
                 int32_t fallback) {
    auto it = properties.find(name);
    if (it == properties.end() || it->second.Value().IsNull()) return fallback;
    try {
        return it->second.Value().ToInt32();
    } catch (const Error&) {
        throw Error(err::kAdoInvalidArgument,
                    Describe("Command.Execute", name, "the property value is not a number",
                             err::kAdoInvalidArgument));
    }
}

// The rows of a directory search, read from the directory as the cursor
// moves (see localplatform::directory::QueryRows).
class DirectoryRecordset final : public RecordsetImpl {
public:
    explicit DirectoryRecordset(std::unique_ptr<localplatform::directory::QueryRows> rows)
        : rows_(std::move(rows)) {
        eof_ = !rows_->Next();
    }

    // Counting reads the rows not read yet (kept, packed, for the cursor).
    int32_t RecordCount() const override { return static_cast<int32_t>(rows_->Count()); }
    bool Eof() const override { return eof_; }

    void MoveNext() override {
        RequireRow("MoveNext");
        eof_ = !rows_->Next();
    }

    Variant Value(const std::string& name) const override {
        RequireRow("Fields");
        const auto& columns = rows_->Columns();
        for (size_t i = 0; i < columns.size(); ++i) {
            const std::string& column = columns[i];
            if (column.size() != name.size() ||
                strncasecmp(column.data(), name.data(), name.size()) != 0)
                continue;
            const std::optional<std::string_view> v = rows_->Value(i);
            if (!v) return Variant();
            if (rows_->Binary()[i]) return Variant(std::vector<uint8_t>(v->begin(), v->end()));
            return Variant(std::string(*v));
        }
        throw Error(err::kAdoItemNotFound,
                    Describe("Fields", name, "the query did not select this attribute",
                             err::kAdoItemNotFound));
    }

    bool Delete() override {
        throw Error(err::kAdoFeatureNotAvailable,
                    Describe("Delete", "directory search", "directory rows cannot be deleted",
                             err::kAdoFeatureNotAvailable));
    }

    bool MoveCurrent(const std::string& /*destinationFolderUrl*/, int64_t /*run*/) override {
        throw Error(err::kAdoFeatureNotAvailable,
                    Describe("MoveRecord", "directory search", "directory rows cannot be moved",
                             err::kAdoFeatureNotAvailable));
    }

    void Close() override {}

    [[nodiscard]] const std::string& Cut() const { return rows_->Cut(); }

private:
    std::unique_ptr<localplatform::directory::QueryRows> rows_;
    bool eof_ = true;
};

}  // namespace

std::string QuoteQueryValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

Property& Command::Properties(const std::string& name) {
    const std::string key = Lower(name);
    if (!IsProviderProperty(key)) {
        throw Error(err::kAdoItemNotFound,
                    Describe("Properties", name, "item cannot be found in the collection",
                             err::kAdoItemNotFound));
    }
    return properties_[key];
}

Recordset Command::Execute() {
    if (cnn_ == nullptr || Lower(cnn_->Provider()) != "adsdsoobject" ||
        cnn_->State() != adStateOpen) {
        throw Error(err::kAdoObjectClosed,
                    Describe("Command.Execute", "ActiveConnection",
                             "operation is not allowed when the object is closed: an open "
                             "\"adsDSOobject\" connection is needed",
                             err::kAdoObjectClosed));
    }
    localplatform::directory::SearchOptions options;
    options.scope = NumberOr(properties_, "searchscope", 2);
    options.pageSize = NumberOr(properties_, "page size", 0);
    options.sizeLimit = NumberOr(properties_, "size limit", 0);
    // "Timeout" is the client's wait, "Time Limit" the server's; either ends
    // the search, the shorter first.
    const int32_t timeout = NumberOr(properties_, "timeout", 0);
    const int32_t timeLimit = NumberOr(properties_, "time limit", 0);
    options.timeoutSeconds =
        timeout > 0 && (timeLimit <= 0 || timeout < timeLimit) ? timeout : timeLimit;
    if (options.pageSize < 0 || options.sizeLimit < 0 || options.timeoutSeconds < 0) {
        throw Error(
            err::kAdoInvalidArgument,
            Describe("Command.Execute", "search properties",
                     "a negative page size, size limit or time-out", err::kAdoInvalidArgument));
    }
    auto rows = localplatform::directory::OpenDirectoryQuery(
        localplatform::PlatformConfig::Current(), text_, options);
    return Recordset(std::make_unique<DirectoryRecordset>(std::move(rows)));
}

std::string DirectorySearchCut(const Recordset& rs) {
    const auto* rows = dynamic_cast<const DirectoryRecordset*>(rs.Impl());
    return rows != nullptr ? rows->Cut() : std::string();
}

}  // namespace platform
