// A pick-only drop-down list drawn as the narrow lists of the main window
// need it: a thin frame, the picked text from the left edge and a small
// arrow pointing down at the right, so that "12", "05" or "PM" stay whole in
// a list 37 pixels wide whatever the style. The popup is the style's own.
#pragma once

#include <QComboBox>

namespace setup::windows {

class DropDownList : public QComboBox {
    Q_OBJECT
public:
    explicit DropDownList(QWidget* parent);

    // The width of the arrow's column at the right edge, frame excluded.
    static constexpr int kArrowColumn = 11;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace setup::windows
