#include "ui/flat/hslutils.h"

#include <algorithm>
#include <cmath>

namespace {

// Halves go to the even neighbour, as the colour tables the controls were tuned with expect.
int RoundHalfEven(double value) {
    return int(std::nearbyint(value));
}

int ToChannel(double value) {
    return std::clamp(RoundHalfEven(value * 255), 0, 255);
}

int HueToChannel(double m1, double m2, double hue) {
    if (hue < 0)
        hue += 1;
    else if (hue > 1)
        hue -= 1;
    double value;
    if (6 * hue < 1)
        value = m1 + (m2 - m1) * hue * 6;
    else if (2 * hue < 1)
        value = m2;
    else if (3 * hue < 2)
        value = m1 + (m2 - m1) * (2.0 / 3.0 - hue) * 6;
    else
        value = m1;
    return ToChannel(value);
}

}  // namespace

TColor HslToColor(double hue, double saturation, double lightness) {
    if (saturation == 0) {
        int grey = ToChannel(lightness);
        return RgbColor(grey, grey, grey);
    }
    double m2 = lightness <= 0.5 ? lightness * (1 + saturation)
                                 : lightness + saturation - lightness * saturation;
    double m1 = 2 * lightness - m2;
    return RgbColor(HueToChannel(m1, m2, hue + 1.0 / 3.0), HueToChannel(m1, m2, hue),
                    HueToChannel(m1, m2, hue - 1.0 / 3.0));
}

TColor HslScaledToColor(int hue, int saturation, int lightness) {
    return HslToColor(double(hue) / (HslScale - 1), double(saturation) / HslScale,
                      double(lightness) / HslScale);
}

THsl ColorToHsl(TColor rgb) {
    double red = RedOf(rgb) / 255.0, green = GreenOf(rgb) / 255.0, blue = BlueOf(rgb) / 255.0;
    double max = std::max({red, green, blue}), min = std::min({red, green, blue});
    THsl hsl;
    hsl.Lightness = (max + min) / 2;
    if (max == min) return hsl;
    double delta = max - min;
    hsl.Saturation = hsl.Lightness < 0.5 ? delta / (max + min) : delta / (2 - max - min);
    if (red == max)
        hsl.Hue = (green - blue) / delta;
    else if (green == max)
        hsl.Hue = 2 + (blue - red) / delta;
    else
        hsl.Hue = 4 + (red - green) / delta;
    hsl.Hue /= 6;
    if (hsl.Hue < 0) hsl.Hue += 1;
    return hsl;
}

THslScaled ColorToHslScaled(TColor rgb) {
    THsl hsl = ColorToHsl(rgb);
    return {RoundHalfEven((HslScale - 1) * hsl.Hue), RoundHalfEven(HslScale * hsl.Saturation),
            RoundHalfEven(HslScale * hsl.Lightness)};
}
