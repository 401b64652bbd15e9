#include "setup/windows/wrapping_check_box.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace setup::windows {

WrappingCheckBox::WrappingCheckBox(const QString& text, QWidget* parent)
    : QCheckBox(text, parent) {}

void WrappingCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    // The indicator at the top left, beside the first line of the caption.
    QStyleOptionButton indicator = opt;
    indicator.text.clear();
    const QRect ind = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &indicator, this);
    const int lineHeight = fontMetrics().height();
    indicator.rect = QRect(ind.left(), (lineHeight - ind.height()) / 2, ind.width(), ind.height());
    p.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);
    const int spacing = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &opt, this);
    const QRect textRect(ind.right() + 1 + spacing, 0, width() - ind.right() - 1 - spacing,
                         height());
    p.drawItemText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, opt.palette,
                   isEnabled(), text(), QPalette::WindowText);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect =
            p.boundingRect(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text());
        p.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

bool WrappingCheckBox::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

}  // namespace setup::windows
