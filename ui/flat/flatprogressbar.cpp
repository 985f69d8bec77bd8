#include "ui/flat/flatprogressbar.h"

#include <QPainter>
#include <algorithm>

TFlatProgressBar::TFlatProgressBar(QWidget* parent) : QWidget(parent) {}

void TFlatProgressBar::SetMin(int min) {
    if (min == min_) return;
    min_ = min;
    update();
}

void TFlatProgressBar::SetMax(int max) {
    if (max == max_) return;
    max_ = max;
    update();
}

void TFlatProgressBar::SetPosition(int position) {
    if (position == position_) return;
    position_ = position;
    update();
}

void TFlatProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().button());
    painter.setPen(palette().color(QPalette::Shadow));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (max_ <= min_) return;
    double fraction = std::clamp(double(position_ - min_) / double(max_ - min_), 0.0, 1.0);
    QRect inner = rect().adjusted(2, 2, -2, -2);
    inner.setWidth(int(inner.width() * fraction));
    painter.fillRect(inner, palette().highlight());
}
