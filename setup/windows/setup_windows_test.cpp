// The setup program's windows driven like an administrator drives them:
// clicks and keys through Qt Test on the offscreen platform, message boxes
// answered as they open, against a real store, catalog and embedded
// directory in a temporary folder.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/ado.h"
#include "registration/registration.h"
#include "setup/core/com_plus.h"
#include "setup/core/setup_text.h"
#include "setup/testing/setup_fixture.h"
#include "setup/windows/disclaimer.h"
#include "setup/windows/disclaimer_layout.h"
#include "setup/windows/install_form.h"
#include "setup/windows/install_form_layout.h"
#include "setup/windows/preview_window.h"
#include "setup/windows/progress_bar.h"
#include "setup/windows/select_recipient.h"
#include "setup/windows/select_recipient_layout.h"
#include "setup/windows/wrapping_check_box.h"

namespace setup::windows {
namespace {

using quellix::testing::User;

QApplication& App() {
    static int argc = 1;
    static char name[] = "setup_windows_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Waits, processing events, until pred holds (at most timeoutMs).
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// A message box as the administrator saw it.
struct SeenBox {
    std::string title, text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

// Answers the message boxes that open while it lives, with the given
// buttons in turn (the last one again when they run out).
class BoxAnswerer {
public:
    explicit BoxAnswerer(std::deque<QMessageBox::StandardButton> answers = {QMessageBox::Ok})
        : answers_(std::move(answers)) {
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Poll(); });
        timer_.start(5);
    }
    std::vector<SeenBox> seen;

    // Exactly one box opened, the program's, with this text, icon and buttons.
    void ExpectOne(const std::string& text, QMessageBox::Icon icon,
                   QMessageBox::StandardButtons buttons = QMessageBox::Ok) const {
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].text, text);
        EXPECT_EQ(seen[0].title, "Quellix setup");
        EXPECT_EQ(seen[0].icon, icon);
        EXPECT_EQ(seen[0].buttons, buttons);
    }

private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        seen.push_back({box->windowTitle().toStdString(), box->text().toStdString(), box->icon(),
                        box->standardButtons()});
        const QMessageBox::StandardButton answer = answers_.front();
        if (answers_.size() > 1) answers_.pop_front();
        box->button(answer)->click();
    }
    std::deque<QMessageBox::StandardButton> answers_;
    QTimer timer_;
};

std::string ScreenshotDir() {
    const char* dir = std::getenv("QUELLIX_SCREENSHOT_DIR");
    std::string path = dir != nullptr ? dir : "screenshots";
    std::filesystem::create_directories(path);
    return path;
}

void Screenshot(QWidget& w, const std::string& name) {
    const std::string path = ScreenshotDir() + "/" + name + ".png";
    ASSERT_TRUE(w.grab().save(QString::fromStdString(path))) << path;
}

std::vector<std::string> Lines(const QListWidget* list) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(list->count()));
    for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
    return lines;
}

// "User 00" (u00@example.org) and on, count of them.
std::vector<User> NumberedUsers(int count) {
    std::vector<User> users;
    for (int i = 0; i < count; ++i) {
        const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
        users.push_back({.cn = "User " + n,
                         .account = "u" + n,
                         .alias = "u" + n,
                         .mail = "u" + n + "@example.org"});
    }
    return users;
}

class SetupWindowsTest : public testing::SetupFixture {
protected:
    void SetUp() override {
        App();
        SetupFixture::SetUp();
        // Enough mailboxes that the browser's list scrolls.
        ASSERT_TRUE(LoadDirectory(testing::AnnBobCid(NumberedUsers(20))));
    }
    void TearDown() override {
        // The windows the test opened; their own dialogs and popups go with
        // them.
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->parent() == nullptr) w->deleteLater();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        SetupFixture::TearDown();
    }

    // The main window shown and refreshed once, as after "Yes".
    InstallForm* OpenForm() {
        auto* form = new InstallForm();
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form));
        EXPECT_TRUE(WaitUntil([&] { return form->State().has_value(); }));
        return form;
    }
    // Ready to install: install with an identity and the parameters shown.
    InstallForm* InstalledForm() {
        InstallForm* form = OpenForm();
        // An account a component may run as: the proposal (the account
        // running the window) is root here, which the catalog refuses.
        form->txtIdent->setText("nobody");
        form->txtPwd->setText("secret");
        BoxAnswerer answers;
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        EXPECT_TRUE(answers.seen.empty());
        EXPECT_EQ(form->State(), InstallState::Installed) << form->ErrorLogText();
        return form;
    }

    static platform::Variant Item(const std::string& name) { return RegistrationItem(name); }
    static bool ItemExists() { return RegistrationItemExists(); }
    static bool Installed() { return CheckComPlusApplication(kApplicationName, "", "").exists; }
};

// ---- Where controls stand and what they say ---------------------------------

QString Caption(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    return {};
}

