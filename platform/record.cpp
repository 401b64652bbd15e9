// Record: one store item opened by URL, read, created or replaced, written
// through its Fields, or deleted.
#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"
#include "platform/store_access_impl.h"

namespace platform {
namespace {

// RecordCreateOptionsEnum values beyond those in ado.h.
constexpr int32_t adCreateNonCollection = 0;
constexpr int32_t adCreateCollection = 0x2000;
constexpr int32_t adOpenIfExists = 0x2000000;

bool Writable(int32_t mode) {
    return (mode & 3) == 2 || (mode & 3) == 3;
}

}  // namespace

void RecordImpl::RequireOpen(const char* operation) const {
    if (!open) {
        throw Error(err::kAdoObjectClosed,
                    Describe(operation, "Record", "the record is closed", err::kAdoObjectClosed));
    }
}

void RecordImpl::RequireWritable(const char* operation) const {
    RequireOpen(operation);
    if (!Writable(mode)) {
        throw Error(err::kPermissionDeniedDb,
                    Describe(operation, url, "the record was opened for reading",
                             err::kPermissionDeniedDb));
    }
}

Variant RecordImpl::Read(const std::string& name) {
    RequireOpen("Fields.Item");
    const std::string k = localplatform::FoldName(name);
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        if (localplatform::FoldName(it->first) == k) return it->second;
    }
    return store->Value(row, name, scheme);
}

void RecordImpl::SetPending(const std::string& name, Variant value) {
    const std::string k = localplatform::FoldName(name);
    std::erase_if(pending, [&](const auto& p) { return localplatform::FoldName(p.first) == k; });
    pending.emplace_back(name, std::move(value));
}

Record::Record() : impl_(std::make_unique<RecordImpl>()), fields_(impl_.get()) {}

Record::~Record() = default;

Record::Record(Record&& other) noexcept : impl_(std::move(other.impl_)), fields_(impl_.get()) {
    other.fields_ = ::platform::Fields(nullptr);
}

Record& Record::operator=(Record&& other) noexcept {
    if (this != &other) {
        impl_ = std::move(other.impl_);
        fields_ = ::platform::Fields(impl_.get());
        other.fields_ = ::platform::Fields(nullptr);
    }
    return *this;
}

void Record::Open(const std::string& source, Connection* cnn, int32_t mode, int32_t createOptions,
                  int32_t /*options: fields are always fetched on demand*/,
                  const std::string& /*user*/, const std::string& /*password*/) {
    if (impl_->open) {
        throw Error(
            err::kAdoObjectOpen,
            Describe("Record.Open", source, "the record is already open", err::kAdoObjectOpen));
    }
    if (mode < 0 || mode > 0x3f) {
        throw Error(err::kAdoInvalidArgument,
                    Describe("Record.Open", source, "invalid mode " + std::to_string(mode),
                             err::kAdoInvalidArgument));
    }
    std::shared_ptr<localplatform::ItemStore> store;
    if (cnn != nullptr) {
        if (cnn->State() != adStateOpen) {
            throw Error(
                err::kAdoObjectClosed,
                Describe("Record.Open", source, "the connection is closed", err::kAdoObjectClosed));
        }
        if (cnn->Impl()->kind != ConnectionImpl::Kind::kStore) {
            throw Error(err::kAdoInvalidArgument,
                        Describe("Record.Open", source, "the connection is not a store connection",
                                 err::kAdoInvalidArgument));
        }
        store = cnn->Impl()->store;
    }
    if (source.empty()) {
        throw Error(err::kAdoInvalidArgument,
                    Describe("Record.Open", "(no URL)", "no URL given", err::kAdoInvalidArgument));
    }
    const auto url = localplatform::ParseStoreUrl(source, localplatform::ThisServerFqdn());
    if (!store) store = localplatform::ItemStore::ForThisThread();

    std::optional<localplatform::ItemRow> row;
    if (createOptions == adFailIfNotExists) {
        row = store->Require(url.segments, source);
    } else {
        const int32_t kindBits = createOptions & ~(adCreateOverwrite | adOpenIfExists);
        const bool overwrite = (createOptions & adCreateOverwrite) != 0;
        const bool openIfExists = (createOptions & adOpenIfExists) != 0;
        if ((kindBits != adCreateNonCollection && kindBits != adCreateCollection) ||
            (overwrite && openIfExists)) {
            throw Error(err::kAdoInvalidArgument,
                        Describe("Record.Open", source,
                                 "unsupported create options " + std::to_string(createOptions),
                                 err::kAdoInvalidArgument));
        }
        if (!Writable(mode)) {
            throw Error(
                err::kPermissionDeniedDb,
                Describe("Record.Open", source, "creating an item needs mode adModeReadWrite",
                         err::kPermissionDeniedDb));
        }
        if (url.segments.size() < 4) {
            throw Error(err::kPermissionDeniedDb,
                        Describe("Record.Open", source, "items are created inside a mailbox only",
                                 err::kPermissionDeniedDb));
        }
        const std::vector<std::string> parentPath(url.segments.begin(), url.segments.end() - 1);
        const auto parent = store->Lookup(parentPath);
        if (!parent || !parent->IsFolder()) {
            throw Error(err::kNotFound,
                        Describe("Record.Open", source, "the parent folder does not exist",
                                 err::kNotFound));
        }
        const std::string& name = url.segments.back();
        row = store->Lookup(url.segments);
        if (row && openIfExists) {
            // keep the existing item
        } else if (row && !overwrite) {
            throw Error(err::kResourceExists,
                        Describe("Record.Open", source, "an item of that name exists",
                                 err::kResourceExists));
        } else if (kindBits == adCreateCollection) {
            if (row) {
                throw Error(err::kResourceExists,
                            Describe("Record.Open", source, "a folder is not replaced",
                                     err::kResourceExists));
            }
            row = store->Get(store->CreateFolder(parent->id, name));
        } else {
            row = store->Get(store->ReplaceItem(parent->id, name));
        }
        if (!row)
            throw Error(err::kNotFound,
                        Describe("Record.Open", source, "the item vanished", err::kNotFound));
    }
    impl_->row = *row;
    impl_->store = std::move(store);
    impl_->url = source;
    impl_->scheme = url.scheme;
    impl_->mode = mode;
    impl_->pending.clear();
    impl_->pendingContent.reset();
    impl_->open = true;
}

