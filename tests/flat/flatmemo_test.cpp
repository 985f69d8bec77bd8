#include "ui/flat/flatmemo.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QEnterEvent>
#include <QLineEdit>
#include <QPainter>
#include <QTest>

#include "platform/codepage.h"
#include "ui/flat/flatutilitys.h"

namespace {

const QColor kBackdrop(1, 2, 3);
constexpr TColor kFocused = 0x00FFFFFF, kFlat = 0x00E1EAEB, kBorder = 0x008396A0;

QImage RenderBorder(const TFlatMemo& memo) {
    QImage image(memo.size(), QImage::Format_RGB32);
    image.fill(kBackdrop);
    QPainter painter(&image);
    memo.PaintBorder(painter, image.rect());
    return image;
}

// Two focusable memos and a line edit in an active window.
class MemoTest : public testing::Test {
protected:
    void SetUp() override {
        window.resize(400, 300);
        first.move(0, 0);
        second.move(200, 0);
        other.move(0, 200);
        for (TFlatMemo* memo : {&first, &second}) {
            memo->setFocusPolicy(Qt::StrongFocus);
            memo->SetColorFlat(kFlat);
        }
        // Away from the window, so that showing it does not put the cursor on a control.
        QCursor::setPos(QPoint(790, 590));
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    static void Enter(TFlatMemo& memo) {
        QEnterEvent event(QPointF(5, 5), QPointF(5, 5), memo.mapToGlobal(QPointF(5, 5)));
        QApplication::sendEvent(&memo, &event);
    }
    static void Leave(TFlatMemo& memo) {
        QEvent event(QEvent::Leave);
        QApplication::sendEvent(&memo, &event);
    }
    static QColor Look(const TFlatMemo& memo) { return RenderBorder(memo).pixelColor(1, 1); }

    QWidget window;
    TFlatMemo first{&window}, second{&window};
    QLineEdit other{&window};
};

}  // namespace

TEST(FlatMemo, BorderIsThreeRingsOutsideTheTextArea) {
    QWidget parent;
    TFlatMemo memo(&parent);
    parent.show();  // polishing must keep the text area inside the band
    EXPECT_EQ(memo.size(), QSize(185, 89));
    memo.SetColorFlat(0x00102030);
    QImage image = RenderBorder(memo);
    EXPECT_EQ(image.pixelColor(0, 0), ToQColor(kBorder));
    EXPECT_EQ(image.pixelColor(184, 88), ToQColor(kBorder));
    EXPECT_EQ(image.pixelColor(1, 1), QColor(0x30, 0x20, 0x10));
    EXPECT_EQ(image.pixelColor(2, 50), QColor(0x30, 0x20, 0x10));
    EXPECT_EQ(image.pixelColor(182, 86), QColor(0x30, 0x20, 0x10));
    EXPECT_EQ(image.pixelColor(3, 3), kBackdrop);
    EXPECT_EQ(memo.contentsRect(), QRect(3, 3, 179, 83));
    EXPECT_EQ(memo.viewport()->palette().color(QPalette::Base), QColor(0x30, 0x20, 0x10));
    QImage shown = parent.grab().toImage();
    EXPECT_EQ(shown.pixelColor(0, 0), ToQColor(kBorder));
    EXPECT_EQ(shown.pixelColor(2, 2), QColor(0x30, 0x20, 0x10));
}

TEST(FlatMemo, BothScrollBarsFillTheCornerInTheLooksColour) {
    QWidget parent;
    TFlatMemo memo(&parent);
    memo.SetColorFlat(0x00102030);
    memo.SetScrollBars(ssBoth);
    QImage image = RenderBorder(memo);
    EXPECT_EQ(image.pixelColor(185 - 2 - 17, 89 - 2 - 17), QColor(0x30, 0x20, 0x10));
    EXPECT_EQ(image.pixelColor(185 - 2 - 2, 89 - 2 - 2), QColor(0x30, 0x20, 0x10));
    EXPECT_EQ(image.pixelColor(185 - 2 - 18, 89 - 2 - 18), kBackdrop);
}

TEST_F(MemoTest, FocusGivesTheFocusedLook) {
    other.setFocus();
    EXPECT_EQ(Look(first), ToQColor(kFlat));
    first.setFocus();
    EXPECT_EQ(Look(first), ToQColor(kFocused));
    EXPECT_EQ(RenderBorder(first).pixelColor(0, 0), ToQColor(kBorder));
    EXPECT_EQ(first.viewport()->palette().color(QPalette::Base), ToQColor(kFocused));
}

TEST_F(MemoTest, HoverLightsOnlyWhileNoOtherMemoHasTheFocus) {
    second.setFocus();
    Enter(first);
    EXPECT_EQ(Look(first), ToQColor(kFlat));
    other.setFocus();
    Leave(first);
    Enter(first);
    EXPECT_EQ(Look(first), ToQColor(kFocused));
}

TEST_F(MemoTest, LosingFocusWhileHoveredKeepsTheLookUntilTheCursorLeaves) {
    first.setFocus();
    Enter(first);
    other.setFocus();
    EXPECT_EQ(Look(first), ToQColor(kFocused));
    Leave(first);
    EXPECT_EQ(Look(first), ToQColor(kFlat));
}

// The wizard's messages (an error to pass on, a path) can be selected and copied, yet Tab
// never stops on a memo and typing never changes it.
TEST(FlatMemo, AClickFocusesItToSelectAndCopyButTabPassesItBy) {
    QWidget window;
    window.resize(400, 300);
    QLineEdit before(&window);
    TFlatMemo memo(&window);  // as the wizard makes it, between two fields in the tab chain
    QLineEdit after(&window);
    memo.move(0, 40);
    after.move(0, 200);
    const QString message = QString::fromUtf8("first line\n下载完成");
    memo.Lines.Add("first line");
    memo.Lines.Add(platform::FromUtf8("下载完成"));
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    EXPECT_EQ(memo.focusPolicy(), Qt::ClickFocus);
    before.setFocus();
    QTest::keyClick(&before, Qt::Key_Tab);
    EXPECT_TRUE(after.hasFocus()) << "Tab stopped on the memo";

    QTest::mouseDClick(memo.viewport(), Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_TRUE(memo.hasFocus());
    EXPECT_EQ(memo.textCursor().selectedText(), "first") << "a double click selects a word";

    QTest::keyClick(&memo, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&memo, Qt::Key_End, Qt::ShiftModifier);
    QTest::keyClick(&memo, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "first line");
    QTest::keyClick(&memo, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&memo, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), message);

    QTest::keyClicks(&memo, "typed");
    QTest::keyClick(&memo, Qt::Key_Delete);
    EXPECT_EQ(memo.toPlainText(), message) << "the memo stays read-only";
}

TEST(FlatMemo, ColourRules) {
    QWidget parent;
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0xD4, 0xD0, 0xC8));
    parent.setPalette(palette);
    TFlatMemo memo(&parent);
    EXPECT_EQ(memo.ColorFlat(), 0x00C8D0D4u);  // follows the parent

    memo.SetUseAdvColors(true);
    EXPECT_EQ(memo.ColorFocused(), 0x005D6F77u);  // lightness capped at 100
    EXPECT_EQ(memo.ColorBorder(), DeriveAdvColor(0x00C8D0D4, 0, 50, Darker));

    memo.SetUseAdvColors(false);
    EXPECT_FALSE(memo.ParentColor());
    palette.setColor(QPalette::Window, QColor(0, 0, 0));
    parent.setPalette(palette);
    EXPECT_EQ(memo.ColorFlat(), 0x00C8D0D4u);  // no longer follows
    memo.SetParentColor(true);
    EXPECT_EQ(memo.ColorFlat(), 0x00000000u);
    memo.SetColorFlat(0x00ABCDEF);
    EXPECT_FALSE(memo.ParentColor());
}

TEST(FlatMemo, LinesAreCodePageText) {
    TFlatMemo memo;
    EXPECT_EQ(memo.Lines.Count(), 0);
    const AnsiString line = platform::FromUtf8("下载完成");
    memo.Lines.Add(line);
    memo.Lines.Add("second");
    EXPECT_EQ(memo.Lines.Count(), 2);
    EXPECT_EQ(memo.Lines[0], line);
    EXPECT_EQ(memo.Lines[1], "second");
    memo.Lines.Clear();
    EXPECT_EQ(memo.Lines.Count(), 0);
}
