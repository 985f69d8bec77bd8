#include "app/window/dialogs.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/texts.h"
#include "platform/codepage.h"

using platform::ToUnicode;

namespace dialogs {

bool Confirm(QWidget* parent, const AnsiString& question) {
    QMessageBox box(QMessageBox::Question, ToUnicode(Texts::ConfirmTitle), ToUnicode(question),
                    QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(ToUnicode(Texts::ConfirmYes), QMessageBox::YesRole);
    QPushButton* no = box.addButton(ToUnicode(Texts::ConfirmNo), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void ShowError(QWidget* parent, const AnsiString& message) {
    QMessageBox box(QMessageBox::Critical, ToUnicode(Texts::ApplicationTitle),
                    ToUnicode(message + "."), QMessageBox::Ok, parent);
    box.exec();
}

void ShowGuardMessage(const AnsiString& message) {
    QMessageBox box(QMessageBox::NoIcon, ToUnicode(Texts::ApplicationTitle), ToUnicode(message),
                    QMessageBox::NoButton);
    box.addButton(ToUnicode(Texts::GuardButton), QMessageBox::AcceptRole);
    box.exec();
}

}  // namespace dialogs
