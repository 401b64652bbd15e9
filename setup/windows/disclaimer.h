// Disclaimer: the first window of the setup program. Nothing else happens
// before the administrator answers: "Yes" opens the main window (which then
// discovers the server) and closes the disclaimer; "No" or the close box
// ends the program without touching the store, the catalog or the directory.
#pragma once

#include <QWidget>
#include <string>

class QLabel;
class QPushButton;

namespace setup::windows {

// The limitation of liability (CR LF line breaks) and the question.
std::string LimitationText();
extern const char* const kDisclaimerQuestion;

class Disclaimer : public QWidget {
    Q_OBJECT
public:
    explicit Disclaimer(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QPushButton* Command1;  // "Yes"
    QPushButton* Command2;  // "No"

private:
    void Accept();
};

}  // namespace setup::windows
