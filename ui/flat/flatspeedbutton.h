// TFlatSpeedButton: a flat push button painted on its parent's surface.
//
// It takes no keyboard focus and answers to the mouse and to its caption's accelerator
// (Alt + the letter after "&"). It lights up while the cursor is over it, can show a glyph
// strip of up to four images (up, disabled, pressed, latched), and with a GroupIndex it latches
// down, one button of the group at a time. GUI thread only.
//
// Hover: all buttons share one 100 ms timer, owned by the one "hot" button under the cursor,
// which polls whether the cursor has left it. Hover starts only while one of the
// application's windows is active.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

#include "platform/component.h"
#include "platform/text.h"
#include "ui/flat/flatutilitys.h"

class QMouseEvent;
class QTimer;

enum TTransparentMode { tmAlways, tmNotFocused, tmNone };

using TMouseEvent = std::function<void(QObject* Sender, const QMouseEvent& event)>;

class TFlatSpeedButton : public QWidget {
    Q_OBJECT
public:
    // 25 x 25, caption empty, the parent's colour, no glyph.
    explicit TFlatSpeedButton(QWidget* parent = nullptr);
    ~TFlatSpeedButton() override;

    // When the face is filled: tmNone always, tmNotFocused only while hot, tmAlways never.
    TTransparentMode TransparentMode() const { return transparentMode_; }
    void SetTransparentMode(TTransparentMode mode);

    // Face at rest, while hot and while pressed; frame at rest and disabled; the light and dark
    // sides of the raised (hot) and sunken (pressed) frames.
    TColor Color() const { return color_; }
    void SetColor(TColor color);  // also ends ParentColor
    TColor ColorFocused() const { return colorFocused_; }
    void SetColorFocused(TColor color);
    TColor ColorDown() const { return colorDown_; }
    void SetColorDown(TColor color);
    TColor ColorBorder() const { return colorBorder_; }
    void SetColorBorder(TColor color);
    TColor ColorHighLight() const { return colorHighLight_; }
    void SetColorHighLight(TColor color);
    TColor ColorShadow() const { return colorShadow_; }
    void SetColorShadow(TColor color);
    // Follow the parent's background colour (the default).
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool parentColor);

    // With UseAdvColors, ColorFocused, ColorDown and ColorBorder are derived from Color, each
    // a percent step (0..100) brighter or darker; setting UseAdvColors sets ParentColor too.
    int AdvColorFocused() const { return advColorFocused_; }
    void SetAdvColorFocused(int percent);
    int AdvColorDown() const { return advColorDown_; }
    void SetAdvColorDown(int percent);
    int AdvColorBorder() const { return advColorBorder_; }
    void SetAdvColorBorder(int percent);
    bool UseAdvColors() const { return useAdvColors_; }
    void SetUseAdvColors(bool useAdvColors);

    // Buttons of one parent with the same non-zero GroupIndex latch exclusively; AllowAllUp
    // lets the down one be released, and is shared by the group.
    int GroupIndex() const { return groupIndex_; }
    void SetGroupIndex(int groupIndex);
    bool AllowAllUp() const { return allowAllUp_; }
    void SetAllowAllUp(bool allowAllUp);
    // Always false outside a group.
    bool Down() const { return down_; }
    void SetDown(bool down);

    // Code-page text; "&" marks the accelerator character, "&&" shows one "&".
    const AnsiString& Caption() const { return caption_; }
    void SetCaption(const AnsiString& caption);

    // A strip of NumGlyphs equal images side by side; the pixel at its bottom-left corner gives
    // the transparent colour. The button keeps a copy. A strip whose width is a multiple of its
    // height sets NumGlyphs to the number of squares (1 beyond four).
    const QImage& Glyph() const { return glyph_; }
    void SetGlyph(const QImage& glyph);
    // 1..4; values outside are clamped.
    int NumGlyphs() const { return numGlyphs_; }
    void SetNumGlyphs(int numGlyphs);
    TButtonLayout Layout() const { return layout_; }
    void SetLayout(TButtonLayout layout);
    // Edge-to-glyph gap; -1 centres. Values below -1 are ignored.
    int Margin() const { return margin_; }
    void SetMargin(int margin);
    // Glyph-to-caption gap; -1 spreads the room evenly.
    int Spacing() const { return spacing_; }
    void SetSpacing(int spacing);

    // Handed to the owning dialog on a click (a non-zero result closes it).
    int ModalResult = 0;

    // What the button's owner keeps in it (the wizard keeps its next step here).
    int Tag = 0;

    TNotifyEvent OnClick;
    // Only while Down.
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown, OnMouseMove, OnMouseUp;
    // The cursor entered or left the button, whether or not it lights up.
    TNotifyEvent OnMouseEnter, OnMouseLeave;

    // Clicks from code: runs OnClick as a user's click would, whether or not it is enabled.
    void Click();

    // Draws the button as it looks now within `rect` (its client rectangle when shown).
    void Paint(QPainter& painter, const QRect& rect) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    enum class PaintState { Up, Disabled, Pressed, Latched };

    PaintState RestingState() const;
    QColor FaceColor(PaintState state) const;
    QImage GlyphImage(PaintState state) const;
    bool CursorIsOver() const;
    void BeginHover();
    void EnterStep();
    void LeaveStep();
    void RefreshHover();
    void ReleaseHoverTimer();
    void HandlePress(QMouseEvent* event);
    void NotifyGroup();
    void GroupChanged(int groupIndex, TFlatSpeedButton* sender);
    void UpdateAccelerator();
    void FollowParentColor();
    void DeriveColors();
    void SetPaintState(PaintState state);

    static void HoverTick();

    TTransparentMode transparentMode_ = tmNone;
    TColor color_;
    TColor colorFocused_ = 0x00E1EAEB;
    TColor colorDown_ = 0x00C5D6D9;
    TColor colorBorder_ = 0x008396A0;
    TColor colorHighLight_ = clWhite;
    TColor colorShadow_ = clBlack;
    bool parentColor_ = true;
    int advColorFocused_ = 10;
    int advColorDown_ = 10;
    int advColorBorder_ = 50;
    bool useAdvColors_ = false;
    int groupIndex_ = 0;
    bool allowAllUp_ = false;
    bool down_ = false;
    AnsiString caption_;
    QImage glyph_;
    int numGlyphs_ = 1;
    TButtonLayout layout_ = blGlyphTop;
    int margin_ = -1;
    int spacing_ = 4;

    PaintState state_ = PaintState::Up;
    bool hot_ = false;
    bool capturing_ = false;
    int acceleratorId_ = 0;

    // Shared by every button of the application.
    static QTimer* hoverTimer_;
    static TFlatSpeedButton* hotButton_;
    static int liveButtons_;
};
