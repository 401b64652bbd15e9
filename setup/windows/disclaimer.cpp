#include "setup/windows/disclaimer.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "setup/windows/install_form.h"
#include "setup/windows/twips.h"

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
    setFixedSize(Twips(0, 0, 4920, 4905).size());
    // The label shows the text with plain line breaks; the text itself keeps
    // its CR LF.
    QString limitation = QString::fromStdString(LimitationText());
    limitation.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Label1 = new QLabel(limitation, this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(Twips(240, 240, 4455, 2775));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2 = new QLabel(QString::fromUtf8(kDisclaimerQuestion), this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(Twips(240, 3120, 4575, 855));
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Command1 = new QPushButton(QStringLiteral("Yes"), this);
    Command1->setObjectName("Command1");
    Command1->setGeometry(Twips(2400, 4200, 975, 495));
    Command2 = new QPushButton(QStringLiteral("No"), this);
    Command2->setObjectName("Command2");
    Command2->setGeometry(Twips(3840, 4200, 975, 495));
    // Return and keypad Enter press the focused button, as Space does.
    Command1->setAutoDefault(true);
    Command2->setAutoDefault(true);
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
