// Picture1 of the main window: the progress bar of a mailbox-list fill. It
// shows the percentage text (bold, blue, centred) over a blue bar from the
// left edge to the position reached; where the bar covers the text, the text
// is white. The percentage itself comes from setup::Progress (halves to
// even); this widget only draws it.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

namespace setup {
class Progress;
}

namespace setup::windows {

class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    // The state to draw; true when the picture changes (text or bar pixel),
    // so the caller knows whether a repaint is worth it.
    bool UpdateStatus(const setup::Progress& progress, const std::string& text);
    // Blank, as at creation and after a fill.
    void Clear();

    [[nodiscard]] int32_t ProgressValue() const { return value_; }
    [[nodiscard]] int32_t ScaleWidth() const { return scale_; }
    [[nodiscard]] const QString& Text() const { return text_; }
    // The bar's right edge in pixels.
    [[nodiscard]] int BarWidth() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int32_t value_ = 0;
    int32_t scale_ = 0;
    QString text_;
};

}  // namespace setup::windows
