// Colours as the flat controls keep them, and their conversion to and from hue, saturation and
// lightness.
//
// A colour is 0x00BBGGRR: red in the low byte. A high byte of 0x80 marks a system colour (its
// index in the low byte) that stands for whatever the desktop currently uses for that role; it
// must be resolved to RGB (flatutilitys.h) before any arithmetic here.
#pragma once

#include <cstdint>

using TColor = std::uint32_t;

// System colours.
constexpr TColor clInactiveCaption = 0x80000003;
constexpr TColor clWindow = 0x80000005;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clBtnShadow = 0x80000010;
constexpr TColor clBtnHighlight = 0x80000014;
// Fixed colours.
constexpr TColor clBlack = 0x00000000;
constexpr TColor clWhite = 0x00FFFFFF;
constexpr TColor clFuchsia = 0x00FF00FF;

constexpr bool IsSystemColor(TColor color) {
    return (color >> 24) == 0x80;
}
constexpr TColor RgbColor(int red, int green, int blue) {
    return TColor(red & 0xFF) | TColor(green & 0xFF) << 8 | TColor(blue & 0xFF) << 16;
}
constexpr int RedOf(TColor color) {
    return color & 0xFF;
}
constexpr int GreenOf(TColor color) {
    return (color >> 8) & 0xFF;
}
constexpr int BlueOf(TColor color) {
    return (color >> 16) & 0xFF;
}

// The scale of integer HSL triples: hue runs 0..239 (scaled by HslScale - 1), saturation and
// lightness 0..240.
constexpr int HslScale = 240;

// Hue, saturation and lightness, each in 0..1.
struct THsl {
    double Hue = 0;
    double Saturation = 0;
    double Lightness = 0;
};

struct THslScaled {
    int Hue = 0;
    int Saturation = 0;
    int Lightness = 0;
    friend bool operator==(const THslScaled&, const THslScaled&) = default;
};

// Values outside 0..1 give channels clamped to 0..255.
TColor HslToColor(double hue, double saturation, double lightness);
TColor HslScaledToColor(int hue, int saturation, int lightness);

// `rgb` must not be a system colour; its high byte is ignored.
THsl ColorToHsl(TColor rgb);
THslScaled ColorToHslScaled(TColor rgb);
