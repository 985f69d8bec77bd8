// Shows the message box in which the program refuses to start (dialogs::ShowGuardMessage) with
// the text of its argument, and prints "button X Y", the centre of the box's button in the
// box's own coordinates, once the box is on the screen. Ends with 0 when the box is answered.
// A test of the real program compares the program's box with this one, picture for picture,
// to tell which text it shows, and clicks the button where this one has it.
// Usage: x11_guard_box TEXT   (UTF-8)
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "app/window/dialogs.h"
#include "platform/codepage.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fputs("usage: x11_guard_box TEXT\n", stderr);
        return 64;
    }
    // The box runs its own event loop, so it is found from a timer that runs inside it.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&poll] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            const auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->windowHandle() || !box->windowHandle()->isExposed()) continue;
            const QAbstractButton* button = box->buttons().value(0);
            if (!button) continue;
            const QPoint centre = button->mapTo(box, button->rect().center());
            std::printf("button %d %d\n", centre.x(), centre.y());
            std::fflush(stdout);
            poll.stop();
        }
    });
    poll.start(20);
    dialogs::ShowGuardMessage(platform::FromUtf8(argv[1]));
    return 0;
}
