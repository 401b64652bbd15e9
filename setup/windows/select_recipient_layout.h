// The recipient browser's layout (see control_place.h).
#pragma once

#include "setup/windows/control_place.h"

namespace setup::windows {

// The client area, in twips.
inline constexpr int kSelectRecipientWidth = 7020;
inline constexpr int kSelectRecipientHeight = 3450;

inline constexpr ControlPlace kSelectRecipientControls[] = {
    {"List1", nullptr, 0, 0, 6975, 2595, 0},
    {"Command1", "OK", 3720, 2835, 1575, 375, 1},
    {"Command2", "Cancel", 5400, 2835, 1575, 375, 2},
};

consteval const ControlPlace& SelectRecipientControl(std::string_view name) {
    return FindControl(kSelectRecipientControls, name);
}

}  // namespace setup::windows
