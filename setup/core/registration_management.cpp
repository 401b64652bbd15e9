#include "setup/core/registration_management.h"

#include "base/strfuncs.h"
#include "base/variant.h"
#include "platform/ado_directory.h"

namespace setup {

using platform::Variant;

const char* const kHiddenItemCondition =
    " AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";

namespace {

constexpr const char* kSystemMailboxesSearched =
    "WHERE cn='SystemMailbox{*' AND objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn";

// The eight custom values, in the order the read-back selects them.
struct Column {
    const char* suffix;
    std::string StoredParameters::*value;
};
constexpr Column kColumns[] = {
    {registration::kFolderName, &StoredParameters::folderName},
    {registration::kExpirationPeriod, &StoredParameters::expirationPeriod},
    {registration::kRun, &StoredParameters::run},
    {registration::kTimeToRun, &StoredParameters::timeToRun},
    {registration::kMailboxToMove, &StoredParameters::mailboxToMove},
    {registration::kReportRecipient, &StoredParameters::reportRecipient},
    {registration::kAffectAllMailboxes, &StoredParameters::allMailboxes},
    {registration::kIncludeSubfolders, &StoredParameters::includeSubfolders},
};

// The integer value of a text as the platform language converts it; nothing
// when it does not convert (the statement that would set a control fails and
// the control keeps its value).
std::optional<int> IntegerValue(std::string_view text) {
    try {
        return Variant(std::string(text)).ToInt16();
    } catch (const platform::Error&) {
        return std::nullopt;
    }
}

std::optional<int> InList(std::optional<int> index, int count) {
    if (index && *index >= 0 && *index < count) return index;
    return std::nullopt;
}

std::string DirectoryText(const platform::Recordset& rs, const std::string& name) {
    return rs.Fields(name).Value().ToStringOrEmpty();
}

ErrorEntry UnexpectedError(const std::exception& e, std::string where) {
    return ErrorEntry::FromError(platform::Error(platform::err::kFail, e.what()), std::move(where));
}

}  // namespace

// ---- The three store operations ----------------------------------------

CreateResult CreateOnTimerEventRegistration(const registration::OnTimerRegistration& item,
                                            bool logErrors) {
    CreateResult out;
    platform::Error failure(0, "");
    out.folderUrl = registration::CreateOnTimerEventRegistration(item, &failure);
    if (out.folderUrl.empty() && logErrors) {
        out.error = ErrorEntry::FromError(failure, item.mailboxUrl);
    }
    return out;
}

DeleteResult DeleteOnTimerEventRegistration(const std::string& mailboxUrl,
                                            const std::string& folderPath,
                                            const std::string& itemName, bool logErrors) {
    DeleteResult out;
    try {
        platform::Connection cnn;
        cnn.SetProvider("exoledb.datasource");
        cnn.SetConnectionString(mailboxUrl);
        cnn.Open("", "", "", -1);
        const std::string itemUrl = mailboxUrl + "/" + folderPath + "/" + itemName;
        platform::Record rec;
        rec.Open(itemUrl, &cnn, platform::adModeReadWrite, platform::adFailIfNotExists,
                 platform::adOpenRecordUnspecified, "", "");
        rec.DeleteRecord(itemUrl, false);
        rec.Close();
        cnn.Close();
        out.deleted = true;
    } catch (const platform::Error& e) {
        if (logErrors) out.error = ErrorEntry::FromError(e, mailboxUrl);
    } catch (const std::exception& e) {
        if (logErrors) out.error = UnexpectedError(e, mailboxUrl);
    }
    return out;
}

std::string ReadBackQuery(const std::string& folderUrl, const std::string& itemName,
                          const std::string& extraCondition, const std::string& prefix) {
    std::string q = "select ";
    for (const auto& c : kColumns) q += " \"" + prefix + c.suffix + "\",";
    q += " \"DAV:displayname\"";
    q += " from scope (" +
         platform::QuoteStoreQueryText(
             "shallow traversal of " + platform::QuoteStoreQueryText(folderUrl, '"'), '\'') +
         ") ";
    q += " WHERE \"DAV:displayname\" = " + platform::QuoteStoreQueryText(itemName, '\'');
    q += extraCondition;
    return q;
}

ReadResult ReadOnTimerEventRegistration(const std::string& mailboxUrl,
                                        const std::string& folderPath, const std::string& itemName,
                                        const std::string& extraCondition, bool logErrors,
                                        platform::Connection* cnn, bool checkOnly,
                                        const std::string& prefix) {
    ReadResult out;
    platform::Connection own;
    platform::Connection* c = cnn;
    std::string where = mailboxUrl;
    try {
        if (!c) {
            own.SetProvider("ExOLEDB.DataSource");
            c = &own;
        }
        c->SetConnectionString(mailboxUrl);
        c->Open(mailboxUrl, "", "", -1);

        const std::string folderUrl = mailboxUrl + "/" + folderPath;
        where = folderUrl;
        // A folder that does not exist is a failure, not "no registration".
        platform::Record rec;
        rec.Open(folderUrl, c, platform::adModeRead, platform::adFailIfNotExists,
                 platform::adOpenRecordUnspecified, "", "");
        platform::Recordset rs;
        rs.Open(ReadBackQuery(folderUrl, itemName, extraCondition, prefix), *c, -1, -1, -1);
        if (rs.Eof()) {
            out.result = 0;
        } else {
            out.result = 1;
            if (!checkOnly) {
                for (const auto& col : kColumns) {
                    const Variant v = rs.Fields(prefix + col.suffix).Value();
                    if (!v.IsNull()) out.values.*col.value = platform::Trim(v.ToString());
                }
            }
        }
        rs.Close();
        rec.Close();
    } catch (const platform::Error& e) {
        out.result = -1;
        if (logErrors) out.error = ErrorEntry::FromError(e, where);
    } catch (const std::exception& e) {
        out.result = -1;
        if (logErrors) out.error = UnexpectedError(e, where);
    }
    // The caller's connection goes back closed; one made here goes with it.
    try {
        if (c && c->State() == platform::adStateOpen) c->Close();
    } catch (const std::exception&) {
    }
    if (!checkOnly) out.controls = ShowParameters(out.values);
    return out;
}

// ---- Values of the window -----------------------------------------------

void ParameterControls::Merge(const ParameterControls& later) {
    const auto take = [](auto& mine, const auto& theirs) {
        if (theirs) mine = theirs;
    };
    take(txtSpamFolder, later.txtSpamFolder);
    take(txtAgeLimit, later.txtAgeLimit);
    take(ComboRun, later.ComboRun);
    take(ComboStartHour, later.ComboStartHour);
    take(ComboStartMin, later.ComboStartMin);
    take(ComboStartAmPm, later.ComboStartAmPm);
    take(txtDestFolder, later.txtDestFolder);
    take(OptMove, later.OptMove);
    take(txtReportRecipient, later.txtReportRecipient);
    take(CheckAllMbx, later.CheckAllMbx);
    take(CheckDeep, later.CheckDeep);
}

TimeToRunIndexes DecodeTimeToRun(std::string_view timeToRun) {
    TimeToRunIndexes out;
    const size_t colon = timeToRun.find(':');
    if (colon == std::string_view::npos) return out;
    if (auto hour = IntegerValue(timeToRun.substr(0, colon))) out.hour = InList(*hour - 1, 12);
    const size_t blank = timeToRun.find(' ');
    if (blank == std::string_view::npos || blank <= colon) return out;
    out.minute = InList(IntegerValue(timeToRun.substr(colon + 1, blank - colon - 1)), 60);
    out.amPm = platform::Trim(timeToRun.substr(blank + 1)) == "PM" ? 1 : 0;
    return out;
}

ParameterControls ShowParameters(const StoredParameters& values) {
    ParameterControls out;
    if (!values.folderName.empty()) out.txtSpamFolder = values.folderName;
    if (!values.expirationPeriod.empty()) out.txtAgeLimit = values.expirationPeriod;
    if (!values.run.empty()) out.ComboRun = InList(IntegerValue(values.run), 9);
    if (!values.timeToRun.empty() && values.timeToRun.find(':') != std::string::npos) {
        const TimeToRunIndexes t = DecodeTimeToRun(values.timeToRun);
        out.ComboStartHour = t.hour;
        out.ComboStartMin = t.minute;
        out.ComboStartAmPm = t.amPm;
    }
    out.txtDestFolder = values.mailboxToMove;
    out.OptMove = !values.mailboxToMove.empty();
    out.txtReportRecipient = values.reportRecipient;
    out.CheckAllMbx = InList(IntegerValue(values.allMailboxes), 2);
    out.CheckDeep = InList(IntegerValue(values.includeSubfolders), 2);
    return out;
}

ParameterControls DefaultParameterControls() {
    ParameterControls out;
    out.txtSpamFolder = "Spam";
    out.txtAgeLimit = "14";
    out.ComboRun = 0;         // "Never run"
    out.ComboStartHour = 11;  // "12"
    out.ComboStartMin = 0;    // "00"
    out.ComboStartAmPm = 0;   // "AM"
    return out;
}

std::optional<int16_t> AgeLimitValue(std::string_view text) {
    const std::string t = platform::Trim(text);
    if (t.empty()) return std::nullopt;
    int value = 0;
    for (const char c : t) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 32767) return std::nullopt;
    }
    return static_cast<int16_t>(value);
}

