#include "ui/flat/flatutilitys.h"

#include <QBitmap>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <limits>

namespace {

// The desktop roles behind the system colour indexes the controls use; others fall back to
// the window background.
QPalette::ColorRole RoleOfSystemColor(int index) {
    switch (index) {
        case 3:
            return QPalette::Mid;  // inactive caption: the frame grey around lists
        case 5:
            return QPalette::Base;
        case 8:
            return QPalette::WindowText;
        case 13:
            return QPalette::Highlight;
        case 14:
            return QPalette::HighlightedText;
        case 15:
            return QPalette::Button;
        case 16:
            return QPalette::Dark;
        case 18:
            return QPalette::ButtonText;
        case 20:
            return QPalette::Light;
        case 21:
            return QPalette::Shadow;
        case 22:
            return QPalette::Midlight;
        default:
            return QPalette::Window;
    }
}

int ClampToInt(qint64 value) {
    return int(std::clamp<qint64>(value, std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max()));
}

}  // namespace

TColor ResolveColor(TColor color) {
    if (!IsSystemColor(color)) return color & 0x00FFFFFF;
    return FromQColor(QGuiApplication::palette().color(RoleOfSystemColor(color & 0xFF)));
}

QColor ToQColor(TColor color) {
    TColor rgb = ResolveColor(color);
    return QColor(RedOf(rgb), GreenOf(rgb), BlueOf(rgb));
}

TColor FromQColor(const QColor& color) {
    return RgbColor(color.red(), color.green(), color.blue());
}

TColor ParentColorOf(const QWidget& control) {
    const QWidget* parent = control.parentWidget();
    if (!parent) return clBtnFace;
    return FromQColor(parent->palette().color(parent->backgroundRole()));
}

TColor DeriveAdvColor(TColor base, TColor current, int percent, TAdvColorDirection direction) {
    if (percent == 0) return current;
    THslScaled hsl = ColorToHslScaled(ResolveColor(base));
    int lightness = hsl.Lightness + 10;
    if (direction == Brighter)
        lightness = lightness + percent > 100 ? 100 : lightness + percent;
    else
        lightness = lightness - percent < 0 ? 0 : lightness - percent;
    return HslScaledToColor(hsl.Hue, hsl.Saturation, lightness);
}

void DrawBevelFrame(QPainter& painter, const QRect& rect, const QColor& top, const QColor& bottom,
                    int width) {
    // Inclusive edges: right and bottom address the last column and row.
    int left = rect.left(), topRow = rect.top();
    int right = rect.left() + rect.width() - 1, bottomRow = rect.top() + rect.height() - 1;
    for (int ring = 0; ring < width && left <= right && topRow <= bottomRow; ++ring) {
        painter.fillRect(QRect(left, topRow, right - left, 1), top);
        painter.fillRect(QRect(left, topRow, 1, bottomRow - topRow), top);
        painter.fillRect(QRect(right, topRow, 1, bottomRow - topRow + 1), bottom);
        painter.fillRect(QRect(left, bottomRow, right - left + 1, 1), bottom);
        ++left, ++topRow, --right, --bottomRow;
    }
}

void PaintParentBackground(const QWidget& control, QPainter& painter) {
    QWidget* parent = control.parentWidget();
    if (!parent) return;
    painter.save();
    parent->render(&painter, -control.pos(), QRegion(parent->rect()),
                   QWidget::DrawWindowBackground);
    painter.restore();
}

QImage MakeDisabledGlyph(const QImage& glyph, const QColor& outline, const QColor& back,
                         const QColor& highlight, const QColor& shadow, bool drawHighlight) {
    QImage result(glyph.size(), QImage::Format_RGB32);
    if (result.isNull()) return result;
    result.fill(back);
    bool oneBit = glyph.depth() == 1;
    QImage source = glyph.convertToFormat(QImage::Format_RGB32);
    QRgb set = oneBit ? qRgb(0, 0, 0) : outline.rgb();
    auto paintMask = [&](const QColor& color, int shift) {
        QRgb paint = color.rgb();
        for (int y = 0; y + shift < result.height(); ++y) {
            const QRgb* from = reinterpret_cast<const QRgb*>(source.constScanLine(y));
            QRgb* to = reinterpret_cast<QRgb*>(result.scanLine(y + shift));
            for (int x = 0; x + shift < result.width(); ++x)
                if ((from[x] & 0xFFFFFF) == (set & 0xFFFFFF)) to[x + shift] = paint;
        }
    };
    if (drawHighlight) paintMask(highlight, 1);
    paintMask(shadow, 0);
    return result;
}

