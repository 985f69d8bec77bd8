#include "resources/resources.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <cstdlib>

namespace {

QByteArray EncodeJpeg(const QImage& image, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", quality);
    return bytes;
}

// Largest difference of any channel between two images of the same size.
int LargestDifference(const QImage& a, const QImage& b) {
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)),
                                std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return largest;
}

}  // namespace

TEST(Resources, BannerIsDecodedWithTheJpegsPixels) {
    QImage banner = BannerImage();
    ASSERT_EQ(banner.size(), QSize(120, 257));
    QFile file(":/sendrift/banner.jpg");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // Qt's own reader decodes the same bytes; both use the same decoder family, so they match
    // to within rounding of the colour conversion.
    QImage reference = QImage::fromData(file.readAll(), "JPG");
    ASSERT_EQ(reference.size(), banner.size());
    EXPECT_LE(LargestDifference(banner, reference), 2);
    EXPECT_NE(banner.pixel(60, 5), banner.pixel(60, 250));  // a gradient, not a blank
}

TEST(Resources, DecodesPixelsOfAKnownPicture) {
    QImage picture(32, 16, QImage::Format_RGB32);
    picture.fill(QColor(200, 30, 30));
    for (int y = 0; y < 16; ++y)
        for (int x = 16; x < 32; ++x) picture.setPixelColor(x, y, QColor(20, 40, 220));
    QImage decoded = DecodeJpeg(EncodeJpeg(picture, 100));
    ASSERT_EQ(decoded.size(), picture.size());
    // Away from the edge, where colour subsampling blurs the halves into each other.
    EXPECT_LE(LargestDifference(decoded.copy(2, 2, 8, 12), picture.copy(2, 2, 8, 12)), 8);
    EXPECT_LE(LargestDifference(decoded.copy(22, 2, 8, 12), picture.copy(22, 2, 8, 12)), 8);

    QImage grey(8, 8, QImage::Format_Grayscale8);
    grey.fill(QColor(128, 128, 128));
    QImage greyDecoded = DecodeJpeg(EncodeJpeg(grey, 100));
    ASSERT_EQ(greyDecoded.size(), QSize(8, 8));
    EXPECT_NEAR(qRed(greyDecoded.pixel(4, 4)), 128, 2);
}

TEST(Resources, DamagedJpegGivesANullImage) {
    EXPECT_TRUE(DecodeJpeg(QByteArray()).isNull());
    EXPECT_TRUE(DecodeJpeg(QByteArray("not a picture at all")).isNull());
    QByteArray truncated = EncodeJpeg(QImage(64, 64, QImage::Format_RGB32), 90).left(40);
    EXPECT_TRUE(DecodeJpeg(truncated).isNull());
}

TEST(Resources, ItemIconsAndApplicationIcon) {
    QImage computer = ItemIcon(0).toImage();
    QImage tick = ItemIcon(1).toImage();
    ASSERT_EQ(computer.size(), QSize(16, 16));
    ASSERT_EQ(tick.size(), QSize(16, 16));
    QColor mark = tick.pixelColor(6, 11);  // on the tick's stroke
    EXPECT_GT(mark.red(), 150);
    EXPECT_LT(mark.green(), 80);
    EXPECT_EQ(tick.pixelColor(14, 14).alpha(), 0);  // the rest is transparent
    EXPECT_TRUE(ItemIcon(2).isNull());
    EXPECT_TRUE(ItemIcon(-1).isNull());
    EXPECT_FALSE(ApplicationIcon().isNull());
}
