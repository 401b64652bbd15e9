#include "sink/destination.h"

#include "platform/ado.h"
#include "sink/directory_search.h"
#include "sink/dll_folders.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_text.h"

namespace quellix {

std::string DestinationAddress(const std::string& moveTarget) {
    std::string address = moveTarget;
    const size_t open = address.find('(');
    if (open != std::string::npos) {
        address = Trim(address.substr(open + 1));
        const size_t close = address.rfind(')');
        if (close != std::string::npos) address = Trim(address.substr(0, close));
    }
    return address;
}

namespace {

// The first Inbox found under the mailbox URL forms of one scheme:
// "<scheme root><mail domain>/mbx/<alias>", then with the local part, then the
// store's own base with the alias, then with the local part.
std::string FindInbox(const std::string& domainRoot, const std::string& rawMailDomain,
                      const std::string& base, const std::string& rawAlias,
                      const std::string& rawLocalPart) {
    // Directory values go into the URLs encoded: each names exactly its item.
    const std::string mailDomain = platform::EncodeStoreUrlPath(rawMailDomain);
    const std::string alias = platform::EncodeStoreUrlPath(rawAlias);
    const std::string localPart = platform::EncodeStoreUrlPath(rawLocalPart);
    std::string found;
    if (!mailDomain.empty() && !alias.empty()) {
        found = ResolveInbox(domainRoot + mailDomain + "/mbx/" + alias, "inbox");
    }
    if (!mailDomain.empty() && found.empty() && !localPart.empty()) {
        found = ResolveInbox(domainRoot + mailDomain + "/mbx/" + localPart, "inbox");
    }
    if (found.empty() && !alias.empty()) found = ResolveInbox(base + "/" + alias, "inbox");
    if (found.empty() && !localPart.empty()) found = ResolveInbox(base + "/" + localPart, "inbox");
    return found;
}

}  // namespace

std::string ResolveDestination(const std::string& searchRoot, const std::string& moveTarget,
                               const std::string& storeHttpBase, const std::string& storeFileBase) {
    platform::Connection cnn;
    ErrorState setup;
    setup.Run([&] { OpenDirectoryConnection(cnn); });

    const std::string address = DestinationAddress(moveTarget);
    platform::Recordset rs =
        SearchDirectory(cnn,
                        "SELECT adspath, cn, msExchHomeServerName,mailNickName,mail "
                        "FROM '" +
                            searchRoot +
                            "' "
                            "WHERE objectcategory='person' AND MsExchMailboxGuid='*' And mail='" +
                            QuoteQueryValue(address) + "' ORDER BY cn");

    // "*" in a quoted value is a wildcard of the directory's dialect: take the
    // first entry whose address is the destination's, so that an address
    // holding "*" reaches no other mailbox.
    while (!rs.Eof() && !EqualsNoCase(FieldText(rs, "mail"), address)) rs.MoveNext();

    std::string result;
    if (!rs.Eof()) {
        const std::string alias = FieldText(rs, "mailNickName");
        const std::string mail = FieldText(rs, "mail");
        std::string localPart = mail;
        std::string mailDomain = mail;
        const size_t at = mail.find('@');
        if (at != std::string::npos && at >= 1) {
            localPart = mail.substr(0, at);
            mailDomain = mail.substr(at + 1);
        }
        if (!StartsWithNoCase(alias, "SystemMailbox{")) {
            DestFileFolderUrl = FindInbox("file://./backofficestorage/", mailDomain, storeFileBase,
                                          alias, localPart);
            DestHttpFolderUrl = FindInbox("http://" + ServerFqdn + "/exadmin/", mailDomain,
                                          storeHttpBase, alias, localPart);
            result = DestFileFolderUrl + DestHttpFolderUrl;
        }
    }
    rs.Close();
    cnn.Close();
    if (result.empty()) WriteLog("Destination folder 'Inbox' is not found in " + moveTarget);
    return result;
}

}  // namespace quellix
