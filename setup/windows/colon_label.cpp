#include "setup/windows/colon_label.h"

#include <QPainter>
#include <QStyle>

namespace setup::windows {

ColonLabel::ColonLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void ColonLabel::SetColonCentre(int x) {
    colonCentre_ = x;
    update();
}

void ColonLabel::paintEvent(QPaintEvent* event) {
    const QString caption = text();
    if (colonCentre_ < 0 || !caption.endsWith(QLatin1Char(':'))) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter p(this);
    const QRect box = contentsRect();
    // drawItemText takes the alignment flags as an int.
    const int flags =
        static_cast<int>((Qt::AlignLeft | (alignment() & Qt::AlignVertical_Mask)).toInt());
    const QString words = caption.chopped(1).trimmed();
    style()->drawItemText(&p, box, flags, palette(), isEnabled(), words, foregroundRole());
    const QString colon(QLatin1Char(':'));
    const int width = fontMetrics().horizontalAdvance(colon);
    const QRect colonBox(colonCentre_ - width / 2, box.top(), width, box.height());
    style()->drawItemText(&p, colonBox, flags, palette(), isEnabled(), colon, foregroundRole());
}

}  // namespace setup::windows
