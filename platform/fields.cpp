// Fields and Field: a record's properties by schema name, its default
// stream, and the values of recordset rows.
#include <utility>

#include "localplatform/store/item_store.h"
#include "localplatform/store/store_url.h"
#include "platform/store_access_impl.h"

namespace platform {
namespace {

// The default stream is the field without a name.
bool IsStream(const std::string& name) {
    return name.empty();
}

Variant Coerce(int32_t type, Variant value, const std::string& name) {
    if (value.IsNull()) return value;
    switch (type) {
        case adBSTR:
        case adVarWChar:
        case adLongVarWChar:
            return Variant(value.ToString());
        case adSmallInt:
            return Variant(value.ToInt16());
        case adInteger:
            return Variant(value.ToInt32());
        case adBoolean:
            return Variant(value.ToBool());
        case adDate:
            return Variant(value.ToDate());
        case adDouble:
            return Variant(value.ToDouble());
        default:
            throw Error(err::kAdoInvalidArgument,
                        Describe("Fields.Append", name, "unsupported type " + std::to_string(type),
                                 err::kAdoInvalidArgument));
    }
}

}  // namespace

Field::Field(std::string name, RecordImpl* owner, Variant snapshot)
    : name_(std::move(name)), owner_(owner), snapshot_(std::move(snapshot)) {}

Variant Field::Value() const& {
    if (owner_ == nullptr) return snapshot_;
    if (IsStream(name_)) return Variant(GetStream().Bytes());
    return owner_->Read(name_);
}

Variant Field::Value() && {
    if (owner_ == nullptr) return std::move(snapshot_);
    return std::as_const(*this).Value();
}

void Field::SetValue(Variant value) {
    if (owner_ == nullptr) {
        throw Error(
            err::kAdoFeatureNotAvailable,
            Describe("Field.Value", name_, "query results are read-only; open a Record to write",
                     err::kAdoFeatureNotAvailable));
    }
    owner_->RequireWritable("Field.Value");
    if (IsStream(name_)) {
        if (value.Type() == VariantType::Bytes) {
            const auto& b = value.AsBytes();
            owner_->pendingContent = std::string(b.begin(), b.end());
        } else {
            owner_->pendingContent = value.ToStringOrEmpty();
        }
        return;
    }
    owner_->SetPending(name_, std::move(value));
}

Stream Field::GetStream() const {
    if (owner_ == nullptr || !IsStream(name_)) {
        throw Error(err::kTypeMismatch,
                    Describe("Field.GetStream", name_, "only Fields(-1) of a record is a stream",
                             err::kTypeMismatch));
    }
    owner_->RequireOpen("Field.GetStream");
    if (owner_->pendingContent) return Stream(*owner_->pendingContent);
    if (owner_->row.IsFolder()) return Stream();
    return Stream(owner_->store->Content(owner_->row.id));
}

namespace {

std::vector<std::string> AllNames(RecordImpl& r) {
    std::vector<std::string> names = r.store->PropertyNames(r.row);
    for (const auto& [name, value] : r.pending) {
        const std::string k = localplatform::FoldName(name);
        bool known = false;
        for (const auto& n : names) known = known || localplatform::FoldName(n) == k;
        if (!known) names.push_back(name);
    }
    return names;
}

}  // namespace

Field Fields::Item(const std::string& name) {
    if (owner_ == nullptr)
        throw Error(err::kAdoObjectClosed,
                    Describe("Fields.Item", name, "no record", err::kAdoObjectClosed));
    owner_->RequireOpen("Fields.Item");
    if (name.empty()) {
        throw Error(err::kAdoItemNotFound,
                    Describe("Fields.Item", "(empty)", "no property has an empty name",
                             err::kAdoItemNotFound));
    }
    return Field(name, owner_, Variant());
}

Field Fields::Item(int32_t index) {
    if (owner_ == nullptr)
        throw Error(err::kAdoObjectClosed,
                    Describe("Fields.Item", "", "no record", err::kAdoObjectClosed));
    owner_->RequireOpen("Fields.Item");
    if (index == adDefaultStream) return Field(std::string(), owner_, Variant());
    const auto names = AllNames(*owner_);
    if (index < 0 || static_cast<size_t>(index) >= names.size()) {
        throw Error(err::kAdoItemNotFound, Describe("Fields.Item", std::to_string(index),
                                                    "index out of range", err::kAdoItemNotFound));
    }
    return Field(names[static_cast<size_t>(index)], owner_, Variant());
}

int32_t Fields::Count() const {
    if (owner_ == nullptr || !owner_->open) return 0;
    return static_cast<int32_t>(AllNames(*owner_).size());
}

void Fields::Append(const std::string& name, int32_t type, int32_t /*definedSize*/,
                    int32_t /*attributes*/, Variant value) {
    if (owner_ == nullptr)
        throw Error(err::kAdoObjectClosed,
                    Describe("Fields.Append", name, "no record", err::kAdoObjectClosed));
    owner_->RequireWritable("Fields.Append");
    if (name.empty()) {
        throw Error(err::kAdoInvalidArgument,
                    Describe("Fields.Append", "(empty)", "a property needs a name",
                             err::kAdoInvalidArgument));
    }
    owner_->SetPending(name, Coerce(type, std::move(value), name));
}

void Fields::Update() {
    if (owner_ == nullptr)
        throw Error(err::kAdoObjectClosed,
                    Describe("Fields.Update", "", "no record", err::kAdoObjectClosed));
    if (owner_->pending.empty() && !owner_->pendingContent) {
        owner_->RequireOpen("Fields.Update");
        return;
    }
    owner_->RequireWritable("Fields.Update");
    if (owner_->pendingContent) {
        if (owner_->row.IsFolder()) {
            throw Error(err::kAdoFeatureNotAvailable,
                        Describe("Fields.Update", owner_->url, "a folder has no content stream",
                                 err::kAdoFeatureNotAvailable));
        }
        owner_->store->SetContent(owner_->row.id, *owner_->pendingContent);
    }
    owner_->store->WriteProperties(owner_->row.id, owner_->pending);
    owner_->pending.clear();
    owner_->pendingContent.reset();
    auto row = owner_->store->Get(owner_->row.id);
    if (!row)
        throw Error(err::kNotFound,
                    Describe("Fields.Update", owner_->url, "the item vanished", err::kNotFound));
    owner_->row = *row;
}

}  // namespace platform
