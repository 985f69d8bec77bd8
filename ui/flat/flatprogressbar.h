// TFlatProgressBar: a flat progress indicator, a one-pixel frame around a row (or column) of
// 8-pixel blocks, or one solid bar in smooth mode.
//
// GUI thread only. Growing the position paints only the newly covered part, so a caller may
// move it once per received data block.
#pragma once

#include <QWidget>

#include "ui/flat/hslutils.h"

enum TProgressBarOrientation { pbHorizontal, pbVertical };

class TFlatProgressBar : public QWidget {
    Q_OBJECT
public:
    // 147 x 16 (16 blocks), Min 0, Max 100, Position 0, the parent's colour.
    explicit TFlatProgressBar(QWidget* parent = nullptr);

    // Without background the parent shows through.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool transparent);
    TColor Color() const { return color_; }
    void SetColor(TColor color);  // also ends ParentColor
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool parentColor);
    TColor ColorElement() const { return colorElement_; }
    void SetColorElement(TColor color);
    TColor ColorBorder() const { return colorBorder_; }
    void SetColorBorder(TColor color);
    // With UseAdvColors, ColorBorder is derived from Color, AdvColorBorder (0..100) steps darker.
    int AdvColorBorder() const { return advColorBorder_; }
    void SetAdvColorBorder(int percent);
    bool UseAdvColors() const { return useAdvColors_; }
    void SetUseAdvColors(bool useAdvColors);
    // Switching swaps width and height; the top-left corner stays.
    TProgressBarOrientation Orientation() const { return orientation_; }
    void SetOrientation(TProgressBarOrientation orientation);

    int Min() const { return min_; }
    int Max() const { return max_; }
    int Position() const { return position_; }
    // Min does not move the position; a lower Max pulls it down.
    void SetMin(int min);
    void SetMax(int max);
    // Kept within Min..Max: a position beyond the maximum shows a full bar.
    void SetPosition(int position);
    // Stored only.
    int Step() const { return step_; }
    void SetStep(int step);
    bool Smooth() const { return smooth_; }
    void SetSmooth(bool smooth);

    // Draws the control as it looks within `rect` (its client rectangle when shown). In block
    // mode the length is first cut to whole blocks. Right-to-left layout grows blocks from the
    // right.
    void Paint(QPainter& painter, const QRect& rect) const;

    // The length block mode cuts a bar of `length` pixels to: whole 9-pixel blocks plus frame
    // and gap, at least 12.
    static int SnappedLength(int length);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    QRect BarArea(const QRect& client, int position) const;
    QRect SnappedClient(const QRect& rect) const;
    void SnapSize();
    void FollowParentColor();
    void DeriveColors();

    bool transparent_ = false;
    TColor color_;
    bool parentColor_ = true;
    TColor colorElement_ = 0x00996633;
    TColor colorBorder_ = 0x008396A0;
    int advColorBorder_ = 50;
    bool useAdvColors_ = false;
    TProgressBarOrientation orientation_ = pbHorizontal;
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    int step_ = 10;
    bool smooth_ = false;
};