int32_t Record::State() const {
    return impl_ && impl_->open ? adStateOpen : adStateClosed;
}

void Record::Close() {
    if (!impl_ || !impl_->open) return;
    impl_->open = false;
    impl_->pending.clear();
    impl_->pendingContent.reset();
    impl_->store.reset();
}

Fields& Record::Fields() {
    impl_->RequireOpen("Record.Fields");
    return fields_;
}

localplatform::ItemRow MoveDestination(localplatform::ItemStore& store,
                                       const std::string& destination) {
    const auto to = localplatform::ParseStoreUrl(destination, localplatform::ThisServerFqdn());
    auto folder = store.Require(to.segments, destination);
    if (!folder.IsFolder()) {
        throw Error(err::kNotFound,
                    Describe("MoveRecord", destination, "not a folder", err::kNotFound));
    }
    return folder;
}

std::string MoveStoreMessage(localplatform::ItemStore& store, const std::string& source,
                             const std::string& destination, int64_t run) {
    const std::string fqdn = localplatform::ThisServerFqdn();
    const auto from = localplatform::ParseStoreUrl(source, fqdn);
    const auto to = localplatform::ParseStoreUrl(destination, fqdn);
    const auto item = store.Require(from.segments, source);
    if (item.IsFolder()) {
        throw Error(
            err::kPermissionDeniedDb,
            Describe("MoveRecord", source, "a folder is not moved", err::kPermissionDeniedDb));
    }
    const auto folder = MoveDestination(store, destination);
    // The source folder's path as given: the manifest needs no walk up the
    // tree for every message a run moves.
    const std::vector<std::string> sourceFolder(from.segments.begin(), from.segments.end() - 1);
    const auto moved = store.MoveItem(item.id, item.parent, folder.id, run, &sourceFolder);
    // The destination's path as given, and the name the item has there: no
    // walk back up the tree for every message a run moves.
    std::vector<std::string> path = to.segments;
    path.push_back(moved.name);
    return localplatform::FormatStoreUrl(to.scheme, fqdn, path);
}

std::string Record::MoveRecord(const std::string& source, const std::string& destination,
                               const std::string& /*user*/, const std::string& /*password*/,
                               int32_t /*options*/, bool /*async*/) {
    auto store = impl_->open ? impl_->store : localplatform::ItemStore::ForThisThread();
    return MoveStoreMessage(*store, source, destination, 0);
}

void Record::DeleteRecord(const std::string& url, bool /*async*/) {
    impl_->RequireWritable("DeleteRecord");
    int64_t id = impl_->row.id;
    if (!url.empty()) {
        const auto parsed = localplatform::ParseStoreUrl(url, localplatform::ThisServerFqdn());
        id = impl_->store->Require(parsed.segments, url).id;
    }
    if (!impl_->store->DeleteItem(id)) {
        throw Error(err::kNotFound, Describe("DeleteRecord", url.empty() ? impl_->url : url,
                                             "no such item", err::kNotFound));
    }
    // The open item may have gone with it (itself or a folder above it).
    if (!impl_->store->Get(impl_->row.id)) Close();
}

}  // namespace platform
