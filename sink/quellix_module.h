// QuellixModule: the run driver of the cleanup sink and the run state that
// the mailbox loop, the folder sweep, the destination resolution and the run
// log share. The sink's class is apartment-threaded, so each thread of the
// hosting process has its own copy of the state (thread_local): a run only
// touches the copy of the thread it runs on.
#pragma once

#include <cstdint>
#include <string>

namespace quellix {

// Number of this thread's open run log; 0 = not open in this run.
extern thread_local int16_t LogFileNumber;
// Empty = expired messages are deleted; else the destination as configured,
// replaced by "alias/Inbox" once the destination Inbox is found by its
// file-scheme URL.
extern thread_local std::string MoveTarget;
extern thread_local std::string DestFileFolderUrl;  // file-scheme URL of the destination Inbox
extern thread_local std::string DestHttpFolderUrl;  // http-scheme URL of the destination Inbox
// The report recipient; kept from an earlier run on this thread when a run
// cannot read its property.
extern thread_local std::string ReportRecipient;
extern thread_local std::string
    StoreFileBase;  // "file://./backofficestorage/" + namespace + "/mbx"
extern thread_local std::string
    StoreHttpBase;  // "http://" + ServerFqdn + "/exadmin/" + namespace + "/mbx"
extern thread_local std::string StoreDomain;  // this computer's domain, lower case
extern thread_local std::string ServerFqdn;   // ServerName + "." + StoreDomain
extern thread_local std::string ServerName;   // this computer's short name, lower case

// One cleanup run for the registration item at itemUrl: reads the run
// parameters from the item, decides whether today is a run day, resolves the
// destination when moving, sweeps the mailboxes and logs how many it treated.
// Every failing step is passed over (the next one runs); flags is not used.
// Always returns true.
bool RunCleanup(const std::string& itemUrl, int32_t flags);

}  // namespace quellix
