// TFlatPanel: a container with a one-pixel two-colour frame and an optional caption.
//
// Children placed by a layout keep one pixel inside the edges, so the frame stays visible.
// Its colour is handed to its children as their parent's colour. GUI thread only.
#pragma once

#include <QWidget>

#include "platform/text.h"
#include "ui/flat/hslutils.h"

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

class TFlatPanel : public QWidget {
    Q_OBJECT
public:
    // 185 x 41, both frame colours $008396A0, centred empty caption, the parent's colour.
    explicit TFlatPanel(QWidget* parent = nullptr);

    // Without background the parent's picture shows under frame and caption.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool transparent);
    TColor Color() const { return color_; }
    void SetColor(TColor color);  // also ends ParentColor
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool parentColor);
    // Top and left, and bottom and right sides of the frame.
    TColor ColorHighLight() const { return colorHighLight_; }
    void SetColorHighLight(TColor color);
    TColor ColorShadow() const { return colorShadow_; }
    void SetColorShadow(TColor color);

    // Code-page text, one line, vertically centred; "&" underlines the next character.
    const AnsiString& Caption() const { return caption_; }
    void SetCaption(const AnsiString& caption);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);

    // Draws the panel (not its children) as it looks now within `rect`.
    void Paint(QPainter& painter, const QRect& rect) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void FollowParentColor();
    void PublishColor();

    bool transparent_ = false;
    TColor color_;
    bool parentColor_ = true;
    TColor colorHighLight_ = 0x008396A0;
    TColor colorShadow_ = 0x008396A0;
    AnsiString caption_;
    TAlignment alignment_ = taCenter;
};
