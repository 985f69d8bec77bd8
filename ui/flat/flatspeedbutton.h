// TFlatSpeedButton: the wizard's push button.
#pragma once

#include <QWidget>

#include "platform/component.h"
#include "platform/text.h"

class TFlatSpeedButton : public QWidget {
    Q_OBJECT
public:
    explicit TFlatSpeedButton(QWidget* parent = nullptr);

    // Code-page text; "&" marks the accelerator character.
    const AnsiString& Caption() const { return caption_; }
    void SetCaption(const AnsiString& caption);

    // What the button's owner keeps in it (the wizard keeps its next step here).
    int Tag = 0;

    TNotifyEvent OnClick;

    // Clicks from code: runs OnClick as a user's click would, whether or not it is enabled.
    void Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    AnsiString caption_;
    bool pressed_ = false;
};
