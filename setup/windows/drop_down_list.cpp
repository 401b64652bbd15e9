#include "setup/windows/drop_down_list.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace setup::windows {

DropDownList::DropDownList(QWidget* parent) : QComboBox(parent) {}

void DropDownList::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette& pal = palette();
    const QRect r = rect();
    p.fillRect(r, isEnabled() ? pal.base() : pal.window());
    p.setPen(pal.color(QPalette::Mid));
    p.drawRect(r.adjusted(0, 0, -1, -1));

    // The picked text, highlighted while the list has the focus; with
    // nothing picked, the focus shows as a dotted frame.
    const QRect text(r.left() + 2, r.top() + 2, r.width() - kArrowColumn - 4, r.height() - 4);
    const bool focused = hasFocus() && currentIndex() >= 0;
    if (focused) p.fillRect(text, pal.highlight());
    if (hasFocus() && currentIndex() < 0) {
        QStyleOptionFocusRect frame;
        frame.initFrom(this);
        frame.rect = text;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &p, this);
    }
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    p.setPen(pal.color(group, focused ? QPalette::HighlightedText : QPalette::Text));
    p.drawText(text.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, currentText());

    // A triangle pointing down, centred in the arrow's column: rows of 7, 5,
    // 3 and 1 pixels, drawn pixel by pixel so that it stays sharp.
    const int cx = r.right() - 1 - kArrowColumn / 2;
    const int top = r.top() + (r.height() - 4) / 2;
    const QColor ink = pal.color(group, QPalette::ButtonText);
    for (int row = 0; row < 4; ++row) p.fillRect(cx - 3 + row, top + row, 7 - 2 * row, 1, ink);
}

}  // namespace setup::windows
