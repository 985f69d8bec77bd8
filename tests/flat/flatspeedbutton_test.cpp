#include "ui/flat/flatspeedbutton.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTest>

#include "platform/codepage.h"

namespace {

const QColor kBackdrop(1, 2, 3);  // never a button colour: shows where nothing was painted

QImage Render(const TFlatSpeedButton& button) {
    QImage image(button.size(), QImage::Format_RGB32);
    image.fill(kBackdrop);
    QPainter painter(&image);
    button.Paint(painter, image.rect());
    return image;
}

bool Contains(const QImage& image, const QRect& area, const QColor& color) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixelColor(x, y) == color) return true;
    return false;
}

// A shown, active window with one 89 x 25 wizard button at (10, 10), and a mouse that moves
// the cursor with it, since hover follows the cursor rather than the events.
class ButtonTest : public testing::Test {
protected:
    void SetUp() override {
        window.resize(300, 100);
        button.setGeometry(10, 10, 89, 25);
        button.SetCaption(platform::FromUtf8("开始(&S)"));
        button.OnClick = [this](QObject* sender) {
            EXPECT_EQ(sender, &button);
            ++clicks;
        };
        // Away from the window, so that showing it does not put the cursor on a control.
        QCursor::setPos(QPoint(790, 590));
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    void Mouse(QWidget& target, QEvent::Type type, QPoint local,
               Qt::MouseButtons held = Qt::NoButton) {
        QCursor::setPos(target.mapToGlobal(local));
        Qt::MouseButton changed = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, local, target.mapToGlobal(local), changed, held, Qt::NoModifier);
        QApplication::sendEvent(&target, &event);
    }
    void Press(QPoint at) { Mouse(button, QEvent::MouseButtonPress, at, Qt::LeftButton); }
    void Drag(QPoint to) { Mouse(button, QEvent::MouseMove, to, Qt::LeftButton); }
    void Hover(QPoint at) { Mouse(button, QEvent::MouseMove, at); }
    void Release(QPoint at) { Mouse(button, QEvent::MouseButtonRelease, at); }
    void ClickAt(TFlatSpeedButton& target) {
        Mouse(target, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
        Mouse(target, QEvent::MouseButtonRelease, {5, 5});
    }
    QColor Face() { return Render(button).pixelColor(44, 2); }
    QColor TopLeft() { return Render(button).pixelColor(0, 0); }
    QColor BottomRight() { return Render(button).pixelColor(88, 24); }

    QWidget window;
    TFlatSpeedButton button{&window};
    int clicks = 0;
};

}  // namespace

TEST_F(ButtonTest, RestHotPressedAndDisabledLooks) {
    button.SetColor(0x00C8D0D4);
    EXPECT_EQ(Face(), ToQColor(0x00C8D0D4));
    EXPECT_EQ(TopLeft(), ToQColor(0x008396A0));
    EXPECT_EQ(BottomRight(), ToQColor(0x008396A0));

    Hover({40, 12});
    EXPECT_EQ(Face(), ToQColor(0x00E1EAEB));
    EXPECT_EQ(TopLeft(), QColor(Qt::white));
    EXPECT_EQ(BottomRight(), QColor(Qt::black));

    Press({40, 12});
    EXPECT_EQ(Face(), ToQColor(0x00C5D6D9));
    EXPECT_EQ(TopLeft(), QColor(Qt::black));
    EXPECT_EQ(BottomRight(), QColor(Qt::white));
    Release({40, 12});

    button.setEnabled(false);
    QImage disabled = Render(button);
    EXPECT_EQ(disabled.pixelColor(44, 2), ToQColor(0x00C8D0D4));
    EXPECT_EQ(disabled.pixelColor(0, 0), ToQColor(0x008396A0));
    // Etched caption: highlight and shadow, never the text colour.
    const QRect caption(10, 3, 69, 19);
    EXPECT_TRUE(Contains(disabled, caption, ToQColor(clBtnShadow)));
    EXPECT_TRUE(Contains(disabled, caption, ToQColor(clBtnHighlight)));
    EXPECT_FALSE(Contains(disabled, caption, button.palette().color(QPalette::ButtonText)));
    button.setEnabled(true);
    EXPECT_TRUE(Contains(Render(button), caption, button.palette().color(QPalette::ButtonText)));
}

TEST_F(ButtonTest, TakesTheParentsColourUntilGivenOne) {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x40, 0x50, 0x60));
    window.setPalette(palette);
    EXPECT_EQ(button.Color(), 0x00605040u);
    EXPECT_EQ(Face(), QColor(0x40, 0x50, 0x60));
    button.SetColor(0x00112233);
    window.setPalette(QPalette());
    EXPECT_EQ(button.Color(), 0x00112233u);
    EXPECT_FALSE(button.ParentColor());
}

