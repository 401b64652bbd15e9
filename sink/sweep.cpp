#include "sink/sweep.h"

#include "isodate/iso_date.h"
#include "platform/ado.h"
#include "sink/quellix_module.h"
#include "sink/run_log.h"
#include "sink/run_text.h"

namespace quellix {

namespace {

std::function<void(const std::string&)>& MoveFaultHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

// Moves the current row's message into the destination Inbox of the run
// (the one of its URL's scheme). The store moves it in one step, keeping
// its bytes and received time: it is then in the Inbox and gone from the
// folder, or still in the folder only.
void MoveMessage(const std::string& href, const MoveDestination& move) {
    using namespace platform;
    const std::string& dest =
        StartsWithNoCase(href, "http:") ? move.DestHttpFolderUrl : move.DestFileFolderUrl;
    if (MoveFaultHook()) MoveFaultHook()(href);
    Record msgRec;
    (void)msgRec.MoveRecord(href, dest);
}

}  // namespace

void SetMoveFaultHook(std::function<void(const std::string&)> hook) {
    MoveFaultHook() = std::move(hook);
}

std::string SweepQuery(const std::string& folderUrl, platform::Date cutoff,
                       const std::string& traversal) {
    const std::string iso =
        ISODate::FormatIsoDate(ISODate::ConvertTimeZone(cutoff, 13, 13, "", ""));
    return std::string("select ") + " \"urn:schemas:mailheader:content-class\"" + ", \"DAV:href\"" +
           ", \"DAV:displayname\"" + ", \"DAV:creationdate\"" + ", \"DAV:getlastmodified\"" +
           " from scope (" +
           platform::QuoteStoreQueryText(
               traversal + " traversal of " + platform::QuoteStoreQueryText(folderUrl, '"'), '\'') +
           ") " + " WHERE \"DAV:ishidden\" = false " + " AND \"DAV:iscollection\" = false " +
           " AND (\"urn:schemas:httpmail:datereceived\" <= CAST(\"" + iso + "\" as 'dateTime'))";
}

int32_t SweepFolder(const RunState& run, const std::string& folderUrl, platform::Date cutoff,
                    bool logErrors, const std::string& traversal) {
    using namespace platform;
    int32_t result = -1;
    ErrorState err;
    {
        Connection cnn;
        Record rec;
        Recordset rs;
        err.Run([&] {
            cnn.SetProvider("ExOLEDB.DataSource");
            cnn.SetConnectionString(folderUrl);
            cnn.Open(folderUrl, "", "", -1);
            // Fails when the folder does not exist at this URL.
            rec.Open(folderUrl, &cnn, adModeRead, adFailIfNotExists, adOpenRecordUnspecified, "",
                     "");
            rs.Open(SweepQuery(folderUrl, cutoff, traversal), cnn, -1, -1, -1);
            result = rs.RecordCount();
            while (!rs.Eof()) {
                const std::string href = rs.Fields("DAV:href").Value().ToStringOrEmpty();
                (void)rs.Fields("DAV:displayname").Value();
                (void)rs.Fields("DAV:creationdate").Value();
                (void)rs.Fields("DAV:getlastmodified").Value();
                if (run.move.MoveTarget.empty()) {
                    rs.Delete(adAffectCurrent);
                } else {
                    MoveMessage(href, run.move);
                }
                rs.MoveNext();
            }
            // Closing the record set commits its last deletes: a failure here
            // is the folder's failure.
            rs.Close();
            rec.Close();
            cnn.Close();
        });
        // After a failure, close what is still open (that commits the deletes
        // and moves made, each whole); a failure to close adds nothing to the
        // one already recorded.
        ErrorState ignored;
        if (rs.State() == adStateOpen) ignored.Run([&] { rs.Close(); });
        if (rec.State() == adStateOpen) ignored.Run([&] { rec.Close(); });
        if (cnn.State() == adStateOpen) ignored.Run([&] { cnn.Close(); });
    }
    if (err.Number() != 0) {
        result = -1;
        if (logErrors) {
            WriteLog(run.log,
                     ErrorEntry(err.Number(), err.Description()) + " " + VisibleText(folderUrl));
        }
    } else if (!run.move.MoveTarget.empty()) {
        WriteLog(run.log, std::to_string(result) + " messages has been moved from " +
                              VisibleText(folderUrl) + " to " + VisibleText(run.move.MoveTarget));
    } else {
        WriteLog(run.log, std::to_string(result) + " messages has been deleted in " +
                              VisibleText(folderUrl));
    }
    return result;
}

}  // namespace quellix
