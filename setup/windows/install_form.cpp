#include "setup/windows/install_form.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <vector>

#include "base/strfuncs.h"
#include "setup/core/directory_queries.h"
#include "setup/core/preview.h"
#include "setup/core/setup_text.h"
#include "setup/windows/colon_label.h"
#include "setup/windows/drop_down_list.h"
#include "setup/windows/install_form_layout.h"
#include "setup/windows/preview_window.h"
#include "setup/windows/progress_bar.h"
#include "setup/windows/select_recipient.h"
#include "setup/windows/twips.h"
#include "setup/windows/wrapping_check_box.h"

namespace setup::windows {

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.toStdString();
}

// The log box shows the log with plain line breaks.
QString LogForDisplay(const std::string& log) {
    QString text = Q(log);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

// How often a list fill lets the window paint and handle input.
constexpr int kEventIntervalMs = 10;

}  // namespace

InstallForm::InstallForm(QWidget* parent) : QWidget(parent) {
    setWindowTitle(kInstallFormCaption);
    setAttribute(Qt::WA_DeleteOnClose);
    CreateControls();
    SetTabOrder();
    ConnectHandlers();

    // Form_Load.
    for (const ErrorEntry& entry : DiscoverEnvironment(context_)) log_.Prepend(entry);
    ShowErrorLog();
}

InstallForm::~InstallForm() {
    // Form_Unload: both connections closed, a failure to close ignored.
    for (platform::Connection* c : {&context_.cnn, &context_.cnn1}) {
        try {
            c->Close();
        } catch (const std::exception&) {
            // A connection that was never opened fails to close.
        }
    }
}