// Every control of window has a row of its layout table and stands where
// its row puts it (nothing moves it after), wholly inside its parent, with
// its caption; the focus chain visits the controls that take the focus by
// their tab index, and no other control takes it.
void ExpectLaidOut(QWidget& window, std::span<const ControlPlace> table) {
    for (QWidget* w : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w->isWindow()) continue;  // a dialog the window opened
        EXPECT_NE(
            std::find_if(table.begin(), table.end(),
                         [&](const ControlPlace& row) { return w->objectName() == row.name; }),
            table.end())
            << "a control without a place: " << w->metaObject()->className() << " \""
            << w->objectName().toStdString() << "\"";
    }
    std::vector<const ControlPlace*> order;
    for (const ControlPlace& row : table) {
        SCOPED_TRACE(row.name);
        auto* w = window.findChild<QWidget*>(row.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->geometry(), Twips(row));
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry()))
            << "outside its parent " << w->parentWidget()->metaObject()->className();
        if (row.caption != nullptr) {
            EXPECT_EQ(Caption(w).toStdString(), row.caption);
        }
        EXPECT_EQ(row.tabIndex >= 0, w->focusPolicy() != Qt::NoFocus);
        if (row.tabIndex >= 0) order.push_back(&row);
    }
    std::sort(order.begin(), order.end(), [](const ControlPlace* a, const ControlPlace* b) {
        return a->tabIndex < b->tabIndex;
    });
    for (size_t i = 1; i < order.size(); ++i) {
        SCOPED_TRACE(order[i - 1]->name);
        QWidget* next = window.findChild<QWidget*>(order[i - 1]->name)->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
        EXPECT_EQ(next->objectName().toStdString(), order[i]->name);
    }
}

// Where a control draws its caption with its own font, in its parent's
// coordinates, and whether the caption fits the control; an empty rectangle
// for a control without a caption.
struct DrawnCaption {
    QRect rect;
    bool fits = true;
};

DrawnCaption CaptionOf(QWidget* w) {
    const QFontMetrics fm(w->font());
    const auto wrapped = [&](const QRect& box, const QString& text) {
        const QRect need =
            fm.boundingRect(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
        return DrawnCaption{need.translated(w->pos()), box.contains(need)};
    };
    const auto line = [&](const QRect& box, const QString& text) {
        const QRect need(box.left(), box.top() + (box.height() - fm.height()) / 2,
                         fm.horizontalAdvance(text), fm.height());
        return DrawnCaption{need.translated(w->pos()),
                            need.right() <= w->rect().right() && fm.height() <= w->height()};
    };
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->text().isEmpty()) return {};
        // Line breaks at the end draw nothing: they need no room.
        QString text = label->text();
        while (text.endsWith(QLatin1Char('\n'))) text.chop(1);
        if (label->wordWrap()) return wrapped(label->contentsRect(), text);
        const QRect box = label->contentsRect();
        return line(QRect(box.left(), box.top(), box.width(), fm.height()), text);
    }
    auto* button = qobject_cast<QAbstractButton*>(w);
    if (button == nullptr || button->text().isEmpty()) return {};
    QStyleOptionButton opt;
    opt.initFrom(button);
    opt.text = button->text();
    if (qobject_cast<QPushButton*>(w) != nullptr) {
        const QRect box = w->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, w);
        DrawnCaption c = line(box, button->text());
        c.rect.moveLeft(w->x() + box.left() + (box.width() - c.rect.width()) / 2);
        c.fits = c.fits && fm.horizontalAdvance(button->text()) <= box.width();
        return c;
    }
    const bool radio = qobject_cast<QRadioButton*>(w) != nullptr;
    const QRect box = w->style()->subElementRect(
        radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &opt, w);
    if (qobject_cast<WrappingCheckBox*>(w) != nullptr) {
        const QRect ind = w->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, w);
        return wrapped(QRect(ind.right() + 1, 0, w->width() - ind.right() - 1, w->height()),
                       button->text());
    }
    return line(box, button->text());
}

