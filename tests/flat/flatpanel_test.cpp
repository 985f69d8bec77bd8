#include "ui/flat/flatpanel.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QVBoxLayout>

#include "ui/flat/flatspeedbutton.h"
#include "ui/flat/flatutilitys.h"

namespace {

const QColor kBackdrop(1, 2, 3);

QImage Render(const TFlatPanel& panel) {
    QImage image(panel.size(), QImage::Format_RGB32);
    image.fill(kBackdrop);
    QPainter painter(&image);
    panel.Paint(painter, image.rect());
    return image;
}

bool Contains(const QImage& image, const QColor& color) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == color) return true;
    return false;
}

}  // namespace

TEST(FlatPanel, FrameInTwoColoursAroundTheColour) {
    TFlatPanel panel;
    EXPECT_EQ(panel.size(), QSize(185, 41));
    EXPECT_EQ(panel.ColorHighLight(), 0x008396A0u);
    EXPECT_EQ(panel.ColorShadow(), 0x008396A0u);
    panel.SetColor(0x00102030);
    panel.SetColorHighLight(0x000000FF);
    panel.SetColorShadow(0x00FF0000);
    QImage image = Render(panel);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(183, 0), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(184, 0), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(0, 40), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(184, 40), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(1, 1), QColor(0x30, 0x20, 0x10));
}

TEST(FlatPanel, TransparentPanelShowsTheParentsPicture) {
    QWidget parent;
    parent.resize(300, 100);
    parent.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(200, 10, 10));
    parent.setPalette(palette);
    TFlatPanel panel(&parent);
    panel.move(20, 20);
    panel.SetColor(0x00FFFFFF);
    panel.SetTransparent(true);
    EXPECT_EQ(Render(panel).pixelColor(10, 10), QColor(200, 10, 10));
    EXPECT_EQ(parent.grab().toImage().pixelColor(30, 30), QColor(200, 10, 10));
    EXPECT_EQ(parent.grab().toImage().pixelColor(20, 20), ToQColor(panel.ColorHighLight()));
    panel.SetTransparent(false);
    EXPECT_EQ(Render(panel).pixelColor(10, 10), QColor(Qt::white));
}

TEST(FlatPanel, CaptionIsAlignedAndEtchedWhenDisabled) {
    QWidget parent;
    TFlatPanel panel(&parent);
    panel.SetCaption("&Panel");
    panel.SetAlignment(taLeftJustify);
    const QColor text = panel.palette().color(QPalette::WindowText);
    QImage left = Render(panel);
    EXPECT_TRUE(Contains(left.copy(0, 0, 60, 41), text));
    panel.SetAlignment(taRightJustify);
    QImage right = Render(panel);
    EXPECT_FALSE(Contains(right.copy(0, 0, 60, 41), text));
    EXPECT_TRUE(Contains(right.copy(125, 0, 60, 41), text));
    panel.setEnabled(false);
    QImage disabled = Render(panel);
    EXPECT_FALSE(Contains(disabled, text));
    EXPECT_TRUE(Contains(disabled.copy(1, 1, 183, 39), ToQColor(clBtnShadow)));
}

TEST(FlatPanel, ChildrenKeepTheFrameAndTakeThePanelsColour) {
    QWidget form;
    TFlatPanel panel(&form);
    panel.resize(361, 121);
    auto* layout = new QVBoxLayout(&panel);
    layout->setContentsMargins(0, 0, 0, 0);
    TFlatSpeedButton button;
    layout->addWidget(&button);
    form.show();
    EXPECT_EQ(button.geometry(), QRect(1, 1, 359, 119));
    panel.SetColor(0x00405060);
    EXPECT_EQ(button.Color(), 0x00405060u);
    panel.SetParentColor(true);
    EXPECT_EQ(button.Color(), panel.Color());
    EXPECT_EQ(panel.Color(), FromQColor(form.palette().color(QPalette::Window)));
}
