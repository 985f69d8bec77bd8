#include "ui/flat/flatspeedbutton.h"

#include <QMouseEvent>
#include <QPainter>

#include "platform/codepage.h"

TFlatSpeedButton::TFlatSpeedButton(QWidget* parent) : QWidget(parent) {}

void TFlatSpeedButton::SetCaption(const AnsiString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    update();
}

void TFlatSpeedButton::Click() {
    if (OnClick) OnClick(this);
}

void TFlatSpeedButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().button());
    painter.setPen(palette().color(QPalette::Shadow));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextShowMnemonic, platform::ToUnicode(caption_));
}

void TFlatSpeedButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = true;
}

void TFlatSpeedButton::mouseReleaseEvent(QMouseEvent* event) {
    bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->pos());
    pressed_ = false;
    if (click) Click();
}

void TFlatSpeedButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) update();
    QWidget::changeEvent(event);
}