// Every caption of a window is whole: it fits its control in the window's
// face, and no control drawn over it hides a part of it. The start-time
// label runs under the time lists by design: its words stand before them
// and its colon in the gap between the hour and the minute.
void ExpectWholeCaptions(QWidget& window) {
    const QImage image = window.grab().toImage();
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&window)) continue;
        if (auto* list = qobject_cast<QComboBox*>(w)) {
            // The arrow of a drop-down list points down: in the right part
            // of the list, rows of ink that narrow to a tip.
            SCOPED_TRACE(w->objectName().toStdString());
            const QRect g = list->geometry();
            const QColor paper = image.pixelColor(g.right() - 2, g.top() + 2);
            std::vector<int> rows;
            for (int y = g.top() + 2; y < g.bottom() - 1; ++y) {
                int ink = 0;
                for (int x = g.right() - 14; x < g.right() - 1; ++x)
                    ink += image.pixelColor(x, y) != paper ? 1 : 0;
                if (ink > 0) rows.push_back(ink);
            }
            ASSERT_GE(rows.size(), 3u);
            for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i], rows[i - 1]);
            EXPECT_EQ(rows.back(), 1);
            continue;
        }
        DrawnCaption caption = CaptionOf(w);
        if (caption.rect.isEmpty()) continue;
        SCOPED_TRACE(w->objectName().toStdString() + " \"" + Caption(w).toStdString() + "\"");
        EXPECT_TRUE(caption.fits) << "needs " << caption.rect.width() << " x "
                                  << caption.rect.height() << " in " << w->width() << " x "
                                  << w->height();
        if (w->objectName() == "Label9") {
            auto* form = qobject_cast<InstallForm*>(&window);
            ASSERT_NE(form, nullptr);
            const QFontMetrics fm(w->font());
            caption.rect.setWidth(fm.horizontalAdvance(QStringLiteral("Start time:")));
            // Dark pixels of the colon between the hour and the minute list.
            const int from = form->ComboStartHour->geometry().right() + 1;
            const int to = form->ComboStartMin->x();
            int dark = 0;
            for (int x = from; x < to; ++x) {
                for (int y = w->y(); y < w->y() + w->height(); ++y)
                    dark += image.pixelColor(x, y).lightness() < 128 ? 1 : 0;
            }
            EXPECT_GE(dark, 2) << "no colon between " << from << " and " << to;
        }
        // Controls above it among its siblings.
        const QObjectList& siblings = w->parentWidget()->children();
        for (qsizetype i = siblings.indexOf(w) + 1; i < siblings.size(); ++i) {
            auto* above = qobject_cast<QWidget*>(siblings[i]);
            if (above == nullptr || !above->isVisibleTo(&window)) continue;
            EXPECT_FALSE(above->geometry().intersects(caption.rect))
                << "covered by " << above->objectName().toStdString();
        }
    }
}

// ---- The disclaimer ---------------------------------------------------------

// The disclaimer stands laid out and says its texts; "No" ends the program touching nothing,
// "Yes" opens the main window ready to install. Return and keypad Enter
// press the focused button, as Space does.
TEST_F(SetupWindowsTest, TheDisclaimerAndEnterOnTheFocusedButton) {
    struct Key {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const Key kReturn{Qt::Key_Return, Qt::NoModifier};
    const Key kEnter{Qt::Key_Enter, Qt::KeypadModifier};
    const auto press = [](QPushButton* button, Key k) {
        button->activateWindow();
        button->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(WaitUntil([&] { return button->hasFocus(); }));
        QTest::keyClick(QApplication::focusWidget(), k.key, k.modifiers);
    };
    const auto forms = [] {
        std::vector<InstallForm*> found;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* f = qobject_cast<InstallForm*>(w)) found.push_back(f);
        }
        return found;
    };

    QPointer<Disclaimer> declined = new Disclaimer();
    declined->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(declined));
    Screenshot(*declined, "disclaimer");
    EXPECT_EQ(declined->windowTitle(), "Quellix setup");
    ExpectLaidOut(*declined, kDisclaimerControls);
    ExpectWholeCaptions(*declined);
    EXPECT_EQ(declined->Label2->text().toStdString(),
              "Do you accept all of of the terms of the preceding Limitation of Liability? To "
              "install you must accept the Limitation of Liability . If  you choose No, install "
              "will close.");
    const std::string limitation = LimitationText();
    EXPECT_TRUE(limitation.starts_with(
        "LIMITATION OF LIABILITY. \r\n\r\nTO THE MAXIMUM EXTENT PERMITTED BY APPLICABLE LAW, IN "
        "NO EVENT SHALL THE CREATOR OF THIS SOFTWARE BE LIABLE"));
    EXPECT_TRUE(limitation.ends_with(".\r\n\r\n\r\n\r\n" + std::string(80, '-') + "\r\n"));
    press(declined->Command2, kReturn);
    EXPECT_TRUE(WaitUntil([&] { return declined.isNull(); }));
    EXPECT_TRUE(forms().empty());
    EXPECT_FALSE(Installed());
    EXPECT_FALSE(ItemExists());

    QPointer<Disclaimer> accepted = new Disclaimer();
    accepted->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(accepted));
    press(accepted->Command1, kEnter);
    EXPECT_TRUE(WaitUntil([&] { return accepted.isNull(); }));
    ASSERT_EQ(forms().size(), 1u);
    InstallForm* opened = forms().front();
    EXPECT_TRUE(opened->isVisible());
    EXPECT_TRUE(WaitUntil([&] { return opened->State().has_value(); }));
    EXPECT_EQ(opened->State(), InstallState::ReadyToInstall);
    opened->close();

    // The main window.
    InstallForm* form = InstalledForm();
    press(form->Command6, kReturn);  // Select All
    EXPECT_EQ(form->MbxInstList->selectedItems().size(), form->MbxInstList->count());
    press(form->Command7, kEnter);  // Deselect All
    EXPECT_TRUE(form->MbxInstList->selectedItems().isEmpty());
    QPointer<InstallForm> alive = form;
    press(form->Command2, kReturn);  // Exit
    EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); }));
}

// ---- The three window states, CHANGE, and the screenshots ------------------

