#include "selection/mailbox_selection.h"

#include "platform/ado_directory.h"
#include "selection/directory_search.h"
#include "selection/run_text.h"

namespace quellix {

std::string MailboxQuery(const std::string& searchRoot) {
    return "SELECT sAMAccountName,extensionAttribute8, adspath, cn, "
           "msExchHomeServerName,mailNickName,mail "
           "FROM '" +
           platform::QuoteQueryValue(searchRoot) +
           "' "
           "WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn";
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

std::vector<std::string> FolderUrlTries(const MailboxRow& directoryRow, const ServerNames& server,
                                        const std::string& folderName) {
    std::vector<std::string> tries;
    if (directoryRow.mailDomain.empty()) return tries;  // no address: nothing to try
    MailboxRow row = directoryRow;
    for (std::string* name : {&row.mailDomain, &row.alias, &row.localPart, &row.account})
        *name = platform::EncodeStoreUrlPath(*name);
    const std::string tail = "/" + platform::EncodeStoreUrlPath(folderName);
    tries.push_back("file://./backofficestorage/" + row.mailDomain + "/mbx/" + row.alias + tail);
    tries.push_back("http://" + server.ServerFqdn + "/exadmin/" + row.mailDomain + "/mbx/" +
                    row.alias + tail);
    // Then the store's own bases with the alias, the address's local part and
    // the account, each form once: names equal to one before repeat a URL.
    if (!row.alias.empty()) {
        if (EqualsNoCase(row.localPart, row.alias)) row.localPart.clear();
        if (EqualsNoCase(row.account, row.alias)) row.account.clear();
    }
    if (!row.localPart.empty() && EqualsNoCase(row.account, row.localPart)) row.account.clear();
    for (const std::string* name : {&row.alias, &row.localPart, &row.account}) {
        if (name->empty()) continue;
        tries.push_back(server.StoreFileBase + "/" + *name + tail);
        tries.push_back(server.StoreHttpBase + "/" + *name + tail);
    }
    return tries;
}

}  // namespace quellix
