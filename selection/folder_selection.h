// The messages of a folder that a cleanup run removes: the store query that
// selects them and the walk over its rows. The run and a preview of it both
// select through these; only what they do with each row differs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/date.h"
#include "platform/ado.h"

namespace quellix {

// The store query of a sweep: the messages of the folder at folderUrl
// (traversal "shallow": the folder only; "deep": with every folder below it)
// that are not hidden and were received at or before cutoff (UTC).
std::string SweepQuery(const std::string& folderUrl, platform::Date cutoff,
                       const std::string& traversal);

// Opens the folder at folderUrl (it must exist there), runs SweepQuery, and
// calls act(rs) once for each selected message, with rs on its row; act may
// delete the row or move its message. Closing the record set commits what
// act changed. Returns the number of messages selected. Raises
// platform::Error when the folder is missing, the query fails or act raises;
// what act changed before stays so, and what was opened is closed.
int32_t ForEachExpiredMessage(const std::string& folderUrl, platform::Date cutoff,
                              const std::string& traversal,
                              const std::function<void(platform::Recordset& rs)>& act);

// What the sweep query tells of the message on the record set's row.
struct SelectedMessage {
    std::string href;         // its URL
    int64_t size = 0;         // its length in bytes
    platform::Date received;  // UTC
};
SelectedMessage ReadSelectedMessage(const platform::Recordset& rs);

}  // namespace quellix
