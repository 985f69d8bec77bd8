// TFlatMemo: a multi-line text box that draws its own three-pixel border in one of two looks.
//
// The focused look (ColorFocused) shows while the memo has the keyboard focus, or while the
// cursor rests on it and no other TFlatMemo has the focus; otherwise the flat look
// (ColorFlat). The outer ring is ColorBorder in both looks; the inner two rings and the text
// area take the look's colour. GUI thread only.
#pragma once

#include <QPlainTextEdit>

#include "platform/text.h"
#include "ui/flat/hslutils.h"

class TFlatMemo;

// The memo's lines, addressed as code-page text.
class TMemoLines {
public:
    explicit TMemoLines(TFlatMemo& memo) : memo_(memo) {}
    void Clear();
    void Add(const AnsiString& line);
    int Count() const;
    AnsiString operator[](int index) const;

private:
    TFlatMemo& memo_;
};

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

class TFlatMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    // 185 x 89, word-wrapped, no scroll bars; read-only and outside the tab order, as the
    // wizard shows its messages. A click focuses it, so its text can be selected and copied.
    explicit TFlatMemo(QWidget* parent = nullptr);

    TMemoLines Lines{*this};

    TColor ColorFocused() const { return colorFocused_; }
    void SetColorFocused(TColor color);
    TColor ColorBorder() const { return colorBorder_; }
    void SetColorBorder(TColor color);
    // Setting it ends ParentColor.
    TColor ColorFlat() const { return colorFlat_; }
    void SetColorFlat(TColor color);
    // ColorFlat follows the parent's background colour.
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool parentColor);
    // With UseAdvColors, ColorFocused (AdvColorFocused brighter) and ColorBorder
    // (AdvColorBorder darker) derive from ColorFlat; setting it sets ParentColor too.
    int AdvColorFocused() const { return advColorFocused_; }
    void SetAdvColorFocused(int percent);
    int AdvColorBorder() const { return advColorBorder_; }
    void SetAdvColorBorder(int percent);
    bool UseAdvColors() const { return useAdvColors_; }
    void SetUseAdvColors(bool useAdvColors);

    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle scrollBars);

    bool FocusedLook() const;
    // Draws the border band of the current look within `rect`, the whole memo area.
    void PaintBorder(QPainter& painter, const QRect& rect) const;

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void ApplyLook();
    void FollowParentColor();
    void DeriveColors();

    TColor colorFocused_ = clWhite;
    TColor colorBorder_ = 0x008396A0;
    TColor colorFlat_ = 0x00E1EAEB;
    bool parentColor_ = true;
    int advColorFocused_ = 10;
    int advColorBorder_ = 50;
    bool useAdvColors_ = false;
    TScrollStyle scrollBars_ = ssNone;
    bool hot_ = false;
};