TEST_F(SetupWindowsTest, DllMissingLeavesOnlyTheLogAndExit) {
    std::filesystem::remove(moduleDir_ + "/Quellix.so");
    InstallForm* form = OpenForm();
    EXPECT_EQ(form->State(), InstallState::DllMissing);
    Screenshot(*form, "install_form_dll_missing");
    const std::string log = form->ErrorLogText();
    EXPECT_NE(log.find("] File " + moduleDir_ +
                       "/Quellix.so not found. COM+ object installation "
                       "is impossible.\r\n\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("not found", log.find("not found") + 1), std::string::npos);  // one entry
    EXPECT_TRUE(form->txtErr->isVisible());
    EXPECT_TRUE(form->Command3->isVisible());
    EXPECT_FALSE(form->Check1->isEnabled());
    EXPECT_TRUE(form->txtIdent->isHidden());
    EXPECT_TRUE(form->txtPwd->isHidden());
    EXPECT_TRUE(form->Label2->isHidden());
    EXPECT_TRUE(form->Label3->isHidden());
    for (QWidget* w : std::initializer_list<QWidget*>{form->txtSpamFolder, form->ComboRun,
                                                      form->Check2, form->Check3, form->Check6,
                                                      form->MbxInstList, form->CheckAllMbx}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }

    // CHANGE empties the log and refreshes once: again exactly one entry.
    // ("Clear Error Log" is clicked where a fill fails.)
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    const std::string after = form->ErrorLogText();
    EXPECT_EQ(after.find("not found", after.find("not found") + 1), std::string::npos);
    EXPECT_NE(after.find("not found"), std::string::npos);
    EXPECT_FALSE(Installed());

    // Exit closes the window.
    QPointer<InstallForm> alive = form;
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); }));
}

