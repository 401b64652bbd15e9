#include "sink/mailboxes.h"

#include "platform/ado.h"
#include "platform/ado_directory.h"
#include "sink/directory_search.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_text.h"
#include "sink/sweep.h"

namespace quellix {

namespace {

// The values of one directory row that the loop uses.
struct MailboxRow {
    std::string homeServer;
    bool markNull = true;
    std::string mark;
    std::string account;
    std::string alias;
    std::string name;
    std::string localPart;
    std::string mailDomain;
};

MailboxRow ReadRow(const platform::Recordset& rs) {
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
    const std::string address = FieldText(rs, "mail");
    const size_t at = address.find('@');
    if (at != std::string::npos && at >= 1) {
        row.localPart = address.substr(0, at);
        row.mailDomain = address.substr(at + 1);
    } else {
        row.localPart = address;
        row.mailDomain = address;
    }
    return row;
}

// Tries the URL forms of the row's folder until the sweep is not refused; the
// error of the last try the row's values allow is the one that is logged.
void SweepMailbox(const RunState& run, MailboxRow row, const std::string& folderName,
                  platform::Date cutoff, const std::string& traversal) {
    if (row.mailDomain.empty()) return;  // no address: nothing to try
    const ServerNames& server = run.thread.server;
    // Names go into the URLs encoded, so each reaches exactly the item it names.
    for (std::string* name : {&row.mailDomain, &row.alias, &row.localPart, &row.account})
        *name = platform::EncodeStoreUrlPath(*name);
    const std::string tail = "/" + platform::EncodeStoreUrlPath(folderName);
    int32_t result = SweepFolder(
        run, "file://./backofficestorage/" + row.mailDomain + "/mbx/" + row.alias + tail, cutoff,
        false, traversal);
    if (result == -1) {
        result = SweepFolder(
            run,
            "http://" + server.ServerFqdn + "/exadmin/" + row.mailDomain + "/mbx/" + row.alias +
                tail,
            cutoff, row.localPart.empty() && row.alias.empty() && row.account.empty(), traversal);
    }
    if (result == -1 && !row.alias.empty()) {
        result = SweepFolder(run, server.StoreFileBase + "/" + row.alias + tail, cutoff, false,
                             traversal);
        if (result == -1) {
            // Forms equal to the alias would repeat a URL already tried.
            if (EqualsNoCase(row.localPart, row.alias)) row.localPart.clear();
            if (EqualsNoCase(row.account, row.alias)) row.account.clear();
            result = SweepFolder(run, server.StoreHttpBase + "/" + row.alias + tail, cutoff,
                                 row.localPart.empty() && row.account.empty(), traversal);
        }
    }
    if (result == -1 && !row.localPart.empty()) {
        result = SweepFolder(run, server.StoreFileBase + "/" + row.localPart + tail, cutoff, false,
                             traversal);
        if (result == -1) {
            if (EqualsNoCase(row.account, row.localPart)) row.account.clear();
            result = SweepFolder(run, server.StoreHttpBase + "/" + row.localPart + tail, cutoff,
                                 row.account.empty(), traversal);
        }
    }
    if (result == -1 && !row.account.empty()) {
        result = SweepFolder(run, server.StoreFileBase + "/" + row.account + tail, cutoff, false,
                             traversal);
        // The last form: its result ends the tries whatever it is.
        if (result == -1) {
            (void)SweepFolder(run, server.StoreHttpBase + "/" + row.account + tail, cutoff, true,
                              traversal);
        }
    }
}

}  // namespace

MailboxesTreated ProcessMailboxes(const RunState& run, const std::string& searchRoot,
                                  const std::string& folderName, platform::Date cutoff,
                                  int16_t allMailboxes, const std::string& traversal) {
    MailboxesTreated treated;
    int32_t& count = treated.count;
    try {
        platform::Connection cnn;
        OpenDirectoryConnection(cnn);
        platform::Recordset rs = SearchDirectory(
            cnn,
            "SELECT sAMAccountName,extensionAttribute8, adspath, cn, "
            "msExchHomeServerName,mailNickName,mail "
            "FROM '" +
                searchRoot +
                "' "
                "WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
        for (; !rs.Eof(); rs.MoveNext()) {
            const MailboxRow row = ReadRow(rs);
            if (!EqualsNoCase(row.homeServer, run.thread.server.ServerName)) continue;
            if (allMailboxes != 1 && (row.markNull || !EqualsNoCase(row.mark, "Quellix"))) continue;
            if (StartsWithNoCase(row.alias, "SystemMailbox{")) continue;
            WriteLog(run.log, std::string(kCrLf) + "Mailbox: " + VisibleText(row.name) + kCrLf +
                                  "Source folder: " + VisibleText(folderName));
            ++count;
            SweepMailbox(run, row, folderName, cutoff, traversal);
        }
        // Rows the directory left out are mailboxes not treated: say so.
        if (const std::string cut = platform::DirectorySearchCut(rs); !cut.empty()) {
            WriteLog(run.log, ErrorEntry(platform::err::kDsSizeLimit, VisibleText(cut)) + " " +
                                  VisibleText(searchRoot));
        }
        rs.Close();
        cnn.Close();
    } catch (const platform::Error& e) {
        if (run.log.Failure()) throw;  // the log, not the directory, failed
        // The directory failed part-way: say so, and report the mailboxes
        // that were treated before it did.
        WriteLog(run.log, ErrorEntry(e.Number(), e.Description()) + " " + VisibleText(searchRoot));
        treated.failure = e;
    }
    return treated;
}

}  // namespace quellix