void InstallForm::CreateControls() {
    setFont(WindowFont(font()));
    setFixedSize(Twips(0, 0, kInstallFormWidth, kInstallFormHeight).size());

    // Each control is named, captioned and placed by its row of the layout.
    const auto caption = [](const ControlPlace& row) {
        return QString::fromUtf8(row.caption != nullptr ? row.caption : "");
    };
    const auto line = [&](const ControlPlace& row) {
        auto* l = new QFrame(this);
        Place(*l, row);
        l->setFrameShape(QFrame::HLine);
        l->setFrameShadow(QFrame::Plain);
        l->setLineWidth(1);
        return l;
    };
    const auto label = [&](const ControlPlace& row) {
        auto* l = new QLabel(caption(row), this);
        Place(*l, row);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return l;
    };
    const auto check = [&](const ControlPlace& row) {
        auto* c = new QCheckBox(caption(row), this);
        Place(*c, row);
        return c;
    };
    const auto edit = [&](const ControlPlace& row) {
        auto* e = new QLineEdit(caption(row), this);
        Place(*e, row);
        return e;
    };
    const auto button = [&](const ControlPlace& row) {
        auto* b = new QPushButton(caption(row), this);
        Place(*b, row);
        // Return and keypad Enter press the focused button, as Space does.
        b->setAutoDefault(true);
        return b;
    };
    const auto combo = [&](const ControlPlace& row, const QStringList& items) {
        auto* c = new DropDownList(this);
        Place(*c, row);
        c->addItems(items);
        for (int i = 0; i < c->count(); ++i) c->setItemData(i, 0);
        c->setCurrentIndex(-1);
        return c;
    };
    const auto list = [&](const ControlPlace& row) {
        auto* l = new QListWidget(this);
        Place(*l, row);
        l->setSelectionMode(QAbstractItemView::MultiSelection);
        l->setUniformItemSizes(true);
        return l;
    };
    const auto option = [&](const ControlPlace& row) {
        auto* o = new QRadioButton(caption(row), this);
        Place(*o, row);
        return o;
    };
    const auto wrappingCheck = [&](const ControlPlace& row) {
        auto* c = new WrappingCheckBox(caption(row), this);
        Place(*c, row);
        return c;
    };

    Line1 = line(InstallFormControl("Line1"));
    Line2 = line(InstallFormControl("Line2"));
    Line3 = line(InstallFormControl("Line3"));

    // The installation row.
    Check1 = check(InstallFormControl("Check1"));
    Check1->setEnabled(false);
    Label3 = label(InstallFormControl("Label3"));
    txtIdent = edit(InstallFormControl("txtIdent"));
    Label2 = label(InstallFormControl("Label2"));
    txtPwd = edit(InstallFormControl("txtPwd"));
    txtPwd->setEchoMode(QLineEdit::Password);
    txtPwd->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    txtPwd->raise();

    // The parameters and the schedule.
    Check2 = check(InstallFormControl("Check2"));
    Check2->setEnabled(false);
    Label5 = label(InstallFormControl("Label5"));
    txtSpamFolder = edit(InstallFormControl("txtSpamFolder"));
    CheckDeep = check(InstallFormControl("CheckDeep"));
    Label6 = label(InstallFormControl("Label6"));
    txtAgeLimit = edit(InstallFormControl("txtAgeLimit"));
    Label8 = label(InstallFormControl("Label8"));
    OptMove = option(InstallFormControl("OptMove"));
    txtDestFolder = edit(InstallFormControl("txtDestFolder"));
    txtDestFolder->setEnabled(false);
    Command5 = button(InstallFormControl("Command5"));
    OptDelete = option(InstallFormControl("OptDelete"));
    OptDelete->setChecked(true);
    Label1 = label(InstallFormControl("Label1"));
    txtReportRecipient = edit(InstallFormControl("txtReportRecipient"));
    Command10 = button(InstallFormControl("Command10"));
    Label11 = label(InstallFormControl("Label11"));
    QStringList runs;
    for (int16_t i = 0; i < kRunChoiceCount; ++i) runs << QString::fromUtf8(RunChoiceText(i));
    ComboRun = combo(InstallFormControl("ComboRun"), runs);
    Label9 = new ColonLabel(caption(InstallFormControl("Label9")), this);
    Place(*Label9, InstallFormControl("Label9"));
    Label9->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QStringList hours, minutes;
    for (int h = 1; h <= 12; ++h) hours << QString::number(h);
    for (int m = 0; m < 60; ++m) minutes << QStringLiteral("%1").arg(m, 2, 10, QLatin1Char('0'));
    ComboStartHour = combo(InstallFormControl("ComboStartHour"), hours);
    ComboStartMin = combo(InstallFormControl("ComboStartMin"), minutes);
    ComboStartAmPm =
        combo(InstallFormControl("ComboStartAmPm"), {QStringLiteral("AM"), QStringLiteral("PM")});
    // The colon of "Start time:" stands in the gap between the hour and the
    // minute lists.
    Label9->SetColonCentre((ComboStartHour->geometry().right() + 1 + ComboStartMin->x()) / 2 -
                           Label9->x());
    Frame1 = new QFrame(this);
    Place(*Frame1, InstallFormControl("Frame1"));
    Frame1->setFrameShape(QFrame::NoFrame);
    // The frame's top edge lies over the run list's last pixels: it goes
    // under the list, so that a click there opens the list.
    Frame1->stackUnder(ComboRun);
    CheckAllMbx = new QCheckBox(caption(InstallFormControl("CheckAllMbx")), Frame1);
    Place(*CheckAllMbx, InstallFormControl("CheckAllMbx"));

    // The per-mailbox registration.
    Check3 = wrappingCheck(InstallFormControl("Check3"));
    MbxInstList = list(InstallFormControl("MbxInstList"));
    Command6 = button(InstallFormControl("Command6"));
    Command7 = button(InstallFormControl("Command7"));
    Check4 = wrappingCheck(InstallFormControl("Check4"));
    MbxUninstList = list(InstallFormControl("MbxUninstList"));
    Command8 = button(InstallFormControl("Command8"));
    Command9 = button(InstallFormControl("Command9"));

    // Uninstall, the error log, the progress bar and the commands.
    Check6 = check(InstallFormControl("Check6"));
    Check6->setEnabled(false);
    txtErr = new QPlainTextEdit(this);
    Place(*txtErr, InstallFormControl("txtErr"));
    txtErr->setReadOnly(true);
    txtErr->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtErr->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtErr->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtErr->hide();
    SysMbxList = new QListWidget(this);
    Place(*SysMbxList, InstallFormControl("SysMbxList"));
    SysMbxList->hide();
    SysMbxList->lower();
    Picture1 = new ProgressBar(this);
    Place(*Picture1, InstallFormControl("Picture1"));
    Command3 = button(InstallFormControl("Command3"));
    Command3->hide();
    Picture1->raise();
    Command1 = button(InstallFormControl("Command1"));
    // What the next run would remove, with the stored parameters.
    cmdPreview = button(InstallFormControl("cmdPreview"));
    Command2 = button(InstallFormControl("Command2"));
}

