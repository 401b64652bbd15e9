#include "registration/registration.h"

#include <cctype>

#include "base/strfuncs.h"
#include "platform/ado.h"

namespace registration {

namespace {

using platform::EqualsNoCase;

bool ReadNumber(std::string_view text, size_t& pos, size_t minDigits, size_t maxDigits, int& out) {
    size_t n = 0;
    out = 0;
    while (pos < text.size() && n < maxDigits &&
           std::isdigit(static_cast<unsigned char>(text[pos]))) {
        out = out * 10 + (text[pos] - '0');
        ++pos;
        ++n;
    }
    return n >= minDigits;
}

}  // namespace

std::optional<platform::Date> ComputeTimerStartTime(platform::Date nowLocal,
                                                    std::string_view timeToRun,
                                                    double biasMinutes) {
    // "h:mm AM" as the setup program composes it from its three lists.
    size_t pos = 0;
    int hour = 0;
    int minute = 0;
    if (!ReadNumber(timeToRun, pos, 1, 2, hour) || hour < 1 || hour > 12) return std::nullopt;
    if (pos >= timeToRun.size() || timeToRun[pos] != ':') return std::nullopt;
    ++pos;
    if (!ReadNumber(timeToRun, pos, 2, 2, minute) || minute > 59) return std::nullopt;
    if (pos >= timeToRun.size() || timeToRun[pos] != ' ') return std::nullopt;
    const std::string_view half = timeToRun.substr(pos + 1);
    const bool pm = EqualsNoCase(half, "PM");
    if (!pm && !EqualsNoCase(half, "AM")) return std::nullopt;
    // 12 AM is midnight, 12 PM noon.
    const int hour24 = (hour % 12) + (pm ? 12 : 0);

    const platform::DateParts day = nowLocal.AddDays(-14).Parts();
    const platform::Date local =
        platform::Date::FromParts(day.year, day.month, day.day, hour24, minute, 0);
    return local.AddMinutes(biasMinutes);
}

std::string CreateOnTimerEventRegistration(const OnTimerRegistration& item,
                                           platform::Error* failure) {
    using namespace platform;
    std::string folderUrl = item.mailboxUrl + "/" + item.folderPath;
    try {
        Connection cnn;
        cnn.SetProvider("exoledb.datasource");
        cnn.SetConnectionString(item.mailboxUrl);
        cnn.Open(item.mailboxUrl, "", "", -1);
        // The transaction makes the create-or-overwrite and every property one
        // write: a failure below leaves the old item, or none, never half of one
        // (closing the connection without a commit rolls back).
        cnn.BeginTrans();

        Record rec;
        rec.Open(folderUrl + "/" + item.itemName, &cnn, adModeReadWrite, adCreateOverwrite,
                 adDelayFetchFields, "", "");
        rec.Fields(kContentClassProperty).SetValue(Variant(kContentClassStoreEventReg));
        rec.Fields(kEventMethod).SetValue(Variant(item.eventMethod));
        rec.Fields(kSinkClassProperty).SetValue(Variant(item.sinkClass));
        rec.Fields(kTimerStartTime).SetValue(Variant(item.timerStartTime));
        rec.Fields(kTimerInterval).SetValue(Variant(item.timerInterval));

        auto& fields = rec.Fields();
        const auto name = [&](const char* suffix) { return CustomProperty(suffix, item.prefix); };
        fields.Append(name(kMailboxToMove), adBSTR, 0, -1, Variant(item.mailboxToMove));
        if (!item.searchRoot.empty()) {
            fields.Append(name(kSearchRoot), adBSTR, 0, -1, Variant(item.searchRoot));
        }
        if (!item.folderName.empty()) {
            fields.Append(name(kFolderName), adBSTR, 0, -1, Variant(item.folderName));
        }
        fields.Append(name(kExpirationPeriod), adSmallInt, 0, -1, Variant(item.expirationPeriod));
        fields.Append(name(kRun), adSmallInt, 0, -1, Variant(item.run));
        rec.Fields(kEnabled).SetValue(Variant(item.run >= 1));
        fields.Append(name(kTimeToRun), adBSTR, 0, -1, Variant(item.timeToRun));
        fields.Append(name(kReportRecipient), adBSTR, 0, -1, Variant(item.reportRecipient));
        fields.Append(name(kAffectAllMailboxes), adBSTR, 0, -1, Variant(item.allMailboxes));
        fields.Append(name(kIncludeSubfolders), adBSTR, 0, -1, Variant(item.includeSubfolders));
        rec.Fields(kIsHiddenProperty).SetValue(Variant(true));

        fields.Update();
        rec.Close();
        cnn.CommitTrans();
        cnn.Close();
        return folderUrl;
    } catch (const platform::Error& e) {
        if (failure) *failure = e;
        return {};
    } catch (const std::exception& e) {
        if (failure) *failure = platform::Error(platform::err::kFail, e.what());
        return {};
    }
}

namespace {

// The store computes its own "DAV:" properties; of those, only the content
// class and the hidden flag are written by the writer above.
bool Restorable(const std::string& name) {
    return !platform::StartsWithNoCase(name, "DAV:") || EqualsNoCase(name, kContentClassProperty) ||
           EqualsNoCase(name, kIsHiddenProperty);
}

}  // namespace

std::optional<SavedRegistration> SaveRegistration(const std::string& itemUrl,
                                                  platform::Error* failure) {
    using namespace platform;
    try {
        Record rec;
        rec.Open(itemUrl, nullptr, adModeRead, adFailIfNotExists, adOpenRecordUnspecified, "", "");
        SavedRegistration saved;
        saved.itemUrl = itemUrl;
        auto& fields = rec.Fields();
        const int32_t count = fields.Count();
        for (int32_t i = 0; i < count; ++i) {
            const Field field = fields.Item(i);
            if (!Restorable(field.Name())) continue;
            Variant value = field.Value();
            if (!value.IsNull()) saved.properties.emplace_back(field.Name(), std::move(value));
        }
        rec.Close();
        return saved;
    } catch (const platform::Error& e) {
        if (failure) *failure = e;
    } catch (const std::exception& e) {
        if (failure) *failure = platform::Error(platform::err::kFail, e.what());
    }
    return std::nullopt;
}

bool RestoreRegistration(const SavedRegistration& saved, platform::Error* failure) {
    using namespace platform;
    try {
        // The connection opens on the folder: the item itself is gone.
        const std::string folderUrl = saved.itemUrl.substr(0, saved.itemUrl.rfind('/'));
        Connection cnn;
        cnn.SetProvider("exoledb.datasource");
        cnn.SetConnectionString(folderUrl);
        cnn.Open(folderUrl, "", "", -1);
        cnn.BeginTrans();
        Record rec;
        rec.Open(saved.itemUrl, &cnn, adModeReadWrite, adCreateOverwrite, adDelayFetchFields, "",
                 "");
        for (const auto& [name, value] : saved.properties) rec.Fields(name).SetValue(value);
        rec.Fields().Update();
        rec.Close();
        cnn.CommitTrans();
        cnn.Close();
        return true;
    } catch (const platform::Error& e) {
        if (failure) *failure = e;
    } catch (const std::exception& e) {
        if (failure) *failure = platform::Error(platform::err::kFail, e.what());
    }
    return false;
}

}  // namespace registration
