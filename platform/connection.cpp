// Connection: chooses the provider and, for the store, binds this thread's
// handle on the store database; transactions begun here cover every write
// made on this thread's handle until CommitTrans.
#include "localplatform/config/platform_config.h"
#include "localplatform/store/item_store.h"
#include "localplatform/store/run_lock.h"
#include "localplatform/store/store_query.h"
#include "localplatform/store/store_url.h"
#include "platform/store_access_impl.h"

namespace platform {

std::string QuoteStoreQueryText(const std::string& value, char quote) {
    return localplatform::QuoteQueryText(value, quote);
}

std::string EncodeStoreUrlPath(const std::string& text) {
    return localplatform::EncodeUrlPath(text);
}

void StartStoreRun() {
    localplatform::ItemStore::StartRun();
}

int StoreRunWorkers() {
    return localplatform::PlatformConfig::Current().RunWorkers();
}

bool SameStoreItem(const std::string& a, const std::string& b) {
    try {
        // The run lock's key: the item's place in the store, folded.
        return localplatform::StoreRunLock::KeyFor(a) == localplatform::StoreRunLock::KeyFor(b);
    } catch (const Error&) {
        return false;
    }
}

bool HeldByMailServer(const std::string& url) {
    localplatform::StoreUrl parsed;
    try {
        parsed = localplatform::ParseStoreUrl(url, localplatform::StoreUrlHost(url));
    } catch (const Error&) {
        return false;
    }
    return localplatform::PlatformConfig::Current().MailStoreFor(parsed.segments.at(0)).has_value();
}

struct ReadOnlyStore::Scope {
    localplatform::ItemStore::ReadOnly readOnly;
};
ReadOnlyStore::ReadOnlyStore() : scope_(std::make_unique<Scope>()) {}
ReadOnlyStore::~ReadOnlyStore() = default;

struct StoreWriteGroup::Scope {
    localplatform::ItemStore::WriteGroup group;
};
StoreWriteGroup::StoreWriteGroup() : group_(std::make_unique<Scope>()) {}
StoreWriteGroup::~StoreWriteGroup() = default;

void StoreWriteGroup::Tick() {
    localplatform::ItemStore::WriteGroup::Tick();
}
void StoreWriteGroup::Commit() {
    localplatform::ItemStore::WriteGroup::Commit();
}
bool StoreWriteGroup::Idle() {
    return localplatform::ItemStore::WriteGroup::Idle();
}
std::optional<Error> StoreWriteGroup::TakeLost() {
    return localplatform::ItemStore::WriteGroup::TakeLost();
}

ConnectionImpl::Kind ProviderKind(const std::string& provider) {
    const std::string p = localplatform::FoldName(provider);
    if (p == "exoledb.datasource") return ConnectionImpl::Kind::kStore;
    if (p == "adsdsoobject") return ConnectionImpl::Kind::kDirectory;
    return ConnectionImpl::Kind::kNone;
}

Connection::Connection() : impl_(std::make_unique<ConnectionImpl>()) {}

Connection::~Connection() {
    try {
        if (impl_) Close();
    } catch (...) {
        // A destructor reports nothing; the transaction is rolled back by
        // the store handle when it goes.
    }
}

Connection::Connection(Connection&&) noexcept = default;

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        try {
            if (impl_) Close();
        } catch (...) {
        }
        impl_ = std::move(other.impl_);
    }
    return *this;
}

void Connection::SetProvider(std::string provider) {
    if (impl_->open) {
        throw Error(err::kAdoObjectOpen, Describe("set Provider", provider,
                                                  "the connection is open", err::kAdoObjectOpen));
    }
    impl_->provider = std::move(provider);
}

const std::string& Connection::Provider() const {
    return impl_->provider;
}
void Connection::SetConnectionString(std::string text) {
    impl_->connectionString = std::move(text);
}
const std::string& Connection::ConnectionString() const {
    return impl_->connectionString;
}

void Connection::Open(const std::string& source, const std::string& /*user*/,
                      const std::string& /*password*/, int32_t /*options*/) {
    if (impl_->open) {
        throw Error(err::kAdoObjectOpen,
                    Describe("Connection.Open", source, "the connection is already open",
                             err::kAdoObjectOpen));
    }
    const auto kind = ProviderKind(impl_->provider);
    if (kind == ConnectionImpl::Kind::kNone) {
        throw Error(err::kAdoProviderNotFound,
                    Describe("Connection.Open", impl_->provider, "provider cannot be found",
                             err::kAdoProviderNotFound));
    }
    if (kind == ConnectionImpl::Kind::kDirectory) {
        // The directory provider binds per command; opening only marks the
        // connection usable by a Command.
        impl_->kind = kind;
        impl_->open = true;
        return;
    }
    const std::string url = source.empty() ? impl_->connectionString : source;
    if (url.empty()) {
        throw Error(err::kAdoInvalidArgument,
                    Describe("Connection.Open", "(no URL)", "no store URL given",
                             err::kAdoInvalidArgument));
    }
    const auto parsed = localplatform::ParseStoreUrl(url, localplatform::ThisServerFqdn());
    auto store = localplatform::ItemStore::ForThisThread();
    (void)store->Require(parsed.segments, url);  // a URL that names nothing fails here
    impl_->store = std::move(store);
    impl_->kind = kind;
    impl_->open = true;
}

int32_t Connection::State() const {
    return impl_ && impl_->open ? adStateOpen : adStateClosed;
}

void Connection::Close() {
    if (!impl_->open) return;
    auto store = std::move(impl_->store);
    const bool rollback = impl_->ownsTransaction;
    impl_->ownsTransaction = false;
    impl_->open = false;
    impl_->kind = ConnectionImpl::Kind::kNone;
    if (rollback && store) store->RollbackTransaction();
}

namespace {

localplatform::ItemStore& StoreOf(ConnectionImpl& c, const char* operation) {
    if (!c.open) {
        throw Error(
            err::kAdoObjectClosed,
            Describe(operation, "Connection", "the connection is closed", err::kAdoObjectClosed));
    }
    if (c.kind != ConnectionImpl::Kind::kStore) {
        throw Error(err::kAdoFeatureNotAvailable,
                    Describe(operation, c.provider, "transactions are a store feature",
                             err::kAdoFeatureNotAvailable));
    }
    return *c.store;
}

}  // namespace

void Connection::BeginTrans() {
    StoreOf(*impl_, "BeginTrans").BeginTransaction();
    impl_->ownsTransaction = true;
}

void Connection::CommitTrans() {
    auto& store = StoreOf(*impl_, "CommitTrans");
    if (!impl_->ownsTransaction) {
        throw Error(err::kFail, Describe("CommitTrans", "Connection",
                                         "no transaction was begun here", err::kFail));
    }
    impl_->ownsTransaction = false;
    store.CommitTransaction();
}

void Connection::RollbackTrans() {
    auto& store = StoreOf(*impl_, "RollbackTrans");
    if (!impl_->ownsTransaction) {
        throw Error(err::kFail, Describe("RollbackTrans", "Connection",
                                         "no transaction was begun here", err::kFail));
    }
    impl_->ownsTransaction = false;
    store.RollbackTransaction();
}

}  // namespace platform