void InstallForm::SetTabOrder() {
    OrderTabs(*this, kInstallFormControls);
    Picture1->setFocusPolicy(Qt::NoFocus);
}

void InstallForm::ConnectHandlers() {
    connect(Command1, &QPushButton::clicked, this, [this] { ApplyChangesCommand(); });
    connect(Command2, &QPushButton::clicked, this, [this] { close(); });
    connect(cmdPreview, &QPushButton::clicked, this, [this] { PreviewCommand(); });
    connect(Command3, &QPushButton::clicked, this, [this] { ClearErrorLog(); });
    connect(Command5, &QPushButton::clicked, this, [this] { Browse(kBrowseDestination); });
    connect(Command10, &QPushButton::clicked, this, [this] { Browse(kBrowseAll); });
    connect(Command6, &QPushButton::clicked, this, [this] { MbxInstList->selectAll(); });
    connect(Command7, &QPushButton::clicked, this, [this] { MbxInstList->clearSelection(); });
    connect(Command8, &QPushButton::clicked, this, [this] { MbxUninstList->selectAll(); });
    connect(Command9, &QPushButton::clicked, this, [this] { MbxUninstList->clearSelection(); });
    connect(Check3, &QCheckBox::toggled, this, [this](bool on) { Check3Click(on); });
    connect(Check4, &QCheckBox::toggled, this, [this](bool on) { Check4Click(on); });
    connect(OptMove, &QRadioButton::toggled, this, [this](bool on) { OptMoveClick(on); });
    connect(CheckDeep, &QCheckBox::clicked, this, [this] { CheckDeepClick(); });
    connect(txtAgeLimit, &QLineEdit::textChanged, this, [this] { txtAgeLimitChange(); });
    txtAgeLimit->installEventFilter(this);
    txtReportRecipient->installEventFilter(this);
}

// ---- Activation and unload ----------------------------------------------

bool InstallForm::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate && !blnNotFirstTime) {
        // Form_Activate: after the activation has been handled, so that the
        // window is on the screen while its lists fill.
        QTimer::singleShot(0, this, [this] { FirstActivation(); });
    }
    return QWidget::event(e);
}

void InstallForm::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // Where the platform activates no window (no window manager), the first
    // showing stands in for the first activation.
    if (!blnNotFirstTime) QTimer::singleShot(0, this, [this] { FirstActivation(); });
}

void InstallForm::FirstActivation() {
    if (blnNotFirstTime) return;
    blnNotFirstTime = true;
    RefreshLists();
}

void InstallForm::closeEvent(QCloseEvent* e) {
    if (busy_) {
        // A list is filling on this window's connection: close when it ends.
        closeRequested_ = true;
        e->ignore();
        return;
    }
    e->accept();
}

// ---- Message boxes --------------------------------------------------------

void InstallForm::Information(const std::string& text) {
    QMessageBox::information(this, kInstallFormCaption, Q(text), QMessageBox::Ok);
}

void InstallForm::Warning(const std::string& text) {
    QMessageBox::warning(this, kInstallFormCaption, Q(text), QMessageBox::Ok);
}