TGlyphAndCaptionPlace LayoutGlyphAndCaption(const QFontMetrics& metrics, const QRect& client,
                                            const QPoint& offset, const QString& caption,
                                            int numGlyphs, const QImage& glyph, int margin,
                                            int spacing, TButtonLayout layout) {
    // 64-bit throughout: margins and spacings are caller values and may be near the limits.
    const qint64 clientX = client.width(), clientY = client.height();
    qint64 glyphX = 0, glyphY = 0;
    if (!glyph.isNull()) {
        glyphX = glyph.width() / std::clamp(numGlyphs, 1, 4);
        glyphY = glyph.height();
    }
    QRect textBounds;
    qint64 textX = 0, textY = 0;
    if (!caption.isEmpty()) {
        QSize size = metrics.size(Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
        textBounds = QRect(0, 0, size.width(), size.height());
        textX = size.width();
        textY = size.height();
    }
    const bool horizontal = layout == blGlyphLeft || layout == blGlyphRight;
    qint64 glyphPosX = 0, glyphPosY = 0, textPosX = 0, textPosY = 0;
    if (horizontal) {
        glyphPosY = (clientY - glyphY + 1) / 2;
        textPosY = (clientY - textY + 1) / 2;
    } else {
        glyphPosX = (clientX - glyphX + 1) / 2;
        textPosX = (clientX - textX + 1) / 2;
    }
    const qint64 clientLength = horizontal ? clientX : clientY;
    const qint64 glyphLength = horizontal ? glyphX : glyphY;
    const qint64 textLength = horizontal ? textX : textY;
    qint64 gap = textX == 0 || glyphX == 0 ? 0 : spacing;
    qint64 edge = margin;
    if (edge == -1 && gap == -1) {
        edge = (clientLength - (glyphLength + textLength)) / 3;
        gap = edge;
    } else if (edge == -1) {
        edge = (clientLength - (glyphLength + gap + textLength) + 1) / 2;
    } else if (gap == -1) {
        gap = (clientLength - (edge + glyphLength) - textLength) / 2;
    }
    switch (layout) {
        case blGlyphLeft:
            glyphPosX = edge;
            textPosX = glyphPosX + glyphX + gap;
            break;
        case blGlyphRight:
            glyphPosX = clientX - edge - glyphX;
            textPosX = glyphPosX - gap - textX;
            break;
        case blGlyphTop:
            glyphPosY = edge;
            textPosY = glyphPosY + glyphY + gap;
            break;
        case blGlyphBottom:
            glyphPosY = clientY - edge - glyphY;
            textPosY = glyphPosY - gap - textY;
            break;
    }
    const qint64 shiftX = qint64(client.left()) + offset.x();
    const qint64 shiftY = qint64(client.top()) + offset.y();
    TGlyphAndCaptionPlace place;
    place.GlyphPos = QPoint(ClampToInt(glyphPosX + shiftX), ClampToInt(glyphPosY + shiftY));
    // Moved in 64 bits and kept where a rectangle of its size still fits the int range.
    const qint64 textLeft = std::clamp<qint64>(textBounds.left() + textPosX + shiftX, INT_MIN,
                                               qint64(INT_MAX) - textBounds.width());
    const qint64 textTop = std::clamp<qint64>(textBounds.top() + textPosY + shiftY, INT_MIN,
                                              qint64(INT_MAX) - textBounds.height());
    place.TextBounds = QRect(int(textLeft), int(textTop), textBounds.width(), textBounds.height());
    return place;
}

void DrawCaption(QPainter& painter, const QRect& bounds, int alignment, const QString& caption,
                 const QColor& color, bool etched) {
    const int flags = alignment | Qt::TextSingleLine | Qt::TextShowMnemonic;
    if (etched) {
        painter.setPen(ToQColor(clBtnHighlight));
        painter.drawText(bounds.translated(1, 1), flags, caption);
        painter.setPen(ToQColor(clBtnShadow));
    } else {
        painter.setPen(color);
    }
    painter.drawText(bounds, flags, caption);
}