// ---- The system mailbox -------------------------------------------------

std::string SystemMailboxEntry(std::string_view mail, std::string_view nickname) {
    return " /  / " + std::string(mail) + " / " + std::string(nickname);
}

std::string AliasFromAddress(std::string_view address, bool atLast) {
    const size_t at = atLast ? address.rfind('@') : address.find('@');
    // At position 2 or later (1-based): an address starting with "@" has no alias.
    if (at == std::string_view::npos || at == 0) return std::string(address);
    return std::string(address.substr(0, at));
}

std::string SystemMailboxQuery(std::string_view searchRoot) {
    return "SELECT adspath, cn, homeMDB ,msExchHomeServerName,mailNickName,mail " +
           std::string("FROM '") + platform::QuoteQueryValue(searchRoot) + "' " +
           kSystemMailboxesSearched;
}

RegistrationCheck CheckOnTimerEventRegistrationExists(SetupContext& context,
                                                      std::string_view systemAttendantHomeMdb) {
    RegistrationCheck out;
    bool logFlag = false;

    platform::Command cmd;
    cmd.SetActiveConnection(context.cnn);
    cmd.SetCommandText(SystemMailboxQuery(context.strSearchRoot));
    cmd.Properties("searchscope").SetValue(Variant(int32_t{2}));
    cmd.Properties("cache results").SetValue(Variant(true));
    cmd.Properties("Chase Referrals").SetValue(Variant(int32_t{96}));
    cmd.Properties("Page Size").SetValue(Variant(int16_t{100}));
    cmd.Properties("Size Limit").SetValue(Variant(int16_t{30000}));
    cmd.Properties("Timeout").SetValue(Variant(int16_t{120}));
    platform::Recordset rs = cmd.Execute();

    for (; !rs.Eof(); rs.MoveNext()) {
        const std::string home = platform::Trim(DirectoryText(rs, "homeMDB"));
        if (home.empty() || !platform::EqualsNoCase(home, systemAttendantHomeMdb)) continue;
        const std::string nickname = DirectoryText(rs, "mailNickName");
        const std::string mail = DirectoryText(rs, "mail");
        const std::string alias = AliasFromAddress(mail, false);

        int16_t result = 0;
        const auto read = [&](const std::string& mailboxUrl) {
            out.urlsTried.push_back(mailboxUrl);
            ReadResult r = ReadOnTimerEventRegistration(
                mailboxUrl, registration::kFolderPath, registration::kItemName,
                kHiddenItemCondition, logFlag, &context.cnn1, false, registration::kProductWord);
            out.controls.Merge(r.controls);
            if (r.error) out.errors.push_back(*r.error);
            if (r.result == 1) out.storedTimeToRun = r.values.timeToRun;
            result = r.result;
        };
        // Without a nickname no try is made: the result counts as "not found".
        if (!nickname.empty()) {
            read(context.FolderURL + "/" + nickname);
            if (result == -1) {
                if (alias.empty()) logFlag = true;
                read(context.FileFolderURL + "/" + nickname);
            }
            if (!alias.empty() && result == -1) {
                read(context.FolderURL + "/" + alias);
                if (result == -1) {
                    logFlag = true;
                    read(context.FileFolderURL + "/" + alias);
                }
            }
        }
        out.result = result;
        if (result != 1) out.controls.Merge(DefaultParameterControls());
        out.SysMbxList.push_back(SystemMailboxEntry(mail, nickname));
        break;
    }
    rs.Close();
    return out;
}