TEST_F(ButtonTest, TransparentModesLeaveTheFaceUnpainted) {
    button.SetTransparentMode(tmNotFocused);
    EXPECT_EQ(Face(), kBackdrop);
    EXPECT_EQ(TopLeft(), ToQColor(0x008396A0));  // frame and caption still drawn
    Hover({40, 12});
    EXPECT_EQ(Face(), ToQColor(0x00E1EAEB));
    button.SetTransparentMode(tmAlways);
    EXPECT_EQ(Face(), kBackdrop);
}

TEST_F(ButtonTest, DragOutAndReleaseDoesNotClickDragBackInDoes) {
    Press({40, 12});
    Drag({40, 60});
    EXPECT_EQ(Face(), ToQColor(button.Color()));
    Release({40, 60});
    EXPECT_EQ(clicks, 0);

    Press({40, 12});
    Drag({40, 60});
    Drag({40, 25});  // the row just below the bottom edge counts as inside
    EXPECT_EQ(Face(), ToQColor(0x00C5D6D9));
    Release({40, 25});
    EXPECT_EQ(clicks, 1);
}

TEST_F(ButtonTest, ClickHandlerMayDeleteTheButton) {
    auto* closing = new TFlatSpeedButton(&window);
    closing->setGeometry(110, 10, 89, 25);
    closing->show();
    closing->OnClick = [closing](QObject*) { delete closing; };
    QPointer<TFlatSpeedButton> watch(closing);
    ClickAt(*closing);  // must not touch the button after its handler deleted it
    EXPECT_TRUE(watch.isNull());
}

TEST_F(ButtonTest, DisabledButtonIgnoresMouseAndAccelerator) {
    button.setEnabled(false);
    Press({40, 12});
    Release({40, 12});
    QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
    EXPECT_EQ(clicks, 0);
    button.setEnabled(true);
    QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
    QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
}

TEST_F(ButtonTest, HoverEndsWhenTheCursorLeaves) {
    Hover({40, 12});
    EXPECT_EQ(Face(), ToQColor(0x00E1EAEB));
    QCursor::setPos(window.mapToGlobal(QPoint(200, 80)));
    QTest::qWait(250);  // two ticks of the shared hover timer
    EXPECT_EQ(Face(), ToQColor(button.Color()));
}

TEST_F(ButtonTest, OnlyOneButtonIsHot) {
    TFlatSpeedButton other(&window);
    other.setGeometry(110, 10, 89, 25);
    other.show();
    Hover({40, 12});
    Mouse(other, QEvent::MouseMove, {40, 12});
    EXPECT_EQ(Face(), ToQColor(button.Color()));
    EXPECT_EQ(Render(other).pixelColor(44, 2), ToQColor(0x00E1EAEB));
}

TEST_F(ButtonTest, GroupOfTwoWithoutAllowAllUp) {
    TFlatSpeedButton second(&window);
    second.setGeometry(110, 10, 89, 25);
    second.show();
    button.SetGroupIndex(1);
    second.SetGroupIndex(1);
    ClickAt(button);
    EXPECT_TRUE(button.Down());
    ClickAt(second);
    EXPECT_TRUE(second.Down());
    EXPECT_FALSE(button.Down());
    ClickAt(second);  // clicking a down button again leaves it down
    EXPECT_TRUE(second.Down());
    EXPECT_EQ(Render(second).pixelColor(0, 0), QColor(Qt::black));      // sunken while latched
    EXPECT_EQ(Render(second).pixelColor(44, 2), ToQColor(0x00E1EAEB));  // and hot
    EXPECT_EQ(Face(), ToQColor(button.Color()));  // the released one is up again

    second.SetAllowAllUp(true);  // shared with the group
    EXPECT_TRUE(button.AllowAllUp());
    second.SetDown(false);
    EXPECT_FALSE(second.Down());
}

TEST_F(ButtonTest, UngroupedButtonNeverLatchesAndDoubleClickNeedsDown) {
    int doubleClicks = 0;
    button.OnDblClick = [&](QObject*) { ++doubleClicks; };
    button.SetDown(true);
    EXPECT_FALSE(button.Down());
    Mouse(button, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton);
    Release({5, 5});
    EXPECT_EQ(doubleClicks, 0);
    button.SetGroupIndex(2);
    button.SetDown(true);
    Mouse(button, QEvent::MouseButtonDblClick, {5, 5}, Qt::LeftButton);
    EXPECT_EQ(doubleClicks, 1);
}

TEST(FlatSpeedButton, StartsWithTheDocumentedValues) {
    TFlatSpeedButton button;
    EXPECT_EQ(button.size(), QSize(25, 25));
    EXPECT_EQ(button.TransparentMode(), tmNone);
    EXPECT_EQ(button.ColorFocused(), 0x00E1EAEBu);
    EXPECT_EQ(button.ColorDown(), 0x00C5D6D9u);
    EXPECT_EQ(button.ColorBorder(), 0x008396A0u);
    EXPECT_EQ(button.Layout(), blGlyphTop);
    EXPECT_EQ(button.Margin(), -1);
    EXPECT_EQ(button.Spacing(), 4);
    EXPECT_EQ(button.NumGlyphs(), 1);
    EXPECT_EQ(button.focusPolicy(), Qt::NoFocus);
}