TEST_F(SetupWindowsTest, ChangeInstallsWritesTheRegistrationAndMarks) {
    InstallForm* form = OpenForm();
    ASSERT_EQ(form->State(), InstallState::ReadyToInstall);
    Screenshot(*form, "install_form_ready_to_install");
    EXPECT_EQ(form->windowTitle(), "Quellix setup");
    {
        SCOPED_TRACE("ready to install");
        ExpectLaidOut(*form, kInstallFormControls);
        ExpectWholeCaptions(*form);
    }
    EXPECT_EQ(form->CheckAllMbx->parentWidget(), form->Frame1);
    EXPECT_EQ(form->txtPwd->echoMode(), QLineEdit::Password);
    // A control laid over another one's edge (Frame1 reaches into the run
    // list's last pixels) must not take the clicks meant for it.
    for (auto* w : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const bool takesInput = qobject_cast<QComboBox*>(w) || qobject_cast<QLineEdit*>(w) ||
                                qobject_cast<QAbstractButton*>(w) || qobject_cast<QListWidget*>(w);
        if (!takesInput || !w->isVisibleTo(form)) continue;
        const QRect r = w->geometry();
        for (const QPoint p : {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()}) {
            const QWidget* hit = form->childAt(p);
            EXPECT_TRUE(hit == w || w->isAncestorOf(hit))
                << w->objectName().toStdString() << " at " << p.x() << "," << p.y() << " is under "
                << (hit ? hit->objectName().toStdString() : "nothing");
        }
    }
    EXPECT_TRUE(form->Check1->isChecked());
    EXPECT_EQ(form->Label2->text(), "Password:");
    EXPECT_FALSE(form->Check2->isEnabled());
    EXPECT_FALSE(form->MbxInstList->isEnabled());
    // The defaults with no registration, shown in the lists.
    EXPECT_EQ(form->txtSpamFolder->text(), "Spam");
    EXPECT_EQ(form->ComboRun->currentText(), "Never run");
    EXPECT_EQ(form->ComboStartHour->currentText() + form->ComboStartAmPm->currentText(), "12AM");
    EXPECT_EQ(Lines(form->SysMbxList), std::vector<std::string>{testing::SystemMailboxListEntry()});
    EXPECT_EQ(Lines(form->MbxUninstList),
              std::vector<std::string>{"Bob Marked / EXCH01 / bob@example.org / bob"});
    EXPECT_EQ(form->MbxInstList->count(), 22);
    EXPECT_TRUE(form->Picture1->isHidden());

    // A password of blanks only: the identity warning, nothing installed.
    form->txtIdent->setText("nobody");
    QTest::keyClicks(form->txtPwd, "   ");
    {
        BoxAnswerer answers;
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        answers.ExpectOne("Please fill the Identity and Password fields", QMessageBox::Warning);
    }
    EXPECT_FALSE(Installed());
    EXPECT_EQ(form->State(), InstallState::ReadyToInstall);

    // Install with the parameters as typed: the folder is normalised.
    form->txtPwd->setText("secret");
    form->txtSpamFolder->setText(" /Inbox/Spam/ ");
    form->ComboRun->setCurrentIndex(1);
    form->ComboStartHour->setCurrentIndex(6);
    form->ComboStartMin->setCurrentIndex(5);
    form->ComboStartAmPm->setCurrentIndex(1);
    form->txtReportRecipient->setText("Admin (admin@example.org)");
    {
        BoxAnswerer answers;
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        EXPECT_TRUE(answers.seen.empty());
    }
    EXPECT_TRUE(Installed());
    ASSERT_EQ(form->State(), InstallState::Installed) << form->ErrorLogText();
    EXPECT_TRUE(ItemExists());
    EXPECT_EQ(Item(Custom(registration::kTimeToRun)).ToString(), "7:05 PM");
    EXPECT_EQ(Item(Custom(registration::kRun)), platform::Variant(int16_t{1}));
    EXPECT_EQ(Item(Custom(registration::kReportRecipient)).ToString(), "Admin (admin@example.org)");
    // The window after it: installed, the parameters read back.
    EXPECT_EQ(form->txtSpamFolder->text(), "Inbox/Spam");
    EXPECT_FALSE(form->txtIdent->isEnabled());
    EXPECT_TRUE(form->txtPwd->isHidden());
    EXPECT_EQ(form->Label2->text(), "Password: ********");
    EXPECT_EQ(form->ComboStartHour->currentText() + form->ComboStartAmPm->currentText(), "7PM");
    EXPECT_FALSE(form->Check1->isEnabled());
    EXPECT_TRUE(form->Check2->isEnabled());
    EXPECT_TRUE(form->txtErr->isHidden());
    {
        SCOPED_TRACE("installed, the log and its button shown");
        form->txtErr->show();
        form->Command3->show();
        ExpectWholeCaptions(*form);
        form->txtErr->hide();
        form->Command3->hide();
    }

    // Register Ann and unregister Bob in one CHANGE.
    QTest::mouseClick(form->MbxInstList->viewport(), Qt::LeftButton, {},
                      form->MbxInstList->visualItemRect(form->MbxInstList->item(0)).center());
    EXPECT_EQ(form->MbxInstList->item(0)->text().toStdString(),
              "Ann Lee / EXCH01 / ann@example.org / ann");
    QTest::mouseClick(form->Check3, Qt::LeftButton);
    EXPECT_TRUE(form->Check3->isChecked());
    QTest::mouseClick(form->Command8, Qt::LeftButton);  // Select All of the unregister list
    QTest::mouseClick(form->Check4, Qt::LeftButton);
    EXPECT_TRUE(form->Check4->isChecked());
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    EXPECT_EQ(Lines(form->MbxUninstList),
              std::vector<std::string>{"Ann Lee / EXCH01 / ann@example.org / ann"});
    EXPECT_EQ(form->MbxInstList->item(0)->text().toStdString(),
              "Bob Marked / EXCH01 / bob@example.org / bob");
    EXPECT_FALSE(form->Check3->isChecked());
    EXPECT_FALSE(form->Check4->isChecked());
    Screenshot(*form, "install_form_installed");

    // The preview beside CHANGE shows what the next firing is about to remove
    // (which messages, the preview's own test; how it is written, the
    // command line's): Ann's expired junk in Inbox/Spam; it removes nothing.
    Mailbox("ann");
    Message(Folder("ann", "Inbox/Spam"), "old", platform::Date::NowUtc().AddDays(-20));
    bool previewed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        auto* window = qobject_cast<PreviewWindow*>(QApplication::activeModalWidget());
        if (window == nullptr || !window->isVisible() || previewed) return;
        previewed = true;
        const std::string text = window->txtPreview->toPlainText().toStdString();
        EXPECT_NE(text.find("/ann/Inbox/Spam/old.EML"), std::string::npos) << text;
        Screenshot(*window, "preview");
        QTest::mouseClick(window->cmdClose, Qt::LeftButton);
    });
    poll.start(5);
    QTest::mouseClick(form->cmdPreview, Qt::LeftButton);
    poll.stop();
    EXPECT_TRUE(previewed);
    EXPECT_TRUE(form->txtErr->isHidden()) << form->ErrorLogText();
    EXPECT_EQ(Messages("ann", "Inbox/Spam"), std::vector<std::string>{"old"});
}

// A modification refused keeps the registration; an uninstallation asks,
// and Cancel keeps everything.
TEST_F(SetupWindowsTest, ModifyRefusesAnEmptyFolderAndUninstallAsks) {
    InstallForm* form = InstalledForm();
    QTest::mouseClick(form->Check2, Qt::LeftButton);
    form->txtSpamFolder->setText("/");
    {
        BoxAnswerer answers;
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        answers.ExpectOne("Please fill the Spam folder name field", QMessageBox::Warning);
    }
    EXPECT_EQ(form->txtSpamFolder->text(), "");  // the normalised text is kept
    EXPECT_TRUE(form->Check2->isChecked());      // not refreshed
    EXPECT_EQ(Item(Custom(registration::kFolderName)).ToString(), "Spam");
    QTest::mouseClick(form->Check2, Qt::LeftButton);

    QTest::mouseClick(form->Check6, Qt::LeftButton);
    {
        BoxAnswerer answers({QMessageBox::Cancel});
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        answers.ExpectOne(
            "You are about to remove the COM+ object.\n"
            "Also, if you click Yes all schedule information will be cleared.\n"
            "Do you want to continue?",
            QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel);
    }
    EXPECT_TRUE(Installed());
    EXPECT_TRUE(ItemExists());
    EXPECT_EQ(form->State(), InstallState::Installed);
    EXPECT_FALSE(form->Check6->isChecked());

    QTest::mouseClick(form->Check6, Qt::LeftButton);
    {
        BoxAnswerer answers({QMessageBox::Ok});
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        EXPECT_EQ(answers.seen.size(), 1u);
    }
    EXPECT_FALSE(Installed());
    EXPECT_FALSE(ItemExists());
    EXPECT_EQ(form->State(), InstallState::ReadyToInstall);
    EXPECT_TRUE(form->Check1->isChecked());
    EXPECT_EQ(form->txtPwd->text(), "");
    EXPECT_TRUE(form->txtErr->isHidden()) << form->ErrorLogText();
}

