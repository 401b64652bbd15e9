#include "selection/inbox.h"

#include "platform/ado.h"
#include "selection/run_text.h"

namespace quellix {

InboxFound ResolveInbox(const LogLine& log, const std::string& mailboxUrl,
                        const std::string& /*folderName*/, const std::string& moveTarget) {
    using namespace platform;
    const bool isHttp = StartsWithNoCase(mailboxUrl, "http:");
    std::string url = mailboxUrl;
    std::string result;
    std::string target = moveTarget;
    ErrorState err;
    Connection cnn;
    Record rec;

    const bool opened = err.Run([&] {
        cnn.SetProvider("ExOLEDB.DataSource");
        cnn.Open(url, "", "", -1);
    });
    if (opened) {
        err.Run([&] {
            rec.Open(url, &cnn, adModeRead, adFailIfNotExists, adOpenRecordUnspecified, "", "");
            if (rec.Fields().Count() >= 1) {
                const Variant inbox = rec.Fields("urn:schemas:httpmail:inbox").Value();
                if (!inbox.IsNull() && !inbox.ToString().empty()) url = inbox.ToString();
            }
        });
        ErrorState ignored;
        if (rec.State() == adStateOpen) ignored.Run([&] { rec.Close(); });
        // Opening the Inbox itself proves it is there.
        if (err.Number() == 0 && err.Run([&] {
                rec.Open(url, &cnn, adModeUnknown, adFailIfNotExists, adOpenRecordUnspecified, "",
                         "");
            })) {
            const size_t p = FindNoCase(url, "/mbx/");
            if (p != std::string::npos && p + 5 < url.size() && !isHttp) {
                target = url.substr(p + 5);
            }
            result = url;
        }
    }

    if (err.Number() != 0) {
        result.clear();
        log(std::string("Destination folder testing:") + kCrLf +
            ErrorEntry(err.Number(), err.Description()));
    } else if (!isHttp) {
        log("Destination folder " + VisibleText(target) + " is ready to collect messages.");
    }
    ErrorState ignored;
    if (rec.State() == adStateOpen) ignored.Run([&] { rec.Close(); });
    if (cnn.State() == adStateOpen) ignored.Run([&] { cnn.Close(); });
    return {result, target};
}

}  // namespace quellix