TEST(FlatSpeedButton, AcceleratorIsUnderlinedNotShown) {
    // "&S" must look like "S" plus an underline: the two pictures differ, and only below the
    // caption's baseline.
    QWidget parent;
    TFlatSpeedButton button(&parent);
    button.resize(89, 25);
    button.SetCaption(platform::FromUtf8("开始(S)"));
    QImage plain = Render(button);
    button.SetCaption(platform::FromUtf8("开始(&S)"));
    QImage marked = Render(button);
    const QFontMetrics metrics(button.font());
    const int baseline = (25 - metrics.height() + 1) / 2 + metrics.ascent();
    int differences = 0;
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 89; ++x)
            if (plain.pixel(x, y) != marked.pixel(x, y)) {
                ++differences;
                EXPECT_GE(y, baseline) << x << "," << y;
            }
    EXPECT_GT(differences, 0);
}

TEST(FlatSpeedButton, GlyphStripSetsTheImageCount) {
    TFlatSpeedButton button;
    button.SetGlyph(QImage(64, 16, QImage::Format_RGB32));
    EXPECT_EQ(button.NumGlyphs(), 4);
    button.SetGlyph(QImage(80, 16, QImage::Format_RGB32));
    EXPECT_EQ(button.NumGlyphs(), 1);
    button.SetMargin(-2);
    EXPECT_EQ(button.Margin(), -1);
    button.SetMargin(3);
    EXPECT_EQ(button.Margin(), 3);
}

TEST(FlatSpeedButton, DrawsTheImageOfTheStateWithoutItsTransparentColour) {
    // Four 16 x 16 images: white (transparent corner pixel), then red, green, blue.
    QImage strip(64, 16, QImage::Format_RGB32);
    const QColor images[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
    for (int i = 0; i < 4; ++i)
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) strip.setPixelColor(i * 16 + x, y, images[i]);
    strip.setPixelColor(0, 15, Qt::white);
    strip.setPixelColor(20, 15, Qt::white);  // transparent in the second image too

    QWidget parent;
    TFlatSpeedButton button(&parent);
    button.resize(40, 40);
    button.SetColor(0x00808080);
    button.SetGlyph(strip);
    button.SetMargin(2);
    QImage up = Render(button);  // glyph on top, centred: x 12..27, y 2..17
    EXPECT_EQ(up.pixelColor(20, 10), QColor(Qt::red));
    EXPECT_EQ(up.pixelColor(12, 17), QColor(0x80, 0x80, 0x80));  // transparent pixel
    button.setEnabled(false);
    QImage disabled = Render(button);
    EXPECT_EQ(disabled.pixelColor(20, 10), QColor(Qt::green));
    EXPECT_EQ(disabled.pixelColor(16, 17), QColor(0x80, 0x80, 0x80));
}

TEST(FlatSpeedButton, SingleDisabledGlyphIsEtched) {
    QImage glyph(16, 16, QImage::Format_RGB32);
    glyph.fill(Qt::white);
    for (int x = 4; x < 12; ++x) glyph.setPixelColor(x, 8, Qt::black);
    QWidget parent;
    TFlatSpeedButton button(&parent);
    button.resize(40, 40);
    button.SetGlyph(glyph);
    button.SetMargin(2);
    button.setEnabled(false);
    QImage image = Render(button);
    EXPECT_EQ(image.pixelColor(12 + 6, 2 + 8), ToQColor(clBtnShadow));
    EXPECT_EQ(image.pixelColor(12 + 12, 2 + 9), ToQColor(clBtnHighlight));
}

TEST(FlatSpeedButton, BadGlyphsAndCaptionsPaintWithoutFault) {
    TFlatSpeedButton button;
    button.resize(89, 25);
    for (QSize size : {QSize(0, 0), QSize(1, 1), QSize(10000, 1), QSize(3, 16)}) {
        QImage glyph(size, QImage::Format_RGB32);
        glyph.fill(Qt::red);
        button.SetGlyph(glyph);
        button.SetNumGlyphs(4);  // beyond what narrow strips hold
        for (bool enabled : {true, false}) {
            button.setEnabled(enabled);
            EXPECT_EQ(Render(button).size(), button.size());
        }
    }
    button.SetCaption(AnsiString(10000, 'W'));
    button.SetLayout(blGlyphRight);
    button.SetSpacing(-1);
    EXPECT_EQ(Render(button).size(), button.size());
    button.SetCaption("&");
    EXPECT_EQ(Render(button).size(), button.size());
}
