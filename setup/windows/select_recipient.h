// SelectRecipient: the recipient browser. It offers the mailboxes of the main
// window's lists as mailbox labels ("cn (mail)") for one of two fields, the
// destination mailbox (BrowseMode "Not Regisitered": the register list plus
// the current destination) or the report recipient ("All": both lists),
// preselects the field's current value and hands back the chosen label. It
// reads nothing from the directory itself.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

class QListWidget;
class QPushButton;

namespace setup::windows {

inline constexpr const char* kSelectRecipientCaption = "Select Recipient";

class SelectRecipient : public QDialog {
    Q_OBJECT
public:
    // registerList and unregisterList are the mailbox entries of MbxInstList
    // and MbxUninstList; destFolder and reportRecipient the two fields' texts.
    SelectRecipient(std::string browseMode, std::vector<std::string> registerList,
                    std::vector<std::string> unregisterList, std::string destFolder,
                    std::string reportRecipient, QWidget* parent);

    // The label selected when OK was clicked; nothing when no line was.
    [[nodiscard]] const std::optional<std::string>& Chosen() const { return chosen_; }

    QListWidget* List1;
    QPushButton* Command1;  // "OK"
    QPushButton* Command2;  // "Cancel"

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FillList();

    std::string browseMode_;
    std::vector<std::string> registerList_, unregisterList_;
    std::string destFolder_, reportRecipient_;
    std::optional<std::string> chosen_;
    bool filled_ = false;
};

}  // namespace setup::windows
