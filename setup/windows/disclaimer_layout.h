// The disclaimer's layout (see control_place.h). Its two texts are the
// program's own (LimitationText, kDisclaimerQuestion).
#pragma once

#include "setup/windows/control_place.h"

namespace setup::windows {

// The client area, in twips.
inline constexpr int kDisclaimerWidth = 4920;
inline constexpr int kDisclaimerHeight = 4905;

inline constexpr ControlPlace kDisclaimerControls[] = {
    {"Label1", nullptr, 240, 240, 4455, 2775, -1},
    {"Label2", nullptr, 240, 3120, 4575, 855, -1},
    {"Command1", "Yes", 2400, 4200, 975, 495, 0},
    {"Command2", "No", 3840, 4200, 975, 495, 1},
};

consteval const ControlPlace& DisclaimerControl(std::string_view name) {
    return FindControl(kDisclaimerControls, name);
}

}  // namespace setup::windows
