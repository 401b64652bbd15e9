#include "setup/core/error_log.h"

namespace setup {

ErrorEntry ErrorEntry::FromError(const platform::Error& error, std::string where) {
    return FromError(error, std::move(where), platform::Date::NowLocal());
}

ErrorEntry ErrorEntry::FromError(const platform::Error& error, std::string where,
                                 platform::Date when) {
    return ErrorEntry{when, std::move(where), error.Number(), error.Description()};
}

std::string ErrorEntry::Text() const {
    return "[" + platform::GeneralDateText(when) + "] " + where +
           " - ERROR: " + std::to_string(number) + " " + description + kLogLineBreak +
           kLogLineBreak;
}

std::string DllMissingEntryText(platform::Date when, std::string_view modulePath) {
    return "[" + platform::GeneralDateText(when) + "] File " + std::string(modulePath) +
           " not found. " + "COM+ object installation is impossible." + kLogLineBreak +
           kLogLineBreak;
}

void ErrorLog::PrependText(std::string_view entryText) {
    text_.insert(0, entryText);
}

}  // namespace setup
