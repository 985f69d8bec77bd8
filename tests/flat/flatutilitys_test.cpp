#include "ui/flat/flatutilitys.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <limits>

namespace {

QImage Canvas(int width, int height, const QColor& fill = Qt::white) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(fill);
    return image;
}

}  // namespace

TEST(DeriveAdvColor, LightnessIsCappedAtOneHundred) {
    // The light button-face grey (lightness 194) "brightened" ends darker, at lightness 100.
    EXPECT_EQ(DeriveAdvColor(0x00C8D0D4, 0, 10, Brighter), 0x005D6F77u);
    EXPECT_EQ(DeriveAdvColor(0x00C8D0D4, 0, 10, Darker), 0x00C8D0D4u);  // 194 + 10 - 10
}

TEST(DeriveAdvColor, PercentZeroKeepsTheCurrentColour) {
    EXPECT_EQ(DeriveAdvColor(0x00C8D0D4, 0x00123456, 0, Darker), 0x00123456u);
}

TEST(DeriveAdvColor, BlackDarkerStopsAtZeroLightness) {
    EXPECT_EQ(DeriveAdvColor(clBlack, clWhite, 5, Darker), 0x00050505u);
    EXPECT_EQ(DeriveAdvColor(clBlack, clWhite, 10, Darker), 0x00000000u);
    EXPECT_EQ(DeriveAdvColor(clBlack, clWhite, 100, Darker), 0x00000000u);
}

TEST(DeriveAdvColor, SystemBaseIsResolvedFirst) {
    TColor face = FromQColor(QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(DeriveAdvColor(clBtnFace, 0, 30, Darker), DeriveAdvColor(face, 0, 30, Darker));
}

TEST(ResolveColor, SystemColoursComeFromThePaletteAndFixedOnesStay) {
    QPalette saved = QApplication::palette();
    QPalette palette = saved;
    palette.setColor(QPalette::Button, QColor(1, 2, 3));
    QApplication::setPalette(palette);
    EXPECT_EQ(ResolveColor(clBtnFace), 0x00030201u);
    EXPECT_EQ(ToQColor(0x00996633), QColor(0x33, 0x66, 0x99));
    QApplication::setPalette(saved);
}

TEST(DrawBevelFrame, CornersBelongToTheBottomColourExceptTopLeft) {
    QImage image = Canvas(6, 5);
    QPainter painter(&image);
    DrawBevelFrame(painter, QRect(0, 0, 6, 5), Qt::red, Qt::blue, 1);
    painter.end();
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(4, 0), QColor(Qt::red));   // top row up to right - 1
    EXPECT_EQ(image.pixelColor(0, 3), QColor(Qt::red));   // left column up to bottom - 1
    EXPECT_EQ(image.pixelColor(5, 0), QColor(Qt::blue));  // top-right
    EXPECT_EQ(image.pixelColor(0, 4), QColor(Qt::blue));  // bottom-left
    EXPECT_EQ(image.pixelColor(5, 4), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::white));  // inside untouched
}

TEST(DrawBevelFrame, DrawsNestedRingsAndNothingForWidthZero) {
    QImage image = Canvas(7, 7);
    QPainter painter(&image);
    DrawBevelFrame(painter, QRect(0, 0, 7, 7), Qt::red, Qt::blue, 2);
    DrawBevelFrame(painter, QRect(3, 3, 1, 1), Qt::green, Qt::green, 0);
    DrawBevelFrame(painter, QRect(3, 3, 1, 1), Qt::green, Qt::green, -4);
    painter.end();
    EXPECT_EQ(image.pixelColor(1, 1), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(5, 1), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(3, 3), QColor(Qt::white));
}

TEST(DrawBevelFrame, HugeWidthStopsWhenTheRectangleIsUsedUp) {
    QImage image = Canvas(5, 5);
    QPainter painter(&image);
    DrawBevelFrame(painter, image.rect(), Qt::red, Qt::red, std::numeric_limits<int>::max());
    painter.end();
    EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::red));
}

TEST(MakeDisabledGlyph, EtchesTheOutlinePixels) {
    QImage glyph = Canvas(4, 4, Qt::yellow);
    glyph.setPixelColor(1, 1, Qt::black);
    QImage disabled = MakeDisabledGlyph(glyph, Qt::black, Qt::gray, Qt::white, Qt::darkGray, true);
    ASSERT_EQ(disabled.size(), glyph.size());
    EXPECT_EQ(disabled.pixelColor(0, 0), QColor(Qt::gray));      // everything else: back colour
    EXPECT_EQ(disabled.pixelColor(1, 1), QColor(Qt::darkGray));  // shadow in place
    EXPECT_EQ(disabled.pixelColor(2, 2), QColor(Qt::white));     // highlight one down-right
    QImage flat = MakeDisabledGlyph(glyph, Qt::black, Qt::gray, Qt::white, Qt::darkGray, false);
    EXPECT_EQ(flat.pixelColor(2, 2), QColor(Qt::gray));
}

