#include "ui/flat/flatprogressbar.h"

#include <QEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/flat/flatutilitys.h"

namespace {

constexpr int kBlockLength = 8;
constexpr int kBlockPitch = kBlockLength + 1;
// Frame and gap before the first block, and frame, gap and the snapping remainder after it.
constexpr int kInset = 2;
constexpr int kMinimumLength = 12;

// A rectangle from its edges, right and bottom exclusive; empty when they cross.
QRect FromEdges(qint64 left, qint64 top, qint64 right, qint64 bottom) {
    if (right <= left || bottom <= top) return QRect();
    return QRect(int(left), int(top), int(right - left), int(bottom - top));
}

}  // namespace

TFlatProgressBar::TFlatProgressBar(QWidget* parent) : QWidget(parent) {
    color_ = ParentColorOf(*this);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(147, 16);
}

int TFlatProgressBar::SnappedLength(int length) {
    if (length < kMinimumLength) return kMinimumLength;
    return (length - 3) / kBlockPitch * kBlockPitch + 3;
}

QRect TFlatProgressBar::SnappedClient(const QRect& rect) const {
    if (smooth_) return rect;
    QRect client = rect;
    if (orientation_ == pbHorizontal)
        client.setWidth(SnappedLength(rect.width()));
    else
        client.setHeight(SnappedLength(rect.height()));
    return client;
}

QRect TFlatProgressBar::BarArea(const QRect& client, int position) const {
    const qint64 left = client.left(), top = client.top();
    const qint64 right = left + client.width(), bottom = top + client.height();
    const qint64 span = qint64(max_) - min_, done = qint64(position) - min_;
    if (span <= 0 || done <= 0) return QRect();
    if (smooth_) {
        if (orientation_ == pbHorizontal)
            return FromEdges(left + kInset, top + kInset,
                             left + kInset + (client.width() - 2 * kInset) * done / span,
                             bottom - kInset);
        return FromEdges(left + kInset,
                         bottom - kInset - (client.height() - 2 * kInset) * done / span,
                         right - kInset, bottom - kInset);
    }
    const int length = orientation_ == pbHorizontal ? client.width() : client.height();
    const qint64 blocks = (length - 3) / kBlockPitch;
    if (blocks <= 0) return QRect();
    // The small addend keeps a full bar full when span / blocks is not exact (Max 3 on 40).
    double count = std::trunc(double(done) / (double(span) / double(blocks)) + 0.00000001);
    const qint64 shown = qint64(std::min(count, double(blocks)));
    if (shown < 1) return QRect();
    const qint64 extent = (shown - 1) * kBlockPitch + kBlockLength;
    if (orientation_ == pbVertical)
        return FromEdges(left + kInset, bottom - kInset - extent, right - kInset, bottom - kInset);
    if (layoutDirection() == Qt::RightToLeft)
        return FromEdges(right - kInset - extent, top + kInset, right - kInset, bottom - kInset);
    return FromEdges(left + kInset, top + kInset, left + kInset + extent, bottom - kInset);
}

void TFlatProgressBar::Paint(QPainter& painter, const QRect& rect) const {
    const QRect client = SnappedClient(rect);
    if (!transparent_) painter.fillRect(client, ToQColor(color_));
    const QColor border = ToQColor(colorBorder_);
    DrawBevelFrame(painter, client, border, border, 1);
    const QRect bar = BarArea(client, position_);
    if (bar.isEmpty()) return;
    const QColor element = ToQColor(colorElement_);
    if (smooth_) {
        painter.fillRect(bar, element);
        return;
    }
    // The bar area covers whole blocks; the one-pixel gaps between them stay unpainted.
    const bool vertical = orientation_ == pbVertical;
    const int length = vertical ? bar.height() : bar.width();
    for (int offset = 0; offset < length; offset += kBlockPitch) {
        if (vertical)
            painter.fillRect(bar.left(), bar.bottom() - offset - kBlockLength + 1, bar.width(),
                             kBlockLength, element);
        else
            painter.fillRect(bar.left() + offset, bar.top(), kBlockLength, bar.height(), element);
    }
}

void TFlatProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Paint(painter, rect());
}

void TFlatProgressBar::SnapSize() {
    if (smooth_) return;
    const QRect snapped = SnappedClient(rect());
    if (snapped.size() != size()) resize(snapped.size());
}

void TFlatProgressBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    SnapSize();
}

void TFlatProgressBar::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) FollowParentColor();
}

bool TFlatProgressBar::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::ParentChange) FollowParentColor();
    if (event->type() == QEvent::LayoutDirectionChange) update();
    return handled;
}

void TFlatProgressBar::FollowParentColor() {
    if (useAdvColors_) parentColor_ = true;
    if (!parentColor_) return;
    color_ = ParentColorOf(*this);
    DeriveColors();
    update();
}

void TFlatProgressBar::DeriveColors() {
    if (useAdvColors_) colorBorder_ = DeriveAdvColor(color_, colorBorder_, advColorBorder_, Darker);
}

void TFlatProgressBar::SetTransparent(bool transparent) {
    transparent_ = transparent;
    setAttribute(Qt::WA_OpaquePaintEvent, !transparent);
    update();
}

void TFlatProgressBar::SetColor(TColor color) {
    parentColor_ = false;
    if (color == color_) return;
    color_ = color;
    update();
}

void TFlatProgressBar::SetParentColor(bool parentColor) {
    if (parentColor == parentColor_) return;
    parentColor_ = parentColor;
    if (parentColor) FollowParentColor();
}

void TFlatProgressBar::SetColorElement(TColor color) {
    colorElement_ = color;
    update();
}

void TFlatProgressBar::SetColorBorder(TColor color) {
    colorBorder_ = color;
    update();
}

void TFlatProgressBar::SetAdvColorBorder(int percent) {
    advColorBorder_ = std::clamp(percent, 0, 100);
    DeriveColors();
    update();
}

void TFlatProgressBar::SetUseAdvColors(bool useAdvColors) {
    if (useAdvColors == useAdvColors_) return;
    useAdvColors_ = useAdvColors;
    SetParentColor(useAdvColors);
    DeriveColors();
    update();
}

void TFlatProgressBar::SetOrientation(TProgressBarOrientation orientation) {
    if (orientation == orientation_) return;
    orientation_ = orientation;
    resize(height(), width());
    update();
}

void TFlatProgressBar::SetMin(int min) {
    if (min == min_) return;
    min_ = min;
    update();
}

void TFlatProgressBar::SetMax(int max) {
    if (max == max_) return;
    max_ = max;
    if (position_ > max_) position_ = max_;
    update();
}

void TFlatProgressBar::SetPosition(int position) {
    position = std::max(std::min(position, max_), min_);
    if (position == position_) return;
    if (position < position_) {
        position_ = position;
        update();
        return;
    }
    // Growth only adds bar: repaint just the newly covered part over the present picture.
    const QRect client = SnappedClient(rect());
    const QRect before = BarArea(client, position_);
    position_ = position;
    update(QRegion(BarArea(client, position_)).subtracted(before));
}

void TFlatProgressBar::SetStep(int step) {
    if (step == step_) return;
    step_ = step;
    update();
}

void TFlatProgressBar::SetSmooth(bool smooth) {
    if (smooth == smooth_) return;
    smooth_ = smooth;
    SnapSize();
    update();
}
