#include "ui/flat/hslutils.h"

#include <gtest/gtest.h>

TEST(HslUtils, HslToColorGivesGreysAndPureHues) {
    EXPECT_EQ(HslToColor(0, 0, 1), 0x00FFFFFFu);
    EXPECT_EQ(HslToColor(0, 0, 0), 0x00000000u);
    EXPECT_EQ(HslScaledToColor(0, 240, 120), 0x000000FFu);  // red
    EXPECT_EQ(HslToColor(1.0 / 3, 1, 0.5), 0x0000FF00u);    // green, a third round
}

TEST(HslUtils, ColorToHslScaledOfButtonFaceGrey) {
    EXPECT_EQ(ColorToHslScaled(0x00C8D0D4), (THslScaled{27, 29, 194}));
}

TEST(HslUtils, GreyHasNoHueOrSaturation) {
    THsl hsl = ColorToHsl(0x00808080);
    EXPECT_EQ(hsl.Hue, 0);
    EXPECT_EQ(hsl.Saturation, 0);
    EXPECT_NEAR(hsl.Lightness, 128.0 / 255, 1e-12);
}

TEST(HslUtils, HueFollowsTheLargestChannel) {
    EXPECT_EQ(ColorToHslScaled(0x000000FF).Hue, 0);    // red
    EXPECT_EQ(ColorToHslScaled(0x0000FF00).Hue, 80);   // green: 2/6 of 239
    EXPECT_EQ(ColorToHslScaled(0x00FF0000).Hue, 159);  // blue: 4/6 of 239
    EXPECT_EQ(ColorToHslScaled(0x00FF00FF).Hue, 199);  // magenta wraps below zero: 5/6
}

TEST(HslUtils, RoundTripKeepsSaturatedColours) {
    for (TColor color : {0x000000FFu, 0x0000FF00u, 0x00FF0000u, 0x00996633u, 0x00FFFFFFu}) {
        THsl hsl = ColorToHsl(color);
        EXPECT_EQ(HslToColor(hsl.Hue, hsl.Saturation, hsl.Lightness), color) << std::hex << color;
    }
}

TEST(HslUtils, HalvesRoundToEven) {
    // Grey channels of exactly x.5 go to the even neighbour, up or down.
    EXPECT_EQ(HslToColor(0, 0, 126.5 / 255), 0x007E7E7Eu);
    EXPECT_EQ(HslToColor(0, 0, 127.5 / 255), 0x00808080u);
    EXPECT_EQ(HslToColor(0, 0, 2.5 / 255), 0x00020202u);
}

TEST(HslUtils, OutOfRangeInputClampsChannels) {
    EXPECT_EQ(HslScaledToColor(0, 0, 1000), 0x00FFFFFFu);
    EXPECT_EQ(HslScaledToColor(0, 0, -5), 0x00000000u);
}