// ---- The input rules -------------------------------------------------------

// The age limit holds digits only, typed or pasted. A box whose action
// needs a choice first refuses the click and says what to choose; once the
// choice is made, the same click is taken. The report recipient is checked
// when it loses the focus.
TEST_F(SetupWindowsTest, TheInputRules) {
    InstallForm* form = InstalledForm();
    QLineEdit* age = form->txtAgeLimit;
    age->setFocus();
    age->selectAll();
    QTest::keyClicks(age, "30");
    EXPECT_EQ(age->text(), "30");
    QTest::keyClick(age, Qt::Key_Home);
    QTest::keyClick(age, Qt::Key_Right);
    QTest::keyClicks(age, "a");  // beeps, keeps the digits and the caret
    EXPECT_EQ(age->text(), "30");
    EXPECT_EQ(age->cursorPosition(), 1);
    QApplication::clipboard()->setText("1a");
    QTest::keyClick(age, Qt::Key_End);
    QTest::keyClick(age, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(age->text(), "30");
    EXPECT_EQ(age->cursorPosition(), 2);
    QApplication::clipboard()->setText("12");
    QTest::keyClick(age, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(age->text(), "3012");
    age->selectAll();
    QTest::keyClick(age, Qt::Key_Delete);  // all digits deleted: accepted
    EXPECT_EQ(age->text(), "");
    QTest::keyClicks(age, "-");
    EXPECT_EQ(age->text(), "");

    struct Choice {
        QAbstractButton* control;
        const char* message;
        std::function<void()> unready, ready;
    };
    const Choice choices[] = {
        {form->Check3, "Please select the mailbox(es) for registration", [] {},
         [&] { form->MbxInstList->item(0)->setSelected(true); }},
        {form->Check4, "Please select the mailbox(es) for unregistration", [] {},
         [&] { form->MbxUninstList->item(0)->setSelected(true); }},
        {form->OptMove, "Please select the destination mailbox to move expired messages",
         [&] { form->txtDestFolder->setText("   "); },
         [&] { form->txtDestFolder->setText("Cid Free (cid@example.org)"); }},
    };
    for (const Choice& c : choices) {
        SCOPED_TRACE(c.message);
        c.unready();
        {
            BoxAnswerer answers;
            QTest::mouseClick(c.control, Qt::LeftButton);
            answers.ExpectOne(c.message, QMessageBox::Information);
            EXPECT_FALSE(c.control->isChecked());
        }
        c.ready();
        BoxAnswerer answers;
        QTest::mouseClick(c.control, Qt::LeftButton);
        EXPECT_TRUE(answers.seen.empty());
        EXPECT_TRUE(c.control->isChecked());
    }
    EXPECT_FALSE(form->OptDelete->isChecked());

    // "Affect ALL mailboxes" at the end of a fill disables the per-mailbox
    // boxes and "Select All", not "Deselect All". While the lists fill, the
    // bar is shown and events run: a timer fires only when the fill lets
    // events through.
    QTest::mouseClick(form->CheckAllMbx, Qt::LeftButton);
    std::vector<std::pair<bool, std::string>> seen;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
        seen.emplace_back(form->Picture1->isVisible(), form->Picture1->Text().toStdString());
    });
    probe.start(0);
    form->RefillMailboxLists();
    probe.stop();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.front().first);
    EXPECT_EQ(seen.front().second, "4%");  // 1 of 24 records
    EXPECT_TRUE(form->Picture1->isHidden());
    EXPECT_EQ(form->MbxInstList->count(), 21);  // Cid, the destination, is not offered
    EXPECT_FALSE(form->Check3->isEnabled());
    EXPECT_FALSE(form->Check4->isEnabled());
    EXPECT_FALSE(form->Command6->isEnabled());
    EXPECT_FALSE(form->Command8->isEnabled());
    EXPECT_TRUE(form->Command7->isEnabled());
    EXPECT_TRUE(form->Command9->isEnabled());

    struct Case {
        const char* text;
        bool accepted;
    };
    const Case cases[] = {
        // The window asks the recipient check, not the bare address check:
        // the rows where the two differ, and one either refuses (which
        // others the check refuses is setup_text's test).
        {"", true},
        {"Admin (admin@example.org)", true},
        {"Admin <admin@example.org>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        form->activateWindow();
        form->txtReportRecipient->setFocus();
        ASSERT_TRUE(WaitUntil([&] { return form->txtReportRecipient->hasFocus(); }));
        form->txtReportRecipient->setText(c.text);
        BoxAnswerer answers;
        QTest::keyClick(form->txtReportRecipient, Qt::Key_Tab);  // the focus moves on
        WaitUntil([&] { return !answers.seen.empty(); }, c.accepted ? 100 : 5000);
        if (c.accepted) {
            EXPECT_TRUE(answers.seen.empty());
            continue;
        }
        answers.ExpectOne(
            "Please enter correct e-mail address.\r\n\r\nExamples:\r\n"
            "postmaster@example.com\r\nPostmaster (postmaster@example.com)",
            QMessageBox::Information);
        EXPECT_TRUE(WaitUntil([&] { return form->txtReportRecipient->hasFocus(); }));
        EXPECT_EQ(form->txtReportRecipient->text(), c.text);  // the text is kept
    }
}

