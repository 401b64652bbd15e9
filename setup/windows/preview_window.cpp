#include "setup/windows/preview_window.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace setup::windows {

PreviewWindow::PreviewWindow(const std::string& text, QWidget* parent) : QDialog(parent) {
    setWindowTitle(kPreviewCaption);
    setObjectName("PreviewWindow");
    auto* layout = new QVBoxLayout(this);
    txtPreview = new QPlainTextEdit(this);
    txtPreview->setObjectName("txtPreview");
    txtPreview->setReadOnly(true);
    txtPreview->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtPreview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    txtPreview->setPlainText(QString::fromStdString(text));
    layout->addWidget(txtPreview);
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName("cmdClose");
    layout->addWidget(cmdClose, 0, Qt::AlignRight);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    resize(720, 480);
}

}  // namespace setup::windows
