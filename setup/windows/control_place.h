// A control's row in a window's layout table: its designer name, its
// caption, its place in twips (left, top, width, height, relative to its
// parent's client area) and its tab index. Each window creates, places and
// orders its controls from its table, and the window tests read the same
// table, so a layout is written once.
#pragma once

#include <QRect>
#include <cstddef>
#include <span>
#include <string_view>

#include "setup/windows/twips.h"

class QWidget;

namespace setup::windows {

struct ControlPlace {
    const char* name;
    // The text the control is created with; nullptr for a control without
    // one (a list, a field the window fills, a text set by the program).
    const char* caption;
    int left, top, width, height;
    // Where the control stands in the tab order; -1 for one that takes no
    // focus.
    int tabIndex;
};

// The row of a control, found when the program is compiled: a name that is
// not in the table does not compile.
template <std::size_t N>
consteval const ControlPlace& FindControl(const ControlPlace (&table)[N], std::string_view name) {
    for (const ControlPlace& row : table) {
        if (name == row.name) return row;
    }
    throw "no such control in the window's layout";
}

// Where a control stands, in pixels.
inline QRect Twips(const ControlPlace& place) {
    return Twips(place.left, place.top, place.width, place.height);
}

// Names widget by its row and puts it where the row says.
void Place(QWidget& widget, const ControlPlace& row);
// The controls of window that take the focus, chained by their tab index.
void OrderTabs(QWidget& window, std::span<const ControlPlace> table);

}  // namespace setup::windows