TEST(MakeDisabledGlyph, OneBitGlyphUsesItsBlackPixels) {
    QImage glyph(3, 3, QImage::Format_Mono);
    glyph.fill(1);  // white
    glyph.setPixel(0, 0, 0);
    glyph.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    QImage disabled = MakeDisabledGlyph(glyph, Qt::red, Qt::gray, Qt::white, Qt::darkGray, false);
    EXPECT_EQ(disabled.pixelColor(0, 0), QColor(Qt::darkGray));
    EXPECT_EQ(disabled.pixelColor(1, 1), QColor(Qt::gray));
}

TEST(MakeDisabledGlyph, EmptyGlyphGivesEmptyImage) {
    EXPECT_TRUE(
        MakeDisabledGlyph(QImage(), Qt::black, Qt::gray, Qt::white, Qt::black, true).isNull());
}

class LayoutGlyphAndCaptionTest : public testing::Test {
protected:
    QFontMetrics metrics{QApplication::font()};
    QRect client{0, 0, 89, 25};
    QImage glyph = Canvas(32, 16);  // two 16 x 16 images
};

TEST_F(LayoutGlyphAndCaptionTest, CaptionWithoutGlyphIsCentred) {
    const QString caption = "Start";
    const QSize text = metrics.size(Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
    auto place =
        LayoutGlyphAndCaption(metrics, client, {}, caption, 1, QImage(), -1, 4, blGlyphTop);
    EXPECT_EQ(place.TextBounds.size(), text);
    EXPECT_EQ(place.TextBounds.left(), (89 - text.width() + 1) / 2);
    EXPECT_EQ(place.TextBounds.top(), (25 - text.height() + 1) / 2);  // spacing dropped to 0
}

TEST_F(LayoutGlyphAndCaptionTest, GlyphLeftWithGivenMarginAndSpacing) {
    const QSize text = metrics.size(Qt::TextSingleLine | Qt::TextShowMnemonic, "Go");
    auto place =
        LayoutGlyphAndCaption(metrics, client, QPoint(1, 1), "Go", 2, glyph, 5, 3, blGlyphLeft);
    EXPECT_EQ(place.GlyphPos, QPoint(5 + 1, (25 - 16 + 1) / 2 + 1));
    EXPECT_EQ(place.TextBounds.left(), 5 + 16 + 3 + 1);
    EXPECT_EQ(place.TextBounds.top(), (25 - text.height() + 1) / 2 + 1);
}

TEST_F(LayoutGlyphAndCaptionTest, AutomaticMarginAndSpacingShareTheRoomInThirds) {
    const int textWidth = metrics.size(Qt::TextSingleLine | Qt::TextShowMnemonic, "Go").width();
    auto place = LayoutGlyphAndCaption(metrics, client, {}, "Go", 2, glyph, -1, -1, blGlyphRight);
    const int third = (89 - 16 - textWidth) / 3;
    EXPECT_EQ(place.GlyphPos.x(), 89 - third - 16);
    EXPECT_EQ(place.TextBounds.left(), 89 - third - 16 - third - textWidth);
}

TEST_F(LayoutGlyphAndCaptionTest, GivenMarginWithAutomaticSpacingCentresTheRest) {
    auto place = LayoutGlyphAndCaption(metrics, QRect(10, 20, 40, 60), {}, QString(), 1,
                                       Canvas(16, 16), 4, -1, blGlyphBottom);
    EXPECT_EQ(place.GlyphPos, QPoint(10 + 12, 20 + 60 - 4 - 16));
    EXPECT_TRUE(place.TextBounds.isEmpty());
}

TEST_F(LayoutGlyphAndCaptionTest, ExtremeValuesDoNotOverflow) {
    const int huge = std::numeric_limits<int>::max();
    auto place = LayoutGlyphAndCaption(metrics, client, QPoint(huge, huge), "x", 4, Canvas(2, 1),
                                       huge, huge, blGlyphBottom);
    // x = 45 + offset is clamped rather than wrapped; y = 25 - margin - 1 + offset.
    EXPECT_EQ(place.GlyphPos, QPoint(huge, 24));
}

TEST(PaintParentBackground, CopiesTheParentsPictureUnderTheControl) {
    QWidget parent;
    parent.resize(40, 40);
    parent.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(10, 200, 30));
    parent.setPalette(palette);
    QWidget child(&parent);
    child.setGeometry(5, 5, 10, 10);
    QImage image = Canvas(10, 10);
    QPainter painter(&image);
    PaintParentBackground(child, painter);
    painter.end();
    EXPECT_EQ(image.pixelColor(3, 3), QColor(10, 200, 30));

    QWidget orphan;
    QImage untouched = Canvas(4, 4);
    QPainter other(&untouched);
    PaintParentBackground(orphan, other);
    other.end();
    EXPECT_EQ(untouched.pixelColor(1, 1), QColor(Qt::white));
}