// ---- The recipient browser ---------------------------------------------------

// Opens the browser through button, looks at it while it is open, then
// presses OK or Cancel.
void Browse(QPushButton* button, const std::function<void(SelectRecipient&)>& look, bool ok) {
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        auto* browser = qobject_cast<SelectRecipient*>(QApplication::activeModalWidget());
        if (browser == nullptr || !browser->isVisible() || seen) return;
        seen = true;
        look(*browser);
        QTest::mouseClick(ok ? browser->Command1 : browser->Command2, Qt::LeftButton);
    });
    poll.start(5);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(seen);
}

TEST_F(SetupWindowsTest, BrowserPreselectsScrollsAndFillsTheField) {
    InstallForm* form = InstalledForm();
    // Report recipient: both lists; the value at index 5 is selected and
    // index 3 is the top line.
    form->txtReportRecipient->setText("USER 02 (U02@EXAMPLE.ORG)");
    Browse(
        form->Command10,
        [&](SelectRecipient& b) {
            EXPECT_EQ(b.windowTitle(), "Select Recipient");
            ExpectLaidOut(b, kSelectRecipientControls);
            EXPECT_EQ(b.List1->item(0)->text(), "Ann Lee (ann@example.org)");
            EXPECT_EQ(b.List1->count(), 23);
            EXPECT_EQ(b.List1->item(22)->text(), "Bob Marked (bob@example.org)");
            EXPECT_EQ(b.List1->currentRow(), 4);
            EXPECT_EQ(b.List1->indexAt(QPoint(2, 2)).row(), 2);
            Screenshot(b, "select_recipient");
        },
        true);
    EXPECT_EQ(form->txtReportRecipient->text(), "User 02 (u02@example.org)");
    EXPECT_EQ(form->BrowseMode(), "All");

    // No match: nothing selected, not scrolled. A match at index 1: no scroll.
    form->txtReportRecipient->setText("Cid Free (cid@example.org)");
    Browse(
        form->Command10,
        [&](SelectRecipient& b) {
            EXPECT_EQ(b.List1->selectedItems().size(), 1);
            EXPECT_EQ(b.List1->currentRow(), 1);
            EXPECT_EQ(b.List1->indexAt(QPoint(2, 2)).row(), 0);
        },
        false);
    form->txtReportRecipient->setText("nobody@example.org");
    Browse(
        form->Command10,
        [&](SelectRecipient& b) {
            EXPECT_TRUE(b.List1->selectedItems().isEmpty());
            EXPECT_EQ(b.List1->indexAt(QPoint(2, 2)).row(), 0);
        },
        false);
    EXPECT_EQ(form->txtReportRecipient->text(), "nobody@example.org");  // Cancel

    // Destination: the register list only; OK picks Cid, selects "Move" and
    // refills the lists, where Cid no longer is offered for registration.
    Browse(
        form->Command5,
        [&](SelectRecipient& b) {
            EXPECT_EQ(b.List1->count(), 22);
            b.List1->setCurrentRow(1);
        },
        true);
    EXPECT_EQ(form->BrowseMode(), "Not Regisitered");
    EXPECT_EQ(form->txtDestFolder->text(), "Cid Free (cid@example.org)");
    EXPECT_TRUE(form->OptMove->isChecked());
    EXPECT_EQ(form->MbxInstList->count(), 21);
    EXPECT_EQ(form->MbxInstList->item(1)->text(), "User 00 / EXCH01 / u00@example.org / u00");

    // With a destination, it is offered at the end and preselected.
    Browse(
        form->Command5,
        [&](SelectRecipient& b) {
            EXPECT_EQ(b.List1->count(), 22);
            EXPECT_EQ(b.List1->item(21)->text(), "Cid Free (cid@example.org)");
            EXPECT_EQ(b.List1->currentRow(), 21);
        },
        false);
}

// ---- Failures and the progress bar -----------------------------------------

// Clicks a control where the administrator would: through the window, so the
// click lands on whatever lies on top at that point.
void ClickThroughWindow(QWidget* control) {
    QWidget* window = control->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      control->mapTo(window, control->rect().center()));
}

