#include "selection/mailbox_selection.h"

#include <array>

#include "platform/ado_directory.h"
#include "selection/directory_search.h"
#include "selection/run_text.h"

namespace quellix {

namespace {

std::string MailboxSelect(const std::string& searchRoot) {
    return "SELECT sAMAccountName,extensionAttribute8, adspath, cn, "
           "msExchHomeServerName,mailNickName,mail "
           "FROM '" +
           platform::QuoteQueryValue(searchRoot) +
           "' "
           "WHERE objectcategory='person' AND MsExchMailboxGuid='*'";
}

}  // namespace

std::string MailboxQuery(const std::string& searchRoot) {
    return MailboxSelect(searchRoot) + " ORDER BY cn";
}

MailboxRow ReadMailboxRow(const platform::Recordset& rs) {
    MailboxRow row;
    // The home server is the last element of a path "/o=.../cn=Servers/cn=EXCH01".
    std::string home = Upper(FieldText(rs, "msExchHomeServerName"));
    const size_t cn = home.rfind("CN=");
    row.homeServer = cn == std::string::npos ? home : home.substr(cn + 3);
    const platform::Variant mark = rs.Fields("extensionAttribute8").Value();
    row.markNull = mark.IsNull();
    row.mark = mark.ToStringOrEmpty();
    row.account = FieldText(rs, "sAMAccountName");
    row.alias = FieldText(rs, "mailNickName");
    row.name = FieldText(rs, "cn");
    row.address = FieldText(rs, "mail");
    const size_t at = row.address.find('@');
    if (at != std::string::npos && at >= 1) {
        row.localPart = row.address.substr(0, at);
        row.mailDomain = row.address.substr(at + 1);
    } else {
        row.localPart = row.address;
        row.mailDomain = row.address;
    }
    return row;
}

bool IsTreatedMailbox(const MailboxRow& row, const std::string& serverName, int16_t allMailboxes) {
    if (!EqualsNoCase(row.homeServer, serverName)) return false;
    if (allMailboxes != 1 && (row.markNull || !EqualsNoCase(row.mark, "Quellix"))) return false;
    return !StartsWithNoCase(row.alias, "SystemMailbox{");
}

std::string ForEachTreatedMailbox(const std::string& searchRoot, const std::string& serverName,
                                  int16_t allMailboxes,
                                  const std::function<void(const MailboxRow&)>& treat) {
    platform::Connection cnn;
    OpenDirectoryConnection(cnn);
    platform::Recordset rs = SearchDirectory(cnn, MailboxQuery(searchRoot));
    for (; !rs.Eof(); rs.MoveNext()) {
        const MailboxRow row = ReadMailboxRow(rs);
        if (IsTreatedMailbox(row, serverName, allMailboxes)) treat(row);
    }
    std::string cut = platform::DirectorySearchCut(rs);
    rs.Close();
    cnn.Close();
    return cut;
}

std::vector<FolderUrlTry> FolderUrlTries(const MailboxRow& row, const ServerNames& server,
                                         const std::string& folderName) {
    std::vector<FolderUrlTry> tries;
    if (row.mailDomain.empty()) return tries;  // no address: nothing to try
    const std::string domain = platform::EncodeStoreUrlPath(row.mailDomain);
    const std::string alias = platform::EncodeStoreUrlPath(row.alias);
    const std::string tail = "/" + platform::EncodeStoreUrlPath(folderName);
    tries.push_back({"file://./backofficestorage/" + domain + "/mbx/" + alias + tail, {}});
    tries.push_back(
        {"http://" + server.ServerFqdn + "/exadmin/" + domain + "/mbx/" + alias + tail, {}});
    // Then the store's own bases with the alias, the address's local part and
    // the account, each form once: names equal to one before repeat a URL.
    std::string localPart = row.localPart;
    std::string account = row.account;
    if (!row.alias.empty()) {
        if (EqualsNoCase(localPart, row.alias)) localPart.clear();
        if (EqualsNoCase(account, row.alias)) account.clear();
    }
    if (!localPart.empty() && EqualsNoCase(account, localPart)) account.clear();
    const std::array<const std::string*, 3> names = {&row.alias, &localPart, &account};
    for (const std::string* name : names) {
        if (name->empty()) continue;
        const std::string other = name == &row.alias ? std::string() : *name;
        const std::string encoded = platform::EncodeStoreUrlPath(*name);
        for (const std::string* base : {&server.StoreFileBase, &server.StoreHttpBase}) {
            std::string url = *base + "/" + encoded + tail;
            // A mail server's mailbox is its user's login or home, made from
            // the alias: another name there logs in as, or opens the home
            // of, somebody else (or nobody, at the cost of a refused login).
            if (!other.empty() && platform::HeldByMailServer(url)) continue;
            tries.push_back({std::move(url), other});
        }
    }
    return tries;
}

bool SaysWhyUnreached(const FolderUrlTry& attempt, const MailboxRow& row, bool saidBefore) {
    return attempt.otherName.empty() || row.alias.empty() || !saidBefore;
}

std::optional<MailboxRow> OtherOwnerOf(const FolderUrlTry& attempt, const MailboxRow& row,
                                       const std::string& searchRoot,
                                       const std::string& serverName) {
    if (attempt.otherName.empty()) return std::nullopt;
    platform::Connection cnn;
    OpenDirectoryConnection(cnn);
    platform::Recordset rs =
        SearchDirectory(cnn, MailboxSelect(searchRoot) + " AND mailNickName='" +
                                 platform::QuoteQueryValue(attempt.otherName) + "'");
    std::optional<MailboxRow> owner;
    for (; !rs.Eof() && !owner; rs.MoveNext()) {
        MailboxRow other = ReadMailboxRow(rs);
        // The directory compares as its schema says; the store's names
        // compare without regard to case, and so does this.
        if (EqualsNoCase(other.homeServer, serverName) &&
            EqualsNoCase(other.alias, attempt.otherName) && !EqualsNoCase(other.alias, row.alias))
            owner = std::move(other);
    }
    rs.Close();
    cnn.Close();
    return owner;
}

std::string AnotherOwnersMailboxText(const std::string& url, const MailboxRow& owner,
                                     const MailboxRow& row) {
    return "not swept: " + url + " is the mailbox of " + owner.name + " (alias " + owner.alias +
           "), not of " + row.name + " (alias " + row.alias + ")";
}

}  // namespace quellix
