// A check box whose caption wraps over several lines within its width, as
// the two per-mailbox check boxes of the main window need. text() keeps the
// caption exactly; a click anywhere on the box toggles it.
#pragma once

#include <QCheckBox>

namespace setup::windows {

class WrappingCheckBox : public QCheckBox {
    Q_OBJECT
public:
    WrappingCheckBox(const QString& text, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    [[nodiscard]] bool hitButton(const QPoint& pos) const override;
};

}  // namespace setup::windows
