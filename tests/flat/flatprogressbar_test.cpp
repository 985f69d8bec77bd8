#include "ui/flat/flatprogressbar.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QTest>
#include <limits>

#include "ui/flat/flatutilitys.h"

namespace {

const QColor kElement(0x33, 0x66, 0x99);  // the default ColorElement $00996633
const QColor kBackground(0x12, 0x34, 0x56);

QImage Render(const TFlatProgressBar& bar, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    bar.Paint(painter, QRect(QPoint(0, 0), size));
    return image;
}

// Blocks counted along the middle row, at each block's first pixel.
int HorizontalBlocks(const QImage& image) {
    int blocks = 0;
    for (int x = 2; x + 8 <= image.width(); x += 9)
        if (image.pixelColor(x, image.height() / 2) == kElement) ++blocks;
    return blocks;
}

int BlocksAt(int max, int position) {
    TFlatProgressBar bar;
    bar.SetMax(max);
    bar.SetPosition(position);
    return HorizontalBlocks(Render(bar, QSize(363, 25)));
}

// Records the region of every paint, to tell a partial repaint from a full one.
class RecordingBar : public TFlatProgressBar {
public:
    using TFlatProgressBar::TFlatProgressBar;
    std::vector<QRegion> painted;

protected:
    void paintEvent(QPaintEvent* event) override {
        painted.push_back(event->region());
        TFlatProgressBar::paintEvent(event);
    }
};

}  // namespace

TEST(FlatProgressBar, StartsAsSixteenBlocksFromZeroToHundred) {
    TFlatProgressBar bar;
    EXPECT_EQ(bar.size(), QSize(147, 16));
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Max(), 100);
    EXPECT_EQ(bar.Position(), 0);
    EXPECT_EQ(bar.Step(), 10);
    EXPECT_FALSE(bar.Smooth());
}

TEST(FlatProgressBar, WizardBarShowsBlocksInProportion) {
    EXPECT_EQ(BlocksAt(100, 50), 20);
    EXPECT_EQ(BlocksAt(100, 99), 39);
    EXPECT_EQ(BlocksAt(100, 1), 0);
    EXPECT_EQ(BlocksAt(100, 100), 40);
    EXPECT_EQ(BlocksAt(3, 3), 40);  // 3 / (3 / 40) falls just short of 40 without the addend
}

TEST(FlatProgressBar, BlocksAreEightPixelsWithGapsInsideFrameAndBackground) {
    TFlatProgressBar bar;
    bar.SetColor(0x00563412);
    bar.SetPosition(100);
    QImage image = Render(bar, QSize(363, 25));
    const QColor border = ToQColor(bar.ColorBorder());
    EXPECT_EQ(image.pixelColor(0, 0), border);
    EXPECT_EQ(image.pixelColor(362, 24), border);
    EXPECT_EQ(image.pixelColor(1, 12), kBackground);  // gap around the bar
    EXPECT_EQ(image.pixelColor(2, 2), kElement);
    EXPECT_EQ(image.pixelColor(9, 22), kElement);
    EXPECT_EQ(image.pixelColor(10, 12), kBackground);  // gap between blocks
    EXPECT_EQ(image.pixelColor(11, 12), kElement);
    EXPECT_EQ(image.pixelColor(2, 23), kBackground);
    EXPECT_EQ(image.pixelColor(360, 12), kElement);  // last block ends 2 inside
    EXPECT_EQ(image.pixelColor(361, 12), kBackground);
}

TEST(FlatProgressBar, PositionIsKeptWithinMinAndMax) {
    TFlatProgressBar bar;
    bar.SetPosition(150);
    EXPECT_EQ(bar.Position(), 100);
    bar.SetPosition(-5);
    EXPECT_EQ(bar.Position(), 0);
    bar.SetPosition(30);
    bar.SetMax(0);
    EXPECT_EQ(bar.Position(), 0);
    bar.SetMax(100);
    bar.SetPosition(30);
    bar.SetMin(50);  // Min does not move the position, and nothing below Min is drawn
    EXPECT_EQ(bar.Position(), 30);
    EXPECT_EQ(HorizontalBlocks(Render(bar, QSize(363, 25))), 0);
}

TEST(FlatProgressBar, EmptyOrInvertedRangeAndIntegerLimitsShowNoBarOrAFullOne) {
    TFlatProgressBar bar;
    bar.SetMax(0);  // Max = Min: a download that announced no length
    bar.SetPosition(10);
    EXPECT_EQ(HorizontalBlocks(Render(bar, QSize(363, 25))), 0);
    bar.SetSmooth(true);
    EXPECT_EQ(Render(bar, QSize(363, 25)).pixelColor(5, 12), ToQColor(bar.Color()));
    bar.SetSmooth(false);
    bar.SetMin(10);  // Max < Min
    bar.SetPosition(20);
    EXPECT_EQ(HorizontalBlocks(Render(bar, QSize(363, 25))), 0);

    TFlatProgressBar wide;
    wide.SetMin(std::numeric_limits<int>::min());
    wide.SetMax(std::numeric_limits<int>::max());
    wide.SetPosition(std::numeric_limits<int>::max());
    EXPECT_EQ(HorizontalBlocks(Render(wide, QSize(363, 25))), 40);
    wide.SetSmooth(true);
    EXPECT_EQ(Render(wide, QSize(363, 25)).pixelColor(360, 12), kElement);
    wide.SetPosition(0);
    QImage half = Render(wide, QSize(363, 25));
    EXPECT_EQ(half.pixelColor(180, 12), kElement);
    EXPECT_NE(half.pixelColor(182, 12), kElement);
}

