// InstallForm: the setup program's main window. It binds its controls to the
// operations of setup/core: environment discovery at load, RefreshLists at
// the first activation and after every CHANGE, the CHANGE command itself, the
// recipient browser, and the small input rules of the window (the digit rule
// of the age limit, the check boxes that need a selection, the move option
// that needs a destination, the address check of the report recipient).
// Every failure ends up as an entry of the error log box; no handler lets an
// exception out.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "setup/core/apply_changes.h"
#include "setup/core/environment.h"
#include "setup/core/error_log.h"
#include "setup/core/setup_context.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace setup::windows {

class ColonLabel;
class ProgressBar;

// The caption of the main window and of every message box it shows.
inline constexpr const char* kInstallFormCaption = "Quellix setup";

// BrowseMode: which field the recipient browser serves.
inline constexpr const char* kBrowseDestination = "Not Regisitered";
inline constexpr const char* kBrowseAll = "All";

// Messages of the window's own handlers (information box, OK).
inline constexpr const char* kSelectForRegistration =
    "Please select the mailbox(es) for registration";
inline constexpr const char* kSelectForUnregistration =
    "Please select the mailbox(es) for unregistration";
inline constexpr const char* kSelectDestination =
    "Please select the destination mailbox to move expired messages";

class InstallForm : public QWidget {
    Q_OBJECT
public:
    // Creates the window and runs Form_Load: discovers the environment
    // (failures become entries of the error log) and opens the directory
    // connection. The lists are filled at the first activation.
    explicit InstallForm(QWidget* parent = nullptr);
    ~InstallForm() override;

    // RefreshLists: the installation state, the stored parameters and both
    // mailbox lists, then the error log shown or hidden.
    void RefreshLists();
    // Command1_Click: the CHANGE command.
    void ApplyChangesCommand();
    // cmdPreview: shows what a run now would remove, with the stored
    // parameters; a failure becomes an entry of the error log.
    void PreviewCommand();
    // GetUsersWithMailboxes alone (after the browser chose a destination):
    // refills both lists and resets the controls that depend on them.
    void RefillMailboxLists();
    // ApplyAllMailboxesOption: value 0 enables the per-mailbox check boxes
    // and "Select All" buttons; otherwise disables and unchecks them.
    void ApplyAllMailboxesOption(int value);

    // The error log as the operations built it (CR LF line breaks).
    [[nodiscard]] const std::string& ErrorLogText() const { return log_.Text(); }
    [[nodiscard]] const SetupContext& Context() const { return context_; }
    [[nodiscard]] bool NotFirstTime() const { return blnNotFirstTime; }
    // The state the last refresh found; nothing before the first.
    [[nodiscard]] std::optional<InstallState> State() const { return state_; }
    [[nodiscard]] const std::string& BrowseMode() const { return BrowseMode_; }

    // The controls, by their designer names.
    QCheckBox* Check1;
    QLabel* Label3;
    QLineEdit* txtIdent;
    QLabel* Label2;
    QLineEdit* txtPwd;
    QCheckBox* Check2;
    QLabel* Label5;
    QLineEdit* txtSpamFolder;
    QCheckBox* CheckDeep;
    QLabel* Label6;
    QLineEdit* txtAgeLimit;
    QLabel* Label8;
    QRadioButton* OptMove;
    QLineEdit* txtDestFolder;
    QPushButton* Command5;
    QRadioButton* OptDelete;
    QLabel* Label1;
    QLineEdit* txtReportRecipient;
    QPushButton* Command10;
    QLabel* Label11;
    QComboBox* ComboRun;
    ColonLabel* Label9;
    QComboBox* ComboStartHour;
    QComboBox* ComboStartMin;
    QComboBox* ComboStartAmPm;
    QFrame* Frame1;
    QCheckBox* CheckAllMbx;
    QCheckBox* Check3;
    QListWidget* MbxInstList;
    QPushButton* Command6;
    QPushButton* Command7;
    QCheckBox* Check4;
    QListWidget* MbxUninstList;
    QPushButton* Command8;
    QPushButton* Command9;
    QCheckBox* Check6;
    QPlainTextEdit* txtErr;
    QListWidget* SysMbxList;
    ProgressBar* Picture1;
    QPushButton* Command3;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* cmdPreview;
    QFrame* Line1;
    QFrame* Line2;
    QFrame* Line3;

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void ConnectHandlers();
    void FirstActivation();

    // Message boxes with the window's caption.
    void Information(const std::string& text);
    void Warning(const std::string& text);
    bool ConfirmOkCancel(const std::string& text);

    // Handlers.
    void Check3Click(bool checked);
    void Check4Click(bool checked);
    void OptMoveClick(bool checked);
    void CheckDeepClick();
    void txtAgeLimitChange();
    void txtReportRecipientLostFocus();
    void ClearErrorLog();
    void Browse(const char* mode);

    // Applying what the operations return.
    void ApplyStatus(const SetupStatus& status);
    void ApplyStateControls(const SetupStatus& status);
    void ShowParameters(const ParameterControls& controls);
    void ShowLists(const MailboxLists& lists);
    void ResetListControls();
    void ShowErrorLog();
    void SetAgeLimitText(const QString& text);
    [[nodiscard]] WindowValues CurrentValues() const;

    // The list fill's progress: the bar advances; the window repaints it and
    // processes pending events at most every few milliseconds, so a long
    // fill stays visible and responsive without being slowed.
    [[nodiscard]] ProgressCallback FillProgress();
    void EndFill();

    SetupContext context_;
    ErrorLog log_;
    std::optional<InstallState> state_;
    // The registration item the last refresh found; empty when none.
    std::string registrationItemUrl_;
    bool blnNotFirstTime = false;
    QString LastAgeLimitText;
    int AgeLimitCaret = 0;
    bool ageLimitRestoring_ = false;
    std::string BrowseMode_;
    // While a list fills, the window processes events: commands that would
    // run another operation on the same connections wait for its end, and a
    // close is carried out when it ends.
    bool busy_ = false;
    bool closeRequested_ = false;
    QElapsedTimer sinceEvents_;
    bool barChanged_ = false;  // the bar changed since it was last painted
};

}  // namespace setup::windows
