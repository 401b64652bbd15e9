#include "selection/directory_search.h"

#include "platform/ado_directory.h"

namespace quellix {

void OpenDirectoryConnection(platform::Connection& cnn) {
    cnn.SetProvider("adsDSOobject");
    cnn.Open("Active Directory Provider", "", "", -1);
}

platform::Recordset SearchDirectory(platform::Connection& cnn, const std::string& query) {
    using platform::Variant;
    platform::Command cmd;
    cmd.SetActiveConnection(cnn);
    cmd.SetCommandText(query);
    cmd.Properties("searchscope").SetValue(Variant(int32_t{2}));
    cmd.Properties("cache results").SetValue(Variant(true));
    cmd.Properties("Chase Referrals").SetValue(Variant(int32_t{96}));
    cmd.Properties("Page Size").SetValue(Variant(int16_t{100}));
    // No "Size Limit": every mailbox of this server is treated, however
    // many users the forest holds and however they sort; the pages bound
    // what one answer holds.
    cmd.Properties("Timeout").SetValue(Variant(int16_t{120}));
    return cmd.Execute();
}

std::string FieldText(const platform::Recordset& rs, const std::string& name) {
    return rs.Fields(name).Value().ToStringOrEmpty();
}

}  // namespace quellix