// A refresh whose fill ends early or never starts leaves no blank bar over
// the error log and "Clear Error Log".
TEST_F(SetupWindowsTest, TheBarGoesWhenAFillFailsOrFindsNoMailboxAndTheLogClears) {
    struct Case {
        const char* name;
        std::vector<std::string> config;
        bool logged;
    };
    const std::string empty = dir_ + "/empty.ldb";
    quellix::testing::LoadEmbeddedDirectory(empty, {}, "");
    const Case cases[] = {
        {"directory_down",
         {"directory = ldap://127.0.0.1:1", "directory.dns_host_name = 127.0.0.1",
          "directory.gc_port = 1", "directory.ldap_port = 1"},
         true},
        {"directory_without_mailboxes", {"directory = ldb://" + empty}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(c.config);
        InstallForm* form = OpenForm();
        EXPECT_EQ(form->MbxInstList->count(), 0);
        EXPECT_TRUE(form->Picture1->isHidden());
        Screenshot(*form, std::string("install_form_") + c.name);
        if (c.logged) {
            const std::string log = form->ErrorLogText();
            EXPECT_NE(log.find(" - ERROR: -2147016646 "), std::string::npos) << log;
            EXPECT_TRUE(form->txtErr->isVisible());
            ClickThroughWindow(form->Command3);
            EXPECT_EQ(form->ErrorLogText(), "");
            EXPECT_EQ(form->txtErr->toPlainText().toStdString(), "");
            EXPECT_TRUE(form->txtErr->isHidden());
            EXPECT_TRUE(form->Command3->isHidden());
        }
        EXPECT_TRUE(form->txtErr->isHidden()) << form->ErrorLogText();
        QPointer<InstallForm> alive = form;
        ClickThroughWindow(form->Command2);
        EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); }));
    }
}

// A directory whose own size limit ends the mailbox search: the lists hold
// the rows before the cut, and the error log says the lists were cut, at
// every fill.
TEST_F(SetupWindowsTest, AMailboxListCutByTheDirectoryIsLogged) {
    using localplatform::directory::testing::SlapdHarness;
    if (!SlapdHarness::Available()) GTEST_SKIP() << "slapd is not installed";
    const std::vector<User> users = NumberedUsers(12);
    SlapdHarness::Options o;
    o.suffix = quellix::testing::kBaseDn;
    // Not the server's root: the root is exempt from its limits.
    o.rootDn = "CN=reader," + std::string(quellix::testing::kBaseDn);
    o.serverSizeLimit = 8;
    o.preloadLdif = dir_ + "/cut.ldif";
    std::ofstream(o.preloadLdif) << quellix::testing::DirectoryLdif(users,
                                                                    testing::ServerObjectsLdif());
    slapd_ = std::make_unique<SlapdHarness>(o);
    Configure({slapd_->ConfigLines(), "directory.bind_dn = ", "directory.password = "});

    InstallForm* form = OpenForm();
    const auto expectCutLogged = [&] {
        const std::string log = form->ErrorLogText();
        EXPECT_TRUE(log.starts_with("[")) << log;
        const size_t entry = log.find("] GC://127.0.0.1 - ERROR: -2147016668 ");
        ASSERT_NE(entry, std::string::npos) << log;
        EXPECT_NE(log.find("size limit ended the search after 8 entries", entry), std::string::npos)
            << log;
        EXPECT_TRUE(form->txtErr->isVisible());
        EXPECT_LE(form->MbxInstList->count(), 8);  // of 12
    };
    expectCutLogged();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    ASSERT_EQ(form->ErrorLogText(), "");
    form->RefillMailboxLists();
    expectCutLogged();
}

TEST(ProgressBarTest, DrawsThePercentageAndTheBar) {
    App();
    ProgressBar bar;
    bar.resize(200, 25);
    struct Case {
        int32_t scale, steps;
        const char* text;
        int barWidth;
    };
    // The percentages are setup_text's; here the bar's width, held full past
    // the end.
    for (const Case& c : {Case{4, 5, "100%", 200}, Case{8, 3, "38%", 75}}) {
        SCOPED_TRACE(c.text);
        Progress p(c.scale);
        std::string text;
        for (int i = 0; i < c.steps; ++i) text = p.UpdateStatus(1);
        bar.UpdateStatus(p, text);
        EXPECT_EQ(bar.Text().toStdString(), c.text);
        EXPECT_EQ(bar.BarWidth(), c.barWidth);
    }
    // Half way: blue on the left, white on the right, and the text white
    // where the bar covers it.
    Progress half(2);
    bar.UpdateStatus(half, half.UpdateStatus(1));
    const QImage image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(5, 12), QColor(0, 0, 255));
    EXPECT_EQ(image.pixelColor(195, 12), QColor(Qt::white));
    bool whiteInBar = false, blueInWhite = false;
    for (int x = 60; x < 100; ++x) {
        for (int y = 0; y < 25; ++y) whiteInBar |= image.pixelColor(x, y) == QColor(Qt::white);
    }
    for (int x = 100; x < 140; ++x) {
        for (int y = 0; y < 25; ++y)
            blueInWhite |=
                image.pixelColor(x, y).blue() > 200 && image.pixelColor(x, y).red() < 100;
    }
    EXPECT_TRUE(whiteInBar);
    EXPECT_TRUE(blueInWhite);
}

}  // namespace
}  // namespace setup::windows
