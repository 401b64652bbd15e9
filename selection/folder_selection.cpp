#include "selection/folder_selection.h"

#include "isodate/iso_date.h"
#include "selection/run_text.h"

namespace quellix {

std::string SweepQuery(const std::string& folderUrl, platform::Date cutoff,
                       const std::string& traversal) {
    const std::string iso =
        ISODate::FormatIsoDate(ISODate::ConvertTimeZone(cutoff, 13, 13, "", ""));
    return std::string("select ") + " \"urn:schemas:mailheader:content-class\"" + ", \"DAV:href\"" +
           ", \"DAV:displayname\"" + ", \"DAV:creationdate\"" + ", \"DAV:getlastmodified\"" +
           ", \"DAV:getcontentlength\"" + ", \"urn:schemas:httpmail:datereceived\"" +
           " from scope (" +
           platform::QuoteStoreQueryText(
               traversal + " traversal of " + platform::QuoteStoreQueryText(folderUrl, '"'), '\'') +
           ") " + " WHERE \"DAV:ishidden\" = false " + " AND \"DAV:iscollection\" = false " +
           " AND (\"urn:schemas:httpmail:datereceived\" <= CAST(\"" + iso + "\" as 'dateTime'))";
}

int32_t ForEachExpiredMessage(const std::string& folderUrl, platform::Date cutoff,
                              const std::string& traversal,
                              const std::function<void(platform::Recordset& rs)>& act) {
    using namespace platform;
    int32_t selected = 0;
    ErrorState err;
    Connection cnn;
    Record rec;
    Recordset rs;
    err.Run([&] {
        cnn.SetProvider("ExOLEDB.DataSource");
        cnn.SetConnectionString(folderUrl);
        cnn.Open(folderUrl, "", "", -1);
        // Fails when the folder does not exist at this URL.
        rec.Open(folderUrl, &cnn, adModeRead, adFailIfNotExists, adOpenRecordUnspecified, "", "");
        rs.Open(SweepQuery(folderUrl, cutoff, traversal), cnn, -1, -1, -1);
        selected = rs.RecordCount();
        for (; !rs.Eof(); rs.MoveNext()) act(rs);
        // Closing the record set commits its last changes: a failure here
        // is the folder's failure.
        rs.Close();
        rec.Close();
        cnn.Close();
    });
    // After a failure, close what is still open (that commits the changes
    // made, each whole); a failure to close adds nothing to the one already
    // recorded.
    ErrorState ignored;
    if (rs.State() == adStateOpen) ignored.Run([&] { rs.Close(); });
    if (rec.State() == adStateOpen) ignored.Run([&] { rec.Close(); });
    if (cnn.State() == adStateOpen) ignored.Run([&] { cnn.Close(); });
    if (err.Number() != 0) throw Error(err.Number(), err.Description(), "ForEachExpiredMessage");
    return selected;
}

SelectedMessage ReadSelectedMessage(const platform::Recordset& rs) {
    // Read for every message a run selects: the names are made once.
    static const std::string kHref = "DAV:href";
    static const std::string kSize = "DAV:getcontentlength";
    static const std::string kReceived = "urn:schemas:httpmail:datereceived";
    SelectedMessage message;
    message.href = rs.FieldValue(kHref).ToStringOrEmpty();
    const platform::Variant size = rs.FieldValue(kSize);
    // Read whole, whatever number type the store gives it in: a length is
    // not bounded by 32 bits.
    if (!size.IsNull()) {
        const double bytes = size.ToDouble();
        if (bytes >= 0 && bytes < 9.2e18) message.size = static_cast<int64_t>(bytes);
    }
    const platform::Variant received = rs.FieldValue(kReceived);
    if (!received.IsNull()) message.received = received.ToDate();
    return message;
}

}  // namespace quellix
