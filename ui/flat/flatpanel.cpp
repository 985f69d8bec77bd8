#include "ui/flat/flatpanel.h"

#include <QPainter>

TFlatPanel::TFlatPanel(QWidget* parent) : QWidget(parent) {}

void TFlatPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Shadow));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
