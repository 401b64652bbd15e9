// PreviewWindow: what the next run of the registration would delete or move,
// as the preview of the setup operations tells it (the same text as
// "quellix-setup preview --messages"), read-only, with a Close button.
#pragma once

#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;

namespace setup::windows {

inline constexpr const char* kPreviewCaption = "Quellix Preview";

class PreviewWindow : public QDialog {
    Q_OBJECT
public:
    PreviewWindow(const std::string& text, QWidget* parent);

    QPlainTextEdit* txtPreview;
    QPushButton* cmdClose;
};

}  // namespace setup::windows
