#include "setup/windows/disclaimer.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "setup/windows/disclaimer_layout.h"
#include "setup/windows/install_form.h"

namespace setup::windows {

const char* const kDisclaimerQuestion =
    "Do you accept all of of the terms of the preceding Limitation of Liability? To install you "
    "must accept the Limitation of Liability . If  you choose No, install will close.";

std::string LimitationText() {
    return "LIMITATION OF LIABILITY. \r\n\r\n"
           "TO THE MAXIMUM EXTENT PERMITTED BY APPLICABLE LAW, IN NO EVENT SHALL THE CREATOR OF "
           "THIS SOFTWARE BE LIABLE FOR ANY SPECIAL, INCIDENTAL, INDIRECT OR CONSEQUENTIAL "
           "DAMAGES (LOST BUSINESS PROFITS, BUSINESS INTERRUPTION, LOST BUSINESS INFORMATION OR "
           "OTHER PECUNIARY LOSS) ARISING FROM THE USE OF, OR INABILITY TO USE, THE SOFTWARE "
           "PRODUCT OR FROM THE FAILURE TO PROVIDE SUPPORT SERVICES.\r\n\r\n\r\n\r\n" +
           std::string(80, '-') + "\r\n";
}

Disclaimer::Disclaimer(QWidget* parent) : QWidget(parent) {
    setWindowTitle(kInstallFormCaption);
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(WindowFont(font()));
    setFixedSize(Twips(0, 0, kDisclaimerWidth, kDisclaimerHeight).size());
    // The label shows the text with plain line breaks; the text itself keeps
    // its CR LF.
    QString limitation = QString::fromStdString(LimitationText());
    limitation.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Label1 = new QLabel(limitation, this);
    Place(*Label1, DisclaimerControl("Label1"));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2 = new QLabel(QString::fromUtf8(kDisclaimerQuestion), this);
    Place(*Label2, DisclaimerControl("Label2"));
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Command1 = new QPushButton(QString::fromUtf8(DisclaimerControl("Command1").caption), this);
    Place(*Command1, DisclaimerControl("Command1"));
    Command2 = new QPushButton(QString::fromUtf8(DisclaimerControl("Command2").caption), this);
    Place(*Command2, DisclaimerControl("Command2"));
    // Return and keypad Enter press the focused button, as Space does.
    Command1->setAutoDefault(true);
    Command2->setAutoDefault(true);
    OrderTabs(*this, kDisclaimerControls);
    connect(Command1, &QPushButton::clicked, this, [this] { Accept(); });
    // No: the program ends; nothing is opened or written.
    connect(Command2, &QPushButton::clicked, this, [this] { close(); });
}

void Disclaimer::Accept() {
    // Loading the main window discovers the server and may take a while.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    auto* form = new InstallForm();
    form->show();
    QApplication::restoreOverrideCursor();
    close();
}

}  // namespace setup::windows
