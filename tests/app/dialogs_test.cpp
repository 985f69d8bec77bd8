#include "app/window/dialogs.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/texts.h"
#include "platform/codepage.h"

namespace {

// Runs `inspect` on the message box once it is open and waiting for an answer.
void WhenTheBoxOpens(std::function<void(QMessageBox&)> inspect) {
    QTimer::singleShot(0, [inspect] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "no message box is open";
        inspect(*box);
    });
}

QStringList ButtonTexts(const QMessageBox& box) {
    QStringList texts;
    for (QAbstractButton* button : box.buttons()) texts << button->text();
    texts.sort();
    return texts;
}

TEST(Dialogs, ConfirmationDefaultsToYesAndEscapeAnswersNo) {
    const AnsiString question = platform::FromUtf8("正在下载升级文件,是否取消?");
    WhenTheBoxOpens([](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle(), QStringLiteral("确认"));
        EXPECT_EQ(box.icon(), QMessageBox::Question);
        EXPECT_EQ(box.text(), QStringLiteral("正在下载升级文件,是否取消?"));
        EXPECT_EQ(ButtonTexts(box),
                  (QStringList{QStringLiteral("否[&N]"), QStringLiteral("是[&Y]")}));
        QTest::keyClick(&box, Qt::Key_Return);
    });
    EXPECT_TRUE(dialogs::Confirm(nullptr, question));

    WhenTheBoxOpens([](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    EXPECT_FALSE(dialogs::Confirm(nullptr, question));
}

// Sends the box the key event of `type` for `key` at `timestamp` milliseconds.
void SendKey(QMessageBox& box, QEvent::Type type, Qt::Key key, quint64 timestamp,
             bool markedAsRepeat) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), markedAsRepeat);
    event.setTimestamp(timestamp);
    QApplication::sendEvent(&box, &event);
}

// A key held down since before the box opened repeats, on X11 as a release and a press at one
// instant, most of them not marked as repeats. Taken as answers, they answer every box the
// instant it opens: no question is ever seen, and a held Return answers Yes.
TEST(Dialogs, AKeyHeldSinceBeforeTheBoxOpenedIsNoAnswer) {
    const AnsiString question = platform::FromUtf8("正在下载升级文件,是否取消?");
    const struct {
        const char* name;
        Qt::Key key;
        bool yes;  // the answer of a fresh press
    } cases[] = {{"Escape", Qt::Key_Escape, false}, {"Return", Qt::Key_Return, true}};
    for (const auto& held : cases) {
        bool openAfterRepeats = false;
        WhenTheBoxOpens([&](QMessageBox& box) {
            SendKey(box, QEvent::KeyRelease, held.key, 1000, false);
            SendKey(box, QEvent::KeyPress, held.key, 1000, false);
            SendKey(box, QEvent::KeyRelease, held.key, 1033, true);
            SendKey(box, QEvent::KeyPress, held.key, 1033, true);
            openAfterRepeats = box.isVisible();
            // Let go and pressed again: an answer.
            SendKey(box, QEvent::KeyRelease, held.key, 1050, false);
            SendKey(box, QEvent::KeyPress, held.key, 1400, false);
        });
        EXPECT_EQ(dialogs::Confirm(nullptr, question), held.yes) << held.name;
        EXPECT_TRUE(openAfterRepeats) << held.name;
    }
}

TEST(Dialogs, ErrorBoxShowsTheMessageWithAFullStop) {
    WhenTheBoxOpens([](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle(), QStringLiteral("SENDRIFT"));
        EXPECT_EQ(box.icon(), QMessageBox::Critical);
        EXPECT_EQ(box.text(), QStringLiteral("Invalid argument to date encode."));
        box.accept();
    });
    dialogs::ShowError(nullptr, "Invalid argument to date encode");
}

TEST(Dialogs, GuardMessageHasNoIconAndOneButton) {
    WhenTheBoxOpens([](QMessageBox& box) {
        EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box.text(),
                  QStringLiteral("请先退出“VELTRAMO外贸业务管理系统”，然后运行本程序！"));
        EXPECT_EQ(ButtonTexts(box), QStringList{QStringLiteral("确定")});
        QTest::keyClick(&box, Qt::Key_Return);
    });
    dialogs::ShowGuardMessage(Texts::GuardMessage);
}

}  // namespace
