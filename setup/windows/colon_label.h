// A label whose caption ends with a colon that belongs between two controls
// drawn over the label, as "Start time:             :" stands before the
// hour list and puts its colon between the hour and the minute lists. The
// blanks of the caption only stood for the room the lists take: whatever
// the face, the words are drawn at the left and the colon centred on the
// point given, so it shows in the gap. text() keeps the caption exactly.
#pragma once

#include <QLabel>

namespace setup::windows {

class ColonLabel : public QLabel {
    Q_OBJECT
public:
    ColonLabel(const QString& text, QWidget* parent);

    // Where the colon is centred, in the label's coordinates; before it is
    // set, the caption is drawn as a plain label draws it.
    void SetColonCentre(int x);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int colonCentre_ = -1;
};

}  // namespace setup::windows
