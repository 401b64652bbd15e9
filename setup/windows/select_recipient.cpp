#include "setup/windows/select_recipient.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <utility>

#include "base/strfuncs.h"
#include "setup/core/setup_text.h"
#include "setup/windows/install_form.h"
#include "setup/windows/select_recipient_layout.h"

namespace setup::windows {

SelectRecipient::SelectRecipient(std::string browseMode, std::vector<std::string> registerList,
                                 std::vector<std::string> unregisterList, std::string destFolder,
                                 std::string reportRecipient, QWidget* parent)
    : QDialog(parent),
      browseMode_(std::move(browseMode)),
      registerList_(std::move(registerList)),
      unregisterList_(std::move(unregisterList)),
      destFolder_(std::move(destFolder)),
      reportRecipient_(std::move(reportRecipient)) {
    setWindowTitle(kSelectRecipientCaption);
    setModal(true);
    if (parent != nullptr) setFont(parent->font());
    setFixedSize(Twips(0, 0, kSelectRecipientWidth, kSelectRecipientHeight).size());
    List1 = new QListWidget(this);
    Place(*List1, SelectRecipientControl("List1"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setUniformItemSizes(true);
    Command1 = new QPushButton(QString::fromUtf8(SelectRecipientControl("Command1").caption), this);
    Place(*Command1, SelectRecipientControl("Command1"));
    Command2 = new QPushButton(QString::fromUtf8(SelectRecipientControl("Command2").caption), this);
    Place(*Command2, SelectRecipientControl("Command2"));
    Command1->setAutoDefault(false);
    Command2->setAutoDefault(false);
    OrderTabs(*this, kSelectRecipientControls);

    connect(Command1, &QPushButton::clicked, this, [this] {
        if (QListWidgetItem* item = List1->currentItem(); item != nullptr && item->isSelected()) {
            chosen_ = item->text().toStdString();
        }
        accept();
    });
    connect(Command2, &QPushButton::clicked, this, [this] { reject(); });
}

void SelectRecipient::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!filled_) {
        filled_ = true;
        FillList();
    }
}

void SelectRecipient::FillList() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool destination = browseMode_ == kBrowseDestination;
    QStringList labels;
    for (const std::string& entry : registerList_) {
        labels << QString::fromStdString(GetMbxMameAndEmail(entry));
    }
    if (!destination) {
        for (const std::string& entry : unregisterList_) {
            labels << QString::fromStdString(GetMbxMameAndEmail(entry));
        }
    }
    if (destination && !platform::Trim(destFolder_).empty()) {
        // The destination is never in the register list: keep it choosable.
        labels << QString::fromStdString(destFolder_);
    }
    List1->addItems(labels);
    List1->doItemsLayout();

    // Preselect the field's value; the last matching line stays selected and
    // the list scrolls so that two lines stand above it.
    const std::string current = destination ? destFolder_ : reportRecipient_;
    for (int i = 0; i < List1->count(); ++i) {
        if (!platform::EqualsNoCase(List1->item(i)->text().toStdString(), current)) continue;
        List1->setCurrentRow(i);
        if (i > 1) List1->scrollToItem(List1->item(i - 2), QAbstractItemView::PositionAtTop);
    }
    QApplication::restoreOverrideCursor();
}

}  // namespace setup::windows
