#include "app/window/dialogs.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
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
