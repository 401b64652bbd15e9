// The main window's layout (see control_place.h).
#pragma once

#include "setup/windows/control_place.h"

namespace setup::windows {

// The client area, in twips.
inline constexpr int kInstallFormWidth = 9630;
inline constexpr int kInstallFormHeight = 7845;

// In order of creation, which is also the order in which siblings are drawn
// over one another. CheckAllMbx is placed in Frame1; the three rules are one
// pixel high.
inline constexpr ControlPlace kInstallFormControls[] = {
    {"Line1", nullptr, 120, 360, 9360, 15, -1},
    {"Line2", nullptr, 120, 2715, 9360, 15, -1},
    {"Line3", nullptr, 120, 5735, 9360, 15, -1},
    // The installation row.
    {"Check1", "Install COM+ object", 120, 10, 1800, 255, 0},
    {"Label3", "Identity:", 1920, 25, 615, 205, -1},
    {"txtIdent", nullptr, 2520, 10, 2895, 285, 12},
    {"Label2", "Password:", 5745, 25, 2775, 255, -1},
    {"txtPwd", nullptr, 6480, 10, 2400, 285, 14},
    // The parameters and the schedule.
    {"Check2", "Modify parameters", 120, 570, 1695, 375, 8},
    {"Label5", "Folder name:        (example: Inbox/Spam)", 1920, 390, 3855, 255, -1},
    {"txtSpamFolder", "Spam", 1920, 600, 3495, 285, 19},
    {"CheckDeep", "Include subfolders", 5470, 600, 1695, 305, 44},
    {"Label6", "Messages age limit:", 8160, 390, 1455, 255, -1},
    {"txtAgeLimit", nullptr, 8520, 600, 375, 285, 22},
    {"Label8", "days", 8925, 630, 480, 255, -1},
    {"OptMove", "Move expired messages to:", 1920, 990, 2240, 195, 33},
    {"txtDestFolder", "", 4150, 960, 4305, 285, 32},
    {"Command5", "Browse...", 8520, 960, 960, 300, 31},
    {"OptDelete", "Delete expired messages permanently", 1920, 1275, 3135, 225, 34},
    {"Label1", "Send report to:", 1920, 1560, 1335, 255, -1},
    {"txtReportRecipient", "", 3000, 1530, 5450, 285, 41},
    {"Command10", "Browse...", 8520, 1530, 960, 300, 39},
    {"Label11", "Run:", 1920, 1920, 495, 255, -1},
    {"ComboRun", nullptr, 2280, 1890, 1215, 315, 29},
    {"Label9", "Start time:             :", 4200, 1935, 2055, 255, -1},
    {"ComboStartHour", nullptr, 4920, 1890, 555, 315, 25},
    {"ComboStartMin", nullptr, 5550, 1890, 555, 315, 26},
    {"ComboStartAmPm", nullptr, 6165, 1890, 585, 315, 28},
    {"Frame1", nullptr, 1920, 2165, 2055, 445, -1},
    {"CheckAllMbx", "Affect ALL mailboxes", 120, 120, 1815, 305, 43},
    // The per-mailbox registration.
    {"Check3", "Register in the following (selected) Mailboxes:", 120, 2775, 1800, 615, 9},
    {"MbxInstList", nullptr, 1920, 2775, 7575, 1425, 5},
    {"Command6", "Select All", 720, 3465, 1075, 300, 35},
    {"Command7", "Deselect All", 720, 3810, 1075, 300, 36},
    {"Check4", "Unregister from the following (selected) Mailboxes:", 120, 4170, 1800, 735, 10},
    {"MbxUninstList", nullptr, 1920, 4250, 7575, 1425, 6},
    {"Command8", "Select All", 720, 4920, 1075, 300, 37},
    {"Command9", "Deselect All", 720, 5280, 1075, 300, 38},
    // Uninstall, the error log, the progress bar and the commands.
    {"Check6", "Uninstall COM+ object ", 120, 5760, 1935, 420, 1},
    {"txtErr", nullptr, 1920, 6120, 7575, 1095, 16},
    {"SysMbxList", nullptr, 1800, 6240, 7695, 255, 17},
    {"Picture1", nullptr, 120, 6480, 9380, 375, -1},
    {"Command3", "Clear Error Log", 240, 6480, 1575, 375, 7},
    {"Command1", "CHANGE", 2880, 7245, 1575, 375, 2},
    {"cmdPreview", "Preview", 600, 7245, 1575, 375, 4},
    {"Command2", "Exit", 5160, 7245, 1575, 375, 3},
};

consteval const ControlPlace& InstallFormControl(std::string_view name) {
    return FindControl(kInstallFormControls, name);
}

}  // namespace setup::windows
