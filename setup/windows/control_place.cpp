#include "setup/windows/control_place.h"

#include <QWidget>
#include <algorithm>
#include <vector>

namespace setup::windows {

void Place(QWidget& widget, const ControlPlace& row) {
    widget.setObjectName(row.name);
    widget.setGeometry(Twips(row));
}

void OrderTabs(QWidget& window, std::span<const ControlPlace> table) {
    std::vector<const ControlPlace*> rows;
    for (const ControlPlace& row : table) {
        if (row.tabIndex >= 0) rows.push_back(&row);
    }
    std::sort(rows.begin(), rows.end(), [](const ControlPlace* a, const ControlPlace* b) {
        return a->tabIndex < b->tabIndex;
    });
    QWidget* previous = nullptr;
    for (const ControlPlace* row : rows) {
        auto* widget = window.findChild<QWidget*>(QString::fromUtf8(row->name));
        if (previous != nullptr && widget != nullptr) QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
}

}  // namespace setup::windows