std::vector<std::string> RegistrationMailboxUrls(const SetupContext& context,
                                                 const std::vector<std::string>& sysMbxList) {
    if (sysMbxList.empty()) return {};
    const SystemMailboxNames names = SplitSystemMailboxEntry(sysMbxList.front());
    std::vector<std::string> urls = {context.FolderURL + "/" + names.alias};
    if (!names.nickname.empty()) {
        urls.push_back(context.FolderURL + "/" + names.nickname);
        urls.push_back(context.FileFolderURL + "/" + names.nickname);
    }
    urls.push_back(context.FileFolderURL + "/" + names.alias);
    return urls;
}

RemoveResult RemoveOnTimerEventRegistration(const SetupContext& context,
                                            const std::vector<std::string>& sysMbxList) {
    RemoveResult out;
    for (const auto& url : RegistrationMailboxUrls(context, sysMbxList)) {
        out.urlsTried.push_back(url);
        // Read before it goes: a replacement that cannot be written puts
        // this back.
        auto saved = registration::SaveRegistration(registration::ItemUrlIn(url));
        // An item read here that will not go is worth its error; at a URL
        // that holds none, the failure only says so.
        DeleteResult deleted = DeleteOnTimerEventRegistration(
            url, registration::kFolderPath, registration::kItemName, saved.has_value());
        if (deleted.deleted) {
            out.deletedAt = url;
            out.removed = std::move(saved);
            out.stays.reset();
            break;
        }
        if (deleted.error) out.stays = std::move(deleted.error);
    }
    return out;
}

}  // namespace setup
