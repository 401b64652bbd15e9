#include "setup/windows/progress_bar.h"

#include <QPainter>

#include "setup/core/setup_text.h"

namespace setup::windows {

namespace {
const QColor kBlue(0, 0, 255);
}

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
    QFont f = font();
    f.setBold(true);
    setFont(f);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool ProgressBar::UpdateStatus(const setup::Progress& progress, const std::string& text) {
    const int oldBar = BarWidth();
    const QString newText = QString::fromStdString(text);
    value_ = progress.Value();
    scale_ = progress.Scale();
    const bool changed = newText != text_ || BarWidth() != oldBar;
    text_ = newText;
    return changed;
}

void ProgressBar::Clear() {
    value_ = 0;
    scale_ = 0;
    text_.clear();
    update();
}

int ProgressBar::BarWidth() const {
    if (scale_ <= 0 || value_ <= 0) return 0;
    return static_cast<int>(static_cast<int64_t>(width()) * std::min(value_, scale_) / scale_);
}

void ProgressBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (text_.isEmpty()) return;
    // The text centred, the fraction dropped as the bar places it.
    const QFontMetrics fm(font());
    const int x = (width() - fm.horizontalAdvance(text_)) / 2;
    const int y = (height() - fm.height()) / 2 + fm.ascent();
    p.setPen(kBlue);
    p.drawText(x, y, text_);
    // The bar, and the part of the text it covers in white: what drawing the
    // bar in not-XOR-pen mode over blue text on white shows.
    const QRect bar(0, 0, BarWidth(), height());
    if (bar.width() <= 0) return;
    p.fillRect(bar, kBlue);
    p.setClipRect(bar);
    p.setPen(Qt::white);
    p.drawText(x, y, text_);
}

}  // namespace setup::windows
