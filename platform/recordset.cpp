// Recordset: rows of a store query (made here) or of a directory search
// (adopted from the directory backend through RecordsetImpl).
#include <algorithm>

#include "localplatform/store/item_store.h"
#include "localplatform/store/store_query.h"
#include "localplatform/store/store_url.h"
#include "platform/recordset_impl.h"
#include "platform/store_access_impl.h"

namespace platform {
namespace {

// The rows of a store query, made in full when the query runs (so
// RecordCount is known and no statement stays open between calls).
// Deletes go through the store's batch: they commit every few hundred rows
// or 100 ms and at Close (inside a StoreWriteGroup when the group commits),
// so a long sweep never holds the write lock for long and a crash only
// leaves items undeleted.
class StoreRecordset final : public RecordsetImpl {
public:
    StoreRecordset(std::shared_ptr<localplatform::ItemStore> store,
                   localplatform::QueryResult result)
        : store_(std::move(store)),
          result_(std::move(result)),
          deleted_(result_.rows.size(), false) {}

    int32_t RecordCount() const override { return static_cast<int32_t>(result_.rows.size()); }
    bool Eof() const override { return at_ >= result_.rows.size(); }

    void MoveNext() override {
        RequireRow("MoveNext");
        ++at_;
        store_->BatchTick();
    }

    Variant Value(const std::string& name) const override {
        RequireRow("Fields");
        const auto& row = result_.rows[at_];
        // An item the store cannot read: its row is there, to be passed over.
        if (row.unreadable) throw *row.unreadable;
        if (result_.selectAll) {
            for (size_t i = 0; i < row.names.size(); ++i) {
                if (localplatform::SameFolded(row.names[i], name)) return row.values[i];
            }
            return Variant();
        }
        for (size_t i = 0; i < result_.columns.size(); ++i) {
            if (localplatform::SameFolded(result_.columns[i], name)) return row.values[i];
        }
        throw Error(err::kAdoItemNotFound,
                    Describe("Fields", name, "the query did not select this property",
                             err::kAdoItemNotFound));
    }

    bool Delete() override {
        RequireRow("Delete");
        if (deleted_[at_]) {
            throw Error(err::kAdoNoCurrentRecord,
                        Describe("Delete", "Recordset", "the row was already deleted",
                                 err::kAdoNoCurrentRecord));
        }
        store_->BatchDeleteOf(result_.rows[at_].id);
        // An item already gone (another process took it) needs no deleting.
        const bool found = store_->DeleteItem(result_.rows[at_].id);
        deleted_[at_] = true;
        store_->BatchTick();
        return found;
    }

    bool MoveCurrent(const std::string& destinationFolderUrl, int64_t run) override {
        RequireRow("MoveRecord");
        const auto& row = result_.rows[at_];
        if (deleted_[at_]) {
            throw Error(err::kAdoNoCurrentRecord,
                        Describe("MoveRecord", row.href, "the row was already moved or deleted",
                                 err::kAdoNoCurrentRecord));
        }
        if (row.isFolder) {
            throw Error(err::kPermissionDeniedDb,
                        Describe("MoveRecord", row.href, "a folder is not moved",
                                 err::kPermissionDeniedDb));
        }
        // The row knows its item and folder: a run moving a folder's messages
        // looks up the destination once, not both URLs for every message.
        if (destinationUrl_ != destinationFolderUrl) {
            destination_ = MoveDestination(*store_, destinationFolderUrl).id;
            destinationUrl_ = destinationFolderUrl;
        }
        try {
            (void)store_->MoveItem(row.id, row.parent, destination_, run,
                                   &result_.folderPaths.at(row.parent));
        } catch (const Error& e) {
            // Taken or renamed past finding since the query (a mail server
            // renames a message whose flags change): nothing moved, and the
            // caller counts it, as a delete that finds its row gone.
            if (e.Number() == err::kNotFound) {
                const auto now = store_->Get(row.id);
                if (!now || now->parent != row.parent) {
                    deleted_[at_] = true;
                    return false;
                }
            }
            // Said of the message, by its URL, as a move by URL says it.
            throw Error(e.Number(), "MoveRecord(" + row.href + ") failed: " + e.Description());
        }
        deleted_[at_] = true;
        return true;
    }

