#include "app/window/dialogs.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <unordered_map>

#include "app/texts.h"
#include "platform/codepage.h"

using platform::ToUnicode;

namespace {

// Lets a message box take its answer only from keys pressed while it is shown. A key held down
// since before the box opened repeats: a person still holding Escape or Return from the last
// box, a key whose release a remote session or an input tool lost. Its repeats would answer
// every box the instant it opens, so that no question is seen again (a held Escape refuses
// every cancel; a held Return answers Yes). X11 sends each repeat as a release and a press of
// the key at one instant, and Qt marks only the repeats whose press it had already read when
// it took the release: the timestamps tell the others.
class FreshKeysOnly : public QObject {
public:
    explicit FreshKeysOnly(const QWidget& box) : box_(box) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~FreshKeysOnly() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        const auto* widget = qobject_cast<QWidget*>(target);
        if (!widget || widget->window() != &box_) return false;
        switch (event->type()) {
            case QEvent::KeyRelease: {
                const auto* key = static_cast<QKeyEvent*>(event);
                releasedAt_[key->key()] = key->timestamp();
                return false;
            }
            // A repeat's shortcut override is taken as well, so that no accelerator fires.
            case QEvent::ShortcutOverride:
            case QEvent::KeyPress:
                if (!IsRepeat(*static_cast<QKeyEvent*>(event))) return false;
                event->accept();
                return true;
            default:
                return false;
        }
    }

private:
    bool IsRepeat(const QKeyEvent& press) const {
        if (press.isAutoRepeat()) return true;
        const auto released = releasedAt_.find(press.key());
        return released != releasedAt_.end() && released->second == press.timestamp();
    }

    const QWidget& box_;
    std::unordered_map<int, quint64> releasedAt_;  // the time of each key's last release
};

void Answer(QMessageBox& box) {
    FreshKeysOnly freshKeys(box);
    box.exec();
}

}  // namespace

namespace dialogs {

bool Confirm(QWidget* parent, const AnsiString& question) {
    QMessageBox box(QMessageBox::Question, ToUnicode(Texts::ConfirmTitle), ToUnicode(question),
                    QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(ToUnicode(Texts::ConfirmYes), QMessageBox::YesRole);
    QPushButton* no = box.addButton(ToUnicode(Texts::ConfirmNo), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    Answer(box);
    return box.clickedButton() == yes;
}

void ShowError(QWidget* parent, const AnsiString& message) {
    QMessageBox box(QMessageBox::Critical, ToUnicode(Texts::ApplicationTitle),
                    ToUnicode(message + "."), QMessageBox::Ok, parent);
    Answer(box);
}

void ShowGuardMessage(const AnsiString& message) {
    QMessageBox box(QMessageBox::NoIcon, ToUnicode(Texts::ApplicationTitle), ToUnicode(message),
                    QMessageBox::NoButton);
    box.addButton(ToUnicode(Texts::GuardButton), QMessageBox::AcceptRole);
    Answer(box);
}

}  // namespace dialogs
