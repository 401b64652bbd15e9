#include "setup/core/directory_queries.h"

#include "base/strfuncs.h"
#include "platform/ads.h"
#include "platform/system.h"

namespace setup {

using platform::EqualsNoCase;
using platform::FindNoCase;
using platform::Trim;
using platform::Upper;

namespace {

constexpr std::string_view kSeparator = " / ";

// A column of the current record as text, Null and any failure as empty: a
// failing statement inside the record loop is passed over.
std::string FieldOrEmpty(const platform::Recordset& rs, const std::string& name) {
    try {
        return rs.Fields(name).Value().ToStringOrEmpty();
    } catch (const std::exception&) {
        return {};
    }
}

std::string ErrorText(const std::exception& e) {
    if (const auto* pe = dynamic_cast<const platform::Error*>(&e)) {
        return std::to_string(pe->Number()) + " " + pe->Description();
    }
    return e.what();
}

}  // namespace

bool IsRegistrationMark(std::string_view value) {
    return EqualsNoCase(value, kRegistrationMark);
}

std::string HomeServerName(std::string_view path) {
    std::string text = Upper(path);
    const size_t p = text.rfind("CN=");
    if (p != std::string::npos && p + 4 < text.size()) return text.substr(p + 3);
    return text;
}

std::string MailboxEntry(std::string_view cn, std::string_view homeServer, std::string_view mail,
                         std::string_view alias) {
    std::string out(cn);
    for (std::string_view part : {homeServer, mail, alias}) {
        out += kSeparator;
        out += part;
    }
    return out;
}

std::string MailboxLabel(std::string_view cn, std::string_view mail) {
    return std::string(cn) + " (" + std::string(mail) + ")";
}

std::string MailboxListQuery(const std::string& searchRoot) {
    return "SELECT extensionAttribute8, adspath, cn, msExchHomeServerName,mailNickName,mail "
           "FROM '" +
           platform::QuoteQueryValue(searchRoot) +
           "' "
           "WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn";
}

std::string SystemAttendantQuery(const std::string& searchRoot) {
    return "SELECT adspath, cn, homeMDB ,msExchHomeServerName,mailNickName,mail "
           "FROM '" +
           platform::QuoteQueryValue(searchRoot) +
           "' "
           "WHERE cn='Microsoft System Attendant' ORDER BY cn";
}

std::string IdentityQuery(const std::string& searchRoot, std::string_view userName) {
    return "SELECT sAMAccountName, cn, mail, objectCategory "
           "FROM '" +
           platform::QuoteQueryValue(searchRoot) +
           "' "
           "WHERE objectcategory='person' AND sAMAccountName='" +
           platform::QuoteQueryValue(userName) + "'";
}

std::string MarkQuery(const std::string& searchRootLdap, std::string_view address) {
    return "SELECT extensionAttribute8, adspath "
           "FROM '" +
           platform::QuoteQueryValue(searchRootLdap) +
           "' "
           "WHERE objectcategory='person' AND mail='" +
           platform::QuoteQueryValue(address) + "'";
}

std::string MailboxAliasQuery(const std::string& searchRoot, std::string_view address) {
    return "SELECT mailNickName, mail "
           "FROM '" +
           platform::QuoteQueryValue(searchRoot) +
           "' "
           "WHERE objectcategory='person' AND MsExchMailboxGuid='*' AND mail='" +
           platform::QuoteQueryValue(address) + "'";
}

platform::Command MakeDirectoryCommand(platform::Connection& cnn, std::string text,
                                       QueryKind kind) {
    using platform::Variant;
    platform::Command cmd;
    cmd.SetActiveConnection(cnn);
    cmd.SetCommandText(std::move(text));
    cmd.Properties("searchscope").SetValue(Variant(int32_t{2}));  // ADS_SCOPE_SUBTREE
    cmd.Properties("cache results").SetValue(Variant(kind != QueryKind::Identity));
    cmd.Properties("Chase Referrals").SetValue(Variant(int32_t{0x60}));  // ALWAYS
    if (kind != QueryKind::Identity) {
        cmd.Properties("Page Size").SetValue(Variant(int16_t{100}));
        cmd.Properties("Size Limit").SetValue(Variant(int16_t{30000}));
        cmd.Properties("Timeout").SetValue(Variant(int16_t{120}));
    }
    return cmd;
}

void OpenDirectoryConnection(platform::Connection& cnn) {
    cnn.SetProvider("adsDSOobject");
    cnn.Open("Active Directory Provider", "", "", -1);
}

MailboxLists GetUsersWithMailboxes(platform::Connection& cnn, const std::string& searchRoot,
                                   const std::string& shortComputerName,
                                   const std::string& destFolderText,
                                   const ProgressCallback& progress) {
    MailboxLists lists;
    platform::Command cmd =
        MakeDirectoryCommand(cnn, MailboxListQuery(searchRoot), QueryKind::MailboxList);
    platform::Recordset rs = cmd.Execute();
    lists.recordCount = rs.RecordCount();
    Progress bar(lists.recordCount);
    while (!rs.Eof()) {
        const std::string percent = bar.UpdateStatus(1);
        if (progress) progress(bar, percent);

        const std::string homeServerPath = FieldOrEmpty(rs, "msExchHomeServerName");
        const std::string homeServer = homeServerPath.empty() ? "" : HomeServerName(homeServerPath);
        if (EqualsNoCase(homeServer, shortComputerName)) {
            const std::string alias = FieldOrEmpty(rs, "mailNickName");
            const std::string cn = FieldOrEmpty(rs, "cn");
            const std::string mail = FieldOrEmpty(rs, "mail");
            if (!platform::StartsWithNoCase(alias, "SystemMailbox{")) {
                if (IsRegistrationMark(FieldOrEmpty(rs, kMarkAttribute))) {
                    lists.unregisterList.push_back(MailboxEntry(cn, homeServer, mail, alias));
                } else if (!EqualsNoCase(destFolderText, MailboxLabel(cn, mail))) {
                    lists.registerList.push_back(MailboxEntry(cn, homeServer, mail, alias));
                }
            }
        }
        rs.MoveNext();
    }
    lists.cut = platform::DirectorySearchCut(rs);
    rs.Close();
    return lists;
}

ErrorEntry MailboxListCutEntry(const std::string& cut, const std::string& searchRoot) {
    return ErrorEntry{platform::Date::NowLocal(), platform::VisibleText(searchRoot),
                      platform::err::kDsSizeLimit, platform::VisibleText(cut)};
}

std::string GetSystemAttendantHomeMDB(platform::Connection& cnn, const std::string& searchRoot,
                                      const std::string& shortComputerName) {
    std::string result;
    platform::Command cmd =
        MakeDirectoryCommand(cnn, SystemAttendantQuery(searchRoot), QueryKind::SystemAttendant);
    platform::Recordset rs = cmd.Execute();
    while (!rs.Eof()) {
        std::string server;
        const std::string adsPath = Upper(FieldOrEmpty(rs, "adspath"));
        const size_t p = FindNoCase(adsPath, "CN=Microsoft System Attendant");
        if (p != std::string::npos) {
            const size_t q = FindNoCase(adsPath, "CN=", p + 1);
            if (q != std::string::npos) {
                const size_t c = adsPath.find(',', q + 1);
                if (c != std::string::npos) server = Trim(adsPath.substr(0, c));
            }
        }
        server = HomeServerName(server);
        if (EqualsNoCase(server, shortComputerName)) result = Trim(FieldOrEmpty(rs, "HOMeMdb"));
        rs.MoveNext();
    }
    rs.Close();
    return result;
}

std::string GetCurrentUserName() {
    std::string buffer(255, ' ');
    uint32_t size = 255;
    if (!platform::GetUserNameA(buffer.data(), &size) || size == 0) return {};
    return buffer.substr(0, size - 1);
}

std::string IdentityDomain(std::string_view category) {
    const size_t p = FindNoCase(category, "DC=");
    if (p == std::string_view::npos) return {};
    std::string text(category.substr(p + 3));
    const size_t start = text.find_first_not_of(' ');
    text.erase(0, start == std::string::npos ? text.size() : start);
    if (text.empty()) return {};
    size_t last = text.rfind("DC=");
    if (last == std::string::npos) last = 0;
    const size_t comma = text.find(',', last);
    if (comma != std::string::npos && comma > 1) text.resize(comma);
    std::string squeezed;
    for (char c : text) {
        if (c != ' ') squeezed += c;
    }
    std::string out;
    for (size_t i = 0; i < squeezed.size();) {
        if (squeezed.compare(i, 4, ",DC=") == 0) {
            out += '.';
            i += 4;
        } else {
            out += squeezed[i++];
        }
    }
    return out;
}

std::string FillIdentityField(platform::Connection& cnn, const std::string& searchRoot,
                              const std::string& userName) {
    std::string identity = userName;
    platform::Command cmd =
        MakeDirectoryCommand(cnn, IdentityQuery(searchRoot, userName), QueryKind::Identity);
    platform::Recordset rs = cmd.Execute();
    // The first record that is this very account: "*" in a name is the
    // dialect's wildcard and must not propose somebody else's domain.
    while (!rs.Eof() && !EqualsNoCase(FieldOrEmpty(rs, "sAMAccountName"), userName)) rs.MoveNext();
    if (!rs.Eof()) {
        const std::string domain = IdentityDomain(FieldOrEmpty(rs, "objectCategory"));
        if (!domain.empty()) identity = domain + "\\" + userName;
    }
    rs.Close();
    return identity;
}

std::optional<std::string> MailboxAliasOf(platform::Connection& cnn, const std::string& searchRoot,
                                          const std::string& address) {
    std::optional<std::string> alias;
    platform::Command cmd =
        MakeDirectoryCommand(cnn, MailboxAliasQuery(searchRoot, address), QueryKind::Identity);
    platform::Recordset rs = cmd.Execute();
    // "*" in an address is the dialect's wildcard: only the owner of this
    // very address counts.
    for (; !rs.Eof() && !alias; rs.MoveNext()) {
        if (EqualsNoCase(FieldOrEmpty(rs, "mail"), address)) {
            const std::string nick = FieldOrEmpty(rs, "mailNickName");
            if (!nick.empty()) alias = nick;
        }
    }
    rs.Close();
    return alias;
}

MarkOutcome MarkMailbox(const std::string& address, const std::optional<std::string>& mark,
                        const std::string& searchRootLdap) {
    MarkOutcome outcome;
    auto note = [&outcome](const std::exception& e) {
        if (outcome.failure.empty()) outcome.failure = ErrorText(e);
        outcome.kind = MarkOutcome::Kind::Failed;
    };
    platform::Connection cnn;
    try {
        OpenDirectoryConnection(cnn);
        platform::Command cmd;
        cmd.SetActiveConnection(cnn);
        cmd.SetCommandText(MarkQuery(searchRootLdap, address));
        platform::Recordset rs = cmd.Execute();
        // The query selects no address, so each candidate is confirmed on
        // its object: only the owner of this exact address is written.
        for (; !rs.Eof(); rs.MoveNext()) {
            const std::string adsPath = FieldOrEmpty(rs, "adspath");
            std::optional<platform::AdsObject> user;
            try {
                user.emplace(platform::AdsObject::Bind(adsPath));
            } catch (const std::exception& e) {
                note(e);
                continue;
            }
            std::string mail;
            try {
                mail = user->Get("mail").ToStringOrEmpty();
            } catch (const std::exception&) {
                // no address: not the owner
            }
            if (!EqualsNoCase(mail, address)) continue;
            outcome.adsPath = adsPath;
            outcome.kind = MarkOutcome::Kind::Written;
            outcome.failure.clear();
            try {
                if (mark) {
                    user->Put(kMarkAttribute, platform::Variant(*mark));
                } else {
                    user->PutEx(platform::ADS_PROPERTY_CLEAR, kMarkAttribute, platform::Variant());
                }
            } catch (const std::exception& e) {
                note(e);
            }
            try {
                user->SetInfo();
            } catch (const std::exception& e) {
                note(e);
            }
            break;
        }
        rs.Close();
    } catch (const std::exception& e) {
        note(e);
    }
    cnn.Close();
    return outcome;
}

}  // namespace setup