    void Close() override { store_->SettleBatch(); }

private:
    std::shared_ptr<localplatform::ItemStore> store_;
    localplatform::QueryResult result_;
    std::vector<bool> deleted_;  // or moved
    size_t at_ = 0;
    std::string destinationUrl_;  // of the last move, and its folder's id
    int64_t destination_ = 0;
};

[[noreturn]] void Closed(const char* operation) {
    throw Error(err::kAdoObjectClosed,
                Describe(operation, "Recordset", "the recordset is closed", err::kAdoObjectClosed));
}

}  // namespace

Recordset::Recordset() = default;
Recordset::Recordset(std::unique_ptr<RecordsetImpl> impl) : impl_(std::move(impl)) {}

Recordset::~Recordset() {
    try {
        Close();
    } catch (...) {
        // Batched deletes are committed by the store handle when it goes.
    }
}

Recordset::Recordset(Recordset&&) noexcept = default;

Recordset& Recordset::operator=(Recordset&& other) noexcept {
    if (this != &other) {
        try {
            Close();
        } catch (...) {
        }
        impl_ = std::move(other.impl_);
    }
    return *this;
}

void Recordset::Open(const std::string& query, Connection& cnn, int32_t /*cursorType*/,
                     int32_t /*lockType*/, int32_t /*options*/) {
    if (impl_)
        throw Error(err::kAdoObjectOpen,
                    Describe("Recordset.Open", "Recordset", "the recordset is already open",
                             err::kAdoObjectOpen));
    if (cnn.State() != adStateOpen) {
        throw Error(err::kAdoObjectClosed,
                    Describe("Recordset.Open", "Connection", "the connection is closed",
                             err::kAdoObjectClosed));
    }
    if (cnn.Impl()->kind != ConnectionImpl::Kind::kStore) {
        throw Error(
            err::kAdoFeatureNotAvailable,
            Describe("Recordset.Open", cnn.Provider(), "directory searches run through a Command",
                     err::kAdoFeatureNotAvailable));
    }
    auto store = cnn.Impl()->store;
    const auto parsed = localplatform::ParseQuery(query);
    auto result = localplatform::RunQuery(*store, parsed);
    impl_ = std::make_unique<StoreRecordset>(std::move(store), std::move(result));
}

int32_t Recordset::State() const {
    return impl_ ? adStateOpen : adStateClosed;
}

void Recordset::Close() {
    if (!impl_) return;
    auto impl = std::move(impl_);  // closed even when finishing fails
    impl->Close();
}

int32_t Recordset::RecordCount() const {
    if (!impl_) Closed("RecordCount");
    return impl_->RecordCount();
}

bool Recordset::Eof() const {
    if (!impl_) Closed("EOF");
    return impl_->Eof();
}

void Recordset::MoveNext() {
    if (!impl_) Closed("MoveNext");
    impl_->MoveNext();
}

Field Recordset::Fields(const std::string& name) const {
    if (!impl_) Closed("Fields");
    return Field(name, nullptr, impl_->Value(name));
}

Variant Recordset::FieldValue(const std::string& name) const {
    if (!impl_) Closed("Fields");
    return impl_->Value(name);
}

void Recordset::Delete(int32_t affect) {
    if (!impl_) Closed("Delete");
    if (affect != adAffectCurrent) {
        throw Error(err::kAdoFeatureNotAvailable,
                    Describe("Delete", "Recordset", "only the current row can be deleted",
                             err::kAdoFeatureNotAvailable));
    }
    (void)impl_->Delete();
}

int64_t TakeDeletesFoundGone() {
    return localplatform::ItemStore::TakeDeletesFoundGone();
}

bool DeleteCurrent(Recordset& rs) {
    if (rs.Impl() == nullptr) {
        throw Error(
            err::kAdoObjectClosed,
            Describe("Delete", "Recordset", "the recordset is closed", err::kAdoObjectClosed));
    }
    return rs.Impl()->Delete();
}

}  // namespace platform
