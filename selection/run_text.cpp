#include "selection/run_text.h"

#include "base/date.h"

namespace quellix {

std::string NowText() {
    return platform::GeneralDateText(platform::Date::NowLocal());
}

std::string ErrorEntry(int32_t number, const std::string& description) {
    return "[" + NowText() + "] " + std::to_string(number) + " " + VisibleText(description);
}

}  // namespace quellix
