#include "ui/flat/flatpanel.h"

#include <QEvent>
#include <QPainter>

#include "platform/codepage.h"
#include "ui/flat/flatutilitys.h"

TFlatPanel::TFlatPanel(QWidget* parent) : QWidget(parent) {
    color_ = ParentColorOf(*this);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setContentsMargins(1, 1, 1, 1);
    resize(185, 41);
}

void TFlatPanel::Paint(QPainter& painter, const QRect& rect) const {
    // The widget's backing store already composes the picture off screen and shows it in
    // one step, so the routine draws straight onto the painter.
    if (transparent_)
        PaintParentBackground(*this, painter);
    else
        painter.fillRect(rect, ToQColor(color_));
    DrawBevelFrame(painter, rect, ToQColor(colorHighLight_), ToQColor(colorShadow_), 1);
    static constexpr Qt::Alignment kHorizontal[] = {Qt::AlignLeft, Qt::AlignRight,
                                                    Qt::AlignHCenter};
    painter.setFont(font());
    DrawCaption(painter, rect, kHorizontal[alignment_] | Qt::AlignVCenter,
                platform::ToUnicode(caption_), palette().color(QPalette::WindowText), !isEnabled());
}

void TFlatPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Paint(painter, rect());
}

void TFlatPanel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) update();
    if (event->type() == QEvent::PaletteChange) FollowParentColor();
}

bool TFlatPanel::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::ParentChange) FollowParentColor();
    return handled;
}

void TFlatPanel::FollowParentColor() {
    if (!parentColor_) return;
    color_ = ParentColorOf(*this);
    update();
}

// Children that follow their parent's colour read it from the palette.
void TFlatPanel::PublishColor() {
    QPalette own;
    if (!parentColor_) own.setColor(backgroundRole(), ToQColor(color_));
    setPalette(own);
}

void TFlatPanel::SetTransparent(bool transparent) {
    transparent_ = transparent;
    setAttribute(Qt::WA_OpaquePaintEvent, !transparent);
    update();
}

void TFlatPanel::SetColor(TColor color) {
    parentColor_ = false;
    color_ = color;
    PublishColor();
    update();
}

void TFlatPanel::SetParentColor(bool parentColor) {
    if (parentColor == parentColor_) return;
    parentColor_ = parentColor;
    PublishColor();
    FollowParentColor();
}

void TFlatPanel::SetColorHighLight(TColor color) {
    colorHighLight_ = color;
    update();
}

void TFlatPanel::SetColorShadow(TColor color) {
    colorShadow_ = color;
    update();
}

void TFlatPanel::SetCaption(const AnsiString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    update();
}

void TFlatPanel::SetAlignment(TAlignment alignment) {
    if (alignment == alignment_) return;
    alignment_ = alignment;
    update();
}