bool InstallForm::ConfirmOkCancel(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, kInstallFormCaption, Q(text),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

// ---- The small handlers ---------------------------------------------------

void InstallForm::Check3Click(bool checked) {
    if (checked && MbxInstList->selectedItems().isEmpty()) {
        Information(kSelectForRegistration);
        Check3->setChecked(false);
    }
}

void InstallForm::Check4Click(bool checked) {
    if (checked && MbxUninstList->selectedItems().isEmpty()) {
        Information(kSelectForUnregistration);
        Check4->setChecked(false);
    }
}

void InstallForm::OptMoveClick(bool checked) {
    if (checked && platform::Trim(S(txtDestFolder->text())).empty()) {
        Information(kSelectDestination);
        OptDelete->setChecked(true);
    }
}

void InstallForm::CheckDeepClick() {
    CheckAllMbx->setToolTip(CheckAllMbx->isChecked()
                                ? QStringLiteral("Click to enable all subfolders processing")
                                : QStringLiteral("Click to disable all subfolders processing"));
}

void InstallForm::txtAgeLimitChange() {
    // The digit rule; the flag keeps it from acting on its own change.
    if (!ageLimitRestoring_) {
        const QString text = txtAgeLimit->text();
        const bool digitsOnly = std::all_of(text.begin(), text.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
        if (!digitsOnly) {
            QApplication::beep();
            ageLimitRestoring_ = true;
            txtAgeLimit->setText(LastAgeLimitText);
            txtAgeLimit->setCursorPosition(AgeLimitCaret);
        } else {
            LastAgeLimitText = text;
        }
    }
    ageLimitRestoring_ = false;
}

void InstallForm::SetAgeLimitText(const QString& text) {
    txtAgeLimit->setText(text);
    // Text set by code passes the rule like typed text; an unchanged text
    // is recorded all the same.
    if (txtAgeLimit->text() == text) LastAgeLimitText = text;
}

bool InstallForm::eventFilter(QObject* watched, QEvent* e) {
    if (watched == txtAgeLimit &&
        (e->type() == QEvent::KeyPress || e->type() == QEvent::MouseButtonPress)) {
        AgeLimitCaret = txtAgeLimit->cursorPosition();
    } else if (watched == txtReportRecipient && e->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(e)->reason();
        // Focus that goes to another window or a popup is not lost by the
        // field: the administrator comes back to it.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            QTimer::singleShot(0, this, [this] { txtReportRecipientLostFocus(); });
        }
    }
    return QWidget::eventFilter(watched, e);
}

void InstallForm::txtReportRecipientLostFocus() {
    if (ReportRecipientAcceptable(S(txtReportRecipient->text()))) return;
    QMessageBox::information(this, kInstallFormCaption, Q(ReportRecipientWarning()),
                             QMessageBox::Ok);
    activateWindow();
    txtReportRecipient->setFocus(Qt::OtherFocusReason);
}

void InstallForm::ClearErrorLog() {
    Command3->hide();
    log_.Clear();
    txtErr->clear();
    txtErr->hide();
}

void InstallForm::Browse(const char* mode) {
    if (busy_) return;
    BrowseMode_ = mode;
    const bool destination = BrowseMode_ == kBrowseDestination;
    std::vector<std::string> registerList, unregisterList;
    for (int i = 0; i < MbxInstList->count(); ++i)
        registerList.push_back(S(MbxInstList->item(i)->text()));
    for (int i = 0; i < MbxUninstList->count(); ++i)
        unregisterList.push_back(S(MbxUninstList->item(i)->text()));
    SelectRecipient browser(BrowseMode_, registerList, unregisterList, S(txtDestFolder->text()),
                            S(txtReportRecipient->text()), this);
    const bool ok = browser.exec() == QDialog::Accepted;
    if (!ok) return;
    const std::optional<std::string> chosen = browser.Chosen();
    if (!destination) {
        if (chosen) txtReportRecipient->setText(Q(*chosen));
        return;
    }
    if (chosen) {
        txtDestFolder->setText(Q(*chosen));
        OptMove->setChecked(true);
    }
    RefillMailboxLists();
}

// ---- Refresh ---------------------------------------------------------------

ProgressCallback InstallForm::FillProgress() {
    sinceEvents_.start();
    barChanged_ = false;
    return [this](const Progress& progress, const std::string& text) {
        if (!Picture1->isVisible()) {
            Picture1->show();
            Picture1->raise();
        }
        barChanged_ = Picture1->UpdateStatus(progress, text) || barChanged_;
        if (sinceEvents_.elapsed() >= kEventIntervalMs || progress.Value() == 1) {
            if (barChanged_) Picture1->repaint();
            barChanged_ = false;
            QCoreApplication::processEvents();
            sinceEvents_.restart();
        }
    };
}

void InstallForm::EndFill() {
    // The bar goes whether the fill ran, stopped or never started (a
    // directory that is down, a directory without mailbox users): a blank
    // bar would lie over the error log and "Clear Error Log".
    Picture1->Clear();
    Picture1->hide();
    busy_ = false;
    if (closeRequested_) QTimer::singleShot(0, this, [this] { close(); });
}

void InstallForm::RefreshLists() {
    if (busy_) return;
    busy_ = true;
    const SetupStatus status =
        setup::RefreshLists(context_, S(txtSpamFolder->text()), S(txtAgeLimit->text()),
                            S(txtDestFolder->text()), log_, FillProgress());
    EndFill();
    ApplyStatus(status);
}

void InstallForm::RefillMailboxLists() {
    if (busy_) return;
    busy_ = true;
    MailboxLists lists;
    try {
        lists =
            GetUsersWithMailboxes(context_.cnn, context_.strSearchRoot, context_.ShortComputerName,
                                  S(txtDestFolder->text()), FillProgress());
    } catch (const std::exception& e) {
        const auto* pe = dynamic_cast<const platform::Error*>(&e);
        log_.Prepend(pe ? ErrorEntry::FromError(*pe, context_.strSearchRoot)
                        : ErrorEntry{platform::Date::NowLocal(), context_.strSearchRoot,
                                     platform::err::Hr(0x80004005), e.what()});
    }
    EndFill();
    // Mailboxes the directory left out cannot be picked: say so.
    if (!lists.cut.empty()) log_.Prepend(MailboxListCutEntry(lists.cut, context_.strSearchRoot));
    ShowLists(lists);
    ResetListControls();
    ShowErrorLog();
}

void InstallForm::ApplyStatus(const SetupStatus& status) {
    state_ = status.state;
    registrationItemUrl_ = RegistrationItemUrl(status.registration);
    if (!status.lists.cut.empty())
        log_.Prepend(MailboxListCutEntry(status.lists.cut, context_.strSearchRoot));
    ApplyStateControls(status);
    ShowParameters(status.controls);
    SysMbxList->clear();
    for (const std::string& entry : status.registration.SysMbxList) SysMbxList->addItem(Q(entry));
    ShowLists(status.lists);
    ResetListControls();
    ShowErrorLog();
}

void InstallForm::ApplyStateControls(const SetupStatus& status) {
    const std::vector<QWidget*> band = {
        txtAgeLimit, txtSpamFolder,      OptMove,  OptDelete,      txtDestFolder, Command5,
        Command10,   txtReportRecipient, ComboRun, ComboStartHour, ComboStartMin, ComboStartAmPm,
        CheckAllMbx};
    const auto setBand = [&](bool enabled) {
        for (QWidget* w : band) w->setEnabled(enabled);
        MbxInstList->setEnabled(enabled);
        MbxUninstList->setEnabled(enabled);
    };
    switch (status.state) {
        case InstallState::Installed:
            Check1->setChecked(false);
            Check1->setEnabled(false);
            txtIdent->setEnabled(false);
            txtIdent->setText(Q(status.identity));
            txtPwd->setEnabled(false);
            txtPwd->hide();
            Label2->setText(QStringLiteral("Password: ********"));
            setBand(true);
            Check6->setChecked(false);
            Check6->setEnabled(true);
            return;
        case InstallState::ReadyToInstall:
            Check1->setChecked(true);
            Check1->setEnabled(true);
            txtIdent->setText(Q(status.identity));
            txtIdent->setEnabled(true);
            txtIdent->show();
            txtPwd->clear();
            txtPwd->setEnabled(true);
            txtPwd->show();
            Label2->setText(QStringLiteral("Password:"));
            Label2->show();
            Label3->show();
            break;
        case InstallState::DllMissing:
            Check1->setChecked(false);
            Check1->setEnabled(false);
            txtIdent->setEnabled(false);
            txtIdent->hide();
            txtPwd->setEnabled(false);
            txtPwd->hide();
            Label2->hide();
            Label3->hide();
            Check2->setEnabled(false);
            Check3->setEnabled(false);
            for (QWidget* w : std::initializer_list<QWidget*>{Label5, Label6, Label8, txtAgeLimit,
                                                              txtSpamFolder}) {
                w->show();
            }
            break;
    }
    setBand(false);
    Check6->setChecked(false);
    Check6->setEnabled(false);
}

void InstallForm::ShowParameters(const ParameterControls& c) {
    const auto pick = [](QComboBox* list, const std::optional<int>& index) {
        if (index && *index >= 0 && *index < list->count()) list->setCurrentIndex(*index);
    };
    if (c.txtSpamFolder) txtSpamFolder->setText(Q(*c.txtSpamFolder));
    if (c.txtAgeLimit) SetAgeLimitText(Q(*c.txtAgeLimit));
    pick(ComboRun, c.ComboRun);
    pick(ComboStartHour, c.ComboStartHour);
    pick(ComboStartMin, c.ComboStartMin);
    pick(ComboStartAmPm, c.ComboStartAmPm);
    if (c.txtDestFolder) txtDestFolder->setText(Q(*c.txtDestFolder));
    if (c.OptMove) (*c.OptMove ? OptMove : OptDelete)->setChecked(true);
    if (c.txtReportRecipient) txtReportRecipient->setText(Q(*c.txtReportRecipient));
    if (c.CheckAllMbx) CheckAllMbx->setChecked(*c.CheckAllMbx == 1);
    if (c.CheckDeep) CheckDeep->setChecked(*c.CheckDeep == 1);
}

void InstallForm::ShowLists(const MailboxLists& lists) {
    const auto fill = [](QListWidget* list, const std::vector<std::string>& lines) {
        QStringList items;
        items.reserve(static_cast<qsizetype>(lines.size()));
        for (const std::string& line : lines) items << Q(line);
        list->clear();
        list->addItems(items);
    };
    fill(MbxUninstList, lists.unregisterList);
    fill(MbxInstList, lists.registerList);
}

void InstallForm::ResetListControls() {
    // Modify parameters and the per-mailbox boxes are usable exactly when
    // the application is installed; all end unchecked.
    const bool installed = !Check1->isEnabled() && Check6->isEnabled();
    Check2->setChecked(false);
    Check2->setEnabled(installed);
    Check3->setChecked(false);
    Check3->setEnabled(installed);
    Command6->setEnabled(installed);
    Command7->setEnabled(installed);
    Check4->setChecked(false);
    Check4->setEnabled(installed);
    Command8->setEnabled(installed);
    Command9->setEnabled(installed);
    if (CheckAllMbx->isEnabled()) ApplyAllMailboxesOption(CheckAllMbx->isChecked() ? 1 : 0);
}

void InstallForm::ApplyAllMailboxesOption(int value) {
    if (value < 1) {
        for (QWidget* w : std::initializer_list<QWidget*>{Check3, Check4, Command6, Command8}) {
            w->setEnabled(true);
        }
        return;
    }
    Check3->setEnabled(false);
    Check3->setChecked(false);
    Check4->setEnabled(false);
    Check4->setChecked(false);
    Command6->setEnabled(false);
    Command8->setEnabled(false);
}

void InstallForm::ShowErrorLog() {
    txtErr->setPlainText(LogForDisplay(log_.Text()));
    const bool any = !log_.Empty();
    txtErr->setVisible(any);
    Command3->setVisible(any);
    if (any) Picture1->raise();
}

// ---- CHANGE ------------------------------------------------------------------

WindowValues InstallForm::CurrentValues() const {
    WindowValues v;
    v.Check1 = Check1->isChecked();
    v.txtIdent = S(txtIdent->text());
    v.txtPwd = S(txtPwd->text());
    v.Check2 = Check2->isChecked();
    v.txtSpamFolder = S(txtSpamFolder->text());
    v.txtAgeLimit = S(txtAgeLimit->text());
    for (int i = 0; i < SysMbxList->count(); ++i)
        v.SysMbxList.push_back(S(SysMbxList->item(i)->text()));
    v.ComboRun = static_cast<int16_t>(ComboRun->currentIndex());
    v.ComboStartHour = S(ComboStartHour->currentText());
    v.ComboStartMin = S(ComboStartMin->currentText());
    v.ComboStartAmPm = S(ComboStartAmPm->currentText());
    v.OptMove = OptMove->isChecked();
    v.txtDestFolder = S(txtDestFolder->text());
    v.CheckAllMbx = CheckAllMbx->isChecked() ? 1 : 0;
    v.CheckDeep = CheckDeep->isChecked() ? 1 : 0;
    v.txtReportRecipient = S(txtReportRecipient->text());
    v.Check3 = Check3->isChecked();
    for (int i = 0; i < MbxInstList->count(); ++i) {
        v.MbxInstList.push_back(S(MbxInstList->item(i)->text()));
        v.MbxInstSelected.push_back(MbxInstList->item(i)->isSelected());
    }
    v.Check4 = Check4->isChecked();
    for (int i = 0; i < MbxUninstList->count(); ++i) {
        v.MbxUninstList.push_back(S(MbxUninstList->item(i)->text()));
        v.MbxUninstSelected.push_back(MbxUninstList->item(i)->isSelected());
    }
    v.Check6 = Check6->isChecked();
    return v;
}

void InstallForm::ApplyChangesCommand() {
    if (busy_) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const WindowValues values = CurrentValues();
    const ConfirmCallback confirm = [this](const std::string& text) {
        QApplication::restoreOverrideCursor();
        const bool ok = ConfirmOkCancel(text);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        return ok;
    };
    ChangeOptions options;
    options.progress = FillProgress();
    busy_ = true;
    const ChangeResult result = ApplyChanges(context_, values, confirm, log_, options);
    EndFill();
    if (result.txtSpamFolder) txtSpamFolder->setText(Q(*result.txtSpamFolder));
    if (result.status) {
        ApplyStatus(*result.status);
    } else {
        // Stopped by a warning: the log was emptied, the window not refreshed.
        txtErr->setPlainText(LogForDisplay(log_.Text()));
    }
    QApplication::restoreOverrideCursor();
    if (result.warning) Warning(*result.warning);
}

// ---- Preview -----------------------------------------------------------------

void InstallForm::PreviewCommand() {
    if (busy_) return;
    if (registrationItemUrl_.empty()) {
        Warning("There is no registration on this server: no run would take place.");
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::optional<RunPreview> preview;
    try {
        preview = PreviewRun(registrationItemUrl_, platform::Date::NowLocal());
    } catch (const platform::Error& e) {
        log_.Prepend(ErrorEntry::FromError(e, registrationItemUrl_));
        ShowErrorLog();
    }
    QApplication::restoreOverrideCursor();
    if (!preview) return;
    PreviewWindow window(PreviewText(*preview, true), this);
    window.exec();
}

}  // namespace setup::windows
