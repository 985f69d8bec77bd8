// Drawing helpers shared by the flat controls: colour resolution, derived colours, the bevel
// frame, the parent background, the disabled glyph and the button's glyph/caption layout.
//
// All are stateless free functions for the GUI thread; they draw only on the painter given.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include "ui/flat/hslutils.h"

class QFontMetrics;
class QPainter;
class QWidget;

enum TButtonLayout { blGlyphLeft, blGlyphRight, blGlyphTop, blGlyphBottom };
enum TAdvColorDirection { Brighter, Darker };

// An RGB colour for `color`; system colours are looked up in the application palette now, so a
// desktop colour change shows at the next paint.
TColor ResolveColor(TColor color);
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);

// The colour a control with ParentColor set takes: its parent's background, or clBtnFace for
// a control without a parent.
TColor ParentColorOf(const QWidget& control);

// A colour `percent` lightness steps from `base` (hue and saturation kept). The lightness is
// capped at 100 of 240, so "brighter" than a light base is darker. Percent 0 keeps `current`.
TColor DeriveAdvColor(TColor base, TColor current, int percent, TAdvColorDirection direction);

// `width` one-pixel rings inside `rect`, outermost first: top row and left column in `top`,
// right column and bottom row (with the top-right and bottom-left corners) in `bottom`.
void DrawBevelFrame(QPainter& painter, const QRect& rect, const QColor& top, const QColor& bottom,
                    int width);

// Paints the parent's background and its own picture (not its other children) under `control`,
// in the control's coordinates. Does nothing for a control without a parent.
void PaintParentBackground(const QWidget& control, QPainter& painter);

// An etched copy of a glyph: `back` everywhere, with the pixels of the `outline` colour (the
// black ones for a one-bit glyph) painted in `shadow`, after a copy of them shifted one pixel
// right and down in `highlight` when `drawHighlight` is set.
QImage MakeDisabledGlyph(const QImage& glyph, const QColor& outline, const QColor& back,
                         const QColor& highlight, const QColor& shadow, bool drawHighlight);

struct TGlyphAndCaptionPlace {
    QPoint GlyphPos;
    QRect TextBounds;
};

// Where a button draws its glyph and caption inside `client`. `numGlyphs` (1..4) images share
// the glyph's width; a null glyph takes no room. A margin or spacing of -1 means "centre".
// The caption is measured as one line with "&" mnemonics, in `metrics`.
TGlyphAndCaptionPlace LayoutGlyphAndCaption(const QFontMetrics& metrics, const QRect& client,
                                            const QPoint& offset, const QString& caption,
                                            int numGlyphs, const QImage& glyph, int margin,
                                            int spacing, TButtonLayout layout);

// Draws a caption with "&" mnemonics into `bounds`; when `etched` it is drawn once in
// clBtnHighlight shifted one pixel right and down, then in clBtnShadow in place.
void DrawCaption(QPainter& painter, const QRect& bounds, int alignment, const QString& caption,
                 const QColor& color, bool etched);