TEST(FlatProgressBar, BlockModeSnapsLengthToWholeBlocks) {
    EXPECT_EQ(TFlatProgressBar::SnappedLength(100), 93);
    EXPECT_EQ(TFlatProgressBar::SnappedLength(10), 12);
    EXPECT_EQ(TFlatProgressBar::SnappedLength(363), 363);
    QWidget window;
    TFlatProgressBar bar(&window);
    window.show();
    bar.resize(100, 20);
    EXPECT_EQ(bar.width(), 93);
    bar.resize(10, 20);
    EXPECT_EQ(bar.width(), 12);
    bar.SetSmooth(true);
    bar.resize(100, 20);
    EXPECT_EQ(bar.width(), 100);
    // The frame is drawn at the snapped edge when painting a larger rectangle.
    TFlatProgressBar blocks;
    QImage image = Render(blocks, QSize(100, 20));
    EXPECT_EQ(image.pixelColor(92, 5), ToQColor(blocks.ColorBorder()));
    EXPECT_EQ(image.pixelColor(95, 5), QColor(Qt::white));
}

TEST(FlatProgressBar, SmoothBarCoversItsShare) {
    TFlatProgressBar bar;
    bar.SetSmooth(true);
    bar.SetPosition(50);
    QImage image = Render(bar, QSize(104, 20));
    EXPECT_EQ(image.pixelColor(2, 2), kElement);
    EXPECT_EQ(image.pixelColor(51, 17), kElement);  // 2 + 100 * 50 / 100 - 1
    EXPECT_NE(image.pixelColor(52, 10), kElement);
    EXPECT_NE(image.pixelColor(10, 18), kElement);
}

TEST(FlatProgressBar, RightToLeftGrowsFromTheRightEdge) {
    TFlatProgressBar bar;
    bar.setLayoutDirection(Qt::RightToLeft);
    bar.SetPosition(50);
    QImage image = Render(bar, QSize(363, 25));
    EXPECT_EQ(image.pixelColor(360, 12), kElement);
    EXPECT_EQ(image.pixelColor(353, 12), kElement);
    EXPECT_NE(image.pixelColor(352, 12), kElement);  // gap
    EXPECT_EQ(image.pixelColor(182, 12), kElement);  // 20th block starts at 353 - 19 * 9
    EXPECT_NE(image.pixelColor(181, 12), kElement);
    EXPECT_NE(image.pixelColor(2, 12), kElement);
}

TEST(FlatProgressBar, VerticalBarGrowsUpAndOrientationSwapsTheSize) {
    TFlatProgressBar bar;
    bar.SetOrientation(pbVertical);
    EXPECT_EQ(bar.size(), QSize(16, 147));
    bar.SetPosition(50);  // 8 of 16 blocks
    QImage image = Render(bar, bar.size());
    EXPECT_EQ(image.pixelColor(8, 144), kElement);
    EXPECT_EQ(image.pixelColor(8, 137), kElement);
    EXPECT_NE(image.pixelColor(8, 136), kElement);
    EXPECT_EQ(image.pixelColor(8, 137 - 7 * 9), kElement);
    EXPECT_NE(image.pixelColor(8, 137 - 7 * 9 - 2), kElement);
}

TEST(FlatProgressBar, GrowingRepaintsOnlyTheNewBlocksShrinkingRepaintsAll) {
    QWidget window;
    window.resize(400, 60);
    RecordingBar bar(&window);
    bar.setGeometry(0, 0, 363, 25);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QApplication::processEvents();
    bar.painted.clear();

    bar.SetPosition(50);
    QApplication::processEvents();
    ASSERT_EQ(bar.painted.size(), 1u);
    EXPECT_EQ(bar.painted[0].boundingRect(), QRect(2, 2, 19 * 9 + 8, 21));

    bar.painted.clear();
    bar.SetPosition(51);  // still 20 blocks: nothing to paint
    bar.SetPosition(53);  // block 21
    QApplication::processEvents();
    ASSERT_EQ(bar.painted.size(), 1u);
    EXPECT_EQ(bar.painted[0].boundingRect(), QRect(2 + 19 * 9 + 8, 2, 9, 21));

    bar.painted.clear();
    bar.SetPosition(10);
    QApplication::processEvents();
    ASSERT_EQ(bar.painted.size(), 1u);
    EXPECT_EQ(bar.painted[0].boundingRect(), bar.rect());
}

TEST(FlatProgressBar, DerivedBorderFollowsTheColour) {
    QWidget parent;
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0xD4, 0xD0, 0xC8));
    parent.setPalette(palette);
    TFlatProgressBar bar(&parent);
    EXPECT_EQ(bar.Color(), 0x00C8D0D4u);
    bar.SetUseAdvColors(true);
    EXPECT_EQ(bar.ColorBorder(), DeriveAdvColor(0x00C8D0D4, 0, 50, Darker));
    palette.setColor(QPalette::Window, QColor(0, 0, 0));
    parent.setPalette(palette);
    EXPECT_EQ(bar.Color(), 0x00000000u);
    EXPECT_EQ(bar.ColorBorder(), 0x00000000u);
}
