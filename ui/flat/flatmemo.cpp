#include "ui/flat/flatmemo.h"

#include <QApplication>
#include <QPainter>
#include <QTextBlock>
#include <algorithm>

#include "platform/codepage.h"
#include "ui/flat/flatutilitys.h"

namespace {

constexpr int kBorder = 3;

}  // namespace

TFlatMemo::TFlatMemo(QWidget* parent) : QPlainTextEdit(parent) {
    // A plain frame of the border's width keeps the text area and the scroll bars inside the
    // band (the frame owns the contents margins); the band is painted here, not by the frame.
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(kBorder);
    setReadOnly(true);
    // A click gives the focus, so a message can be selected with mouse or keyboard and
    // copied; Tab still passes the memo by, as it holds nothing to fill in.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::ClickFocus);
    SetScrollBars(ssNone);
    if (parent) colorFlat_ = ParentColorOf(*this);
    resize(185, 89);
    ApplyLook();
}

void TMemoLines::Clear() {
    memo_.clear();
}

void TMemoLines::Add(const AnsiString& line) {
    memo_.appendPlainText(platform::ToUnicode(line));
}

int TMemoLines::Count() const {
    return memo_.document()->isEmpty() ? 0 : memo_.document()->blockCount();
}

AnsiString TMemoLines::operator[](int index) const {
    return platform::FromUnicode(memo_.document()->findBlockByNumber(index).text());
}

bool TFlatMemo::FocusedLook() const {
    return hasFocus() || (hot_ && !qobject_cast<TFlatMemo*>(QApplication::focusWidget()));
}

void TFlatMemo::PaintBorder(QPainter& painter, const QRect& rect) const {
    const QColor look = ToQColor(FocusedLook() ? colorFocused_ : colorFlat_);
    const QColor border = ToQColor(colorBorder_);
    DrawBevelFrame(painter, rect, border, border, 1);
    DrawBevelFrame(painter, rect.adjusted(1, 1, -1, -1), look, look, kBorder - 1);
    if (scrollBars_ == ssBoth) {
        // The corner between the two scroll bars.
        const QRect inner = rect.adjusted(2, 2, -2, -2);
        painter.fillRect(QRect(inner.right() + 1 - 17, inner.bottom() + 1 - 17, 16, 16), look);
    }
}

bool TFlatMemo::event(QEvent* event) {
    // The scroll area's own paint event covers only the band around the text area.
    if (event->type() == QEvent::Paint) {
        QPainter painter(this);
        PaintBorder(painter, rect());
        return true;
    }
    const bool handled = QPlainTextEdit::event(event);
    if (event->type() == QEvent::ParentChange) FollowParentColor();
    return handled;
}

void TFlatMemo::ApplyLook() {
    const QColor look = ToQColor(FocusedLook() ? colorFocused_ : colorFlat_);
    if (viewport()->palette().color(QPalette::Base) != look) {
        // The text area's palette, not the memo's: the memo's palette follows its parent.
        QPalette palette = viewport()->palette();
        palette.setColor(QPalette::Base, look);
        viewport()->setPalette(palette);
    }
    update();
}

void TFlatMemo::changeEvent(QEvent* event) {
    QPlainTextEdit::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) FollowParentColor();
    if (event->type() == QEvent::EnabledChange) ApplyLook();
}

void TFlatMemo::focusInEvent(QFocusEvent* event) {
    QPlainTextEdit::focusInEvent(event);
    ApplyLook();
}

void TFlatMemo::focusOutEvent(QFocusEvent* event) {
    QPlainTextEdit::focusOutEvent(event);
    ApplyLook();
}

void TFlatMemo::enterEvent(QEnterEvent* event) {
    QPlainTextEdit::enterEvent(event);
    if (!QApplication::activeWindow()) return;
    hot_ = true;
    ApplyLook();
}

void TFlatMemo::leaveEvent(QEvent* event) {
    QPlainTextEdit::leaveEvent(event);
    hot_ = false;
    ApplyLook();
}

void TFlatMemo::FollowParentColor() {
    if (!parentWidget() || !(parentColor_ || useAdvColors_)) return;
    colorFlat_ = ParentColorOf(*this);
    DeriveColors();
    ApplyLook();
}

void TFlatMemo::DeriveColors() {
    if (!useAdvColors_) return;
    colorFocused_ = DeriveAdvColor(colorFlat_, colorFocused_, advColorFocused_, Brighter);
    colorBorder_ = DeriveAdvColor(colorFlat_, colorBorder_, advColorBorder_, Darker);
}

void TFlatMemo::SetColorFocused(TColor color) {
    colorFocused_ = color;
    ApplyLook();
}

void TFlatMemo::SetColorBorder(TColor color) {
    colorBorder_ = color;
    ApplyLook();
}

void TFlatMemo::SetColorFlat(TColor color) {
    colorFlat_ = color;
    parentColor_ = false;
    ApplyLook();
}

void TFlatMemo::SetParentColor(bool parentColor) {
    if (parentColor == parentColor_) return;
    parentColor_ = parentColor;
    if (parentColor && parentWidget()) {
        colorFlat_ = ParentColorOf(*this);
        ApplyLook();
    }
}

void TFlatMemo::SetAdvColorFocused(int percent) {
    advColorFocused_ = std::clamp(percent, 0, 100);
    if (!useAdvColors_) return;
    DeriveColors();
    ApplyLook();
}

void TFlatMemo::SetAdvColorBorder(int percent) {
    advColorBorder_ = std::clamp(percent, 0, 100);
    if (!useAdvColors_) return;
    DeriveColors();
    ApplyLook();
}

void TFlatMemo::SetUseAdvColors(bool useAdvColors) {
    if (useAdvColors == useAdvColors_) return;
    useAdvColors_ = useAdvColors;
    SetParentColor(useAdvColors);
    DeriveColors();
    ApplyLook();
}

void TFlatMemo::SetScrollBars(TScrollStyle scrollBars) {
    scrollBars_ = scrollBars;
    const bool horizontal = scrollBars == ssHorizontal || scrollBars == ssBoth;
    const bool vertical = scrollBars == ssVertical || scrollBars == ssBoth;
    setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    update();
}
