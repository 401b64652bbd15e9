#include "selection/destination.h"

#include "platform/ado.h"
#include "platform/ado_directory.h"
#include "selection/directory_search.h"
#include "selection/inbox.h"
#include "selection/run_text.h"

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
// store's own base with the alias, then with the local part. Each try starts
// from the move target the one before it returned.
InboxFound FindInbox(const LogLine& log, const std::string& domainRoot,
                     const std::string& rawMailDomain, const std::string& base,
                     const std::string& rawAlias, const std::string& rawLocalPart,
                     const std::string& moveTarget) {
    // Directory values go into the URLs encoded: each names exactly its item.
    const std::string mailDomain = platform::EncodeStoreUrlPath(rawMailDomain);
    const std::string alias = platform::EncodeStoreUrlPath(rawAlias);
    const std::string localPart = platform::EncodeStoreUrlPath(rawLocalPart);
    InboxFound found{{}, moveTarget};
    const auto tryUrl = [&](const std::string& url) {
        found = ResolveInbox(log, url, "inbox", found.MoveTarget);
    };
    if (!mailDomain.empty() && !alias.empty()) tryUrl(domainRoot + mailDomain + "/mbx/" + alias);
    if (!mailDomain.empty() && found.url.empty() && !localPart.empty()) {
        tryUrl(domainRoot + mailDomain + "/mbx/" + localPart);
    }
    if (found.url.empty() && !alias.empty()) tryUrl(base + "/" + alias);
    if (found.url.empty() && !localPart.empty()) tryUrl(base + "/" + localPart);
    return found;
}

}  // namespace

MoveDestination ResolveDestination(const LogLine& log, const std::string& searchRoot,
                                   const std::string& moveTarget, const std::string& storeHttpBase,
                                   const std::string& storeFileBase,
                                   const std::string& serverFqdn) {
    platform::Connection cnn;
    ErrorState setup;
    setup.Run([&] { OpenDirectoryConnection(cnn); });

    const std::string address = DestinationAddress(moveTarget);
    platform::Recordset rs =
        SearchDirectory(cnn,
                        "SELECT adspath, cn, msExchHomeServerName,mailNickName,mail "
                        "FROM '" +
                            platform::QuoteQueryValue(searchRoot) +
                            "' "
                            "WHERE objectcategory='person' AND MsExchMailboxGuid='*' And mail='" +
                            QuoteQueryValue(address) + "' ORDER BY cn");

    // "*" in a quoted value is a wildcard of the directory's dialect: take the
    // first entry whose address is the destination's, so that an address
    // holding "*" reaches no other mailbox.
    while (!rs.Eof() && !EqualsNoCase(FieldText(rs, "mail"), address)) rs.MoveNext();

    MoveDestination result{moveTarget, {}, {}};
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
            const InboxFound file = FindInbox(log, "file://./backofficestorage/", mailDomain,
                                              storeFileBase, alias, localPart, moveTarget);
            const InboxFound http = FindInbox(log, "http://" + serverFqdn + "/exadmin/", mailDomain,
                                              storeHttpBase, alias, localPart, file.MoveTarget);
            result = {http.MoveTarget, file.url, http.url};
        }
    }
    rs.Close();
    cnn.Close();
    if (!result.Found()) {
        log("Destination folder 'Inbox' is not found in " + VisibleText(moveTarget));
    }
    return result;
}

}  // namespace quellix
