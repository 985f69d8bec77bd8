#include "ui/flat/flatspeedbutton.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QShortcutEvent>
#include <QTimer>
#include <algorithm>

#include "platform/codepage.h"

QTimer* TFlatSpeedButton::hoverTimer_ = nullptr;
TFlatSpeedButton* TFlatSpeedButton::hotButton_ = nullptr;
int TFlatSpeedButton::liveButtons_ = 0;

TFlatSpeedButton::TFlatSpeedButton(QWidget* parent) : QWidget(parent) {
    if (liveButtons_++ == 0) {
        hoverTimer_ = new QTimer;
        hoverTimer_->setInterval(100);
        QObject::connect(hoverTimer_, &QTimer::timeout, &TFlatSpeedButton::HoverTick);
    }
    color_ = ParentColorOf(*this);
    setFocusPolicy(Qt::NoFocus);
    // Hover starts on a plain move over the button, not only while a mouse button is held.
    setMouseTracking(true);
    resize(25, 25);
}

TFlatSpeedButton::~TFlatSpeedButton() {
    if (hotButton_ == this) ReleaseHoverTimer();
    if (--liveButtons_ == 0) {
        delete hoverTimer_;
        hoverTimer_ = nullptr;
    }
}

// Painting

TFlatSpeedButton::PaintState TFlatSpeedButton::RestingState() const {
    return down_ && groupIndex_ != 0 ? PaintState::Latched : PaintState::Up;
}

QColor TFlatSpeedButton::FaceColor(PaintState state) const {
    if (transparentMode_ == tmAlways || (transparentMode_ == tmNotFocused && !hot_)) return {};
    switch (state) {
        case PaintState::Up:
            return ToQColor(hot_ ? colorFocused_ : color_);
        case PaintState::Disabled:
            return ToQColor(color_);
        case PaintState::Pressed:
            return ToQColor(colorDown_);
        case PaintState::Latched:
            return ToQColor(hot_ ? colorFocused_ : colorDown_);
    }
    return {};
}

QImage TFlatSpeedButton::GlyphImage(PaintState state) const {
    const int width = glyph_.width() / numGlyphs_, height = glyph_.height();
    if (width <= 0 || height <= 0) return {};
    // Image numbers by state, for 1 to 4 images (1 = the whole strip).
    static constexpr int kImageOf[4][4] = {
        // Up, Disabled, Pressed, Latched
        {1, 1, 1, 1},
        {1, 2, 1, 1},
        {1, 2, 3, 3},
        {1, 2, 3, 4},
    };
    const int image = kImageOf[numGlyphs_ - 1][int(state)];
    // The last image takes whatever the integer division left over.
    const int left = (image - 1) * width;
    const int right = image == numGlyphs_ ? glyph_.width() : image * width;
    QImage picture = glyph_.copy(left, 0, right - left, height);
    if (picture.width() != width) picture = picture.scaled(width, height);
    picture = picture.convertToFormat(QImage::Format_ARGB32);
    QRgb transparent = glyph_.pixel(0, glyph_.height() - 1);
    if (numGlyphs_ == 1 && state == PaintState::Disabled) {
        picture = MakeDisabledGlyph(picture, Qt::black, ToQColor(clBtnFace),
                                    ToQColor(clBtnHighlight), ToQColor(clBtnShadow), true)
                      .convertToFormat(QImage::Format_ARGB32);
        transparent = picture.pixel(0, height - 1);
    }
    for (int y = 0; y < picture.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x)
            if ((line[x] & 0xFFFFFF) == (transparent & 0xFFFFFF)) line[x] = 0;
    }
    return picture;
}

void TFlatSpeedButton::Paint(QPainter& painter, const QRect& rect) const {
    const PaintState state = isEnabled() ? state_ : PaintState::Disabled;
    const bool sunken = state == PaintState::Pressed || state == PaintState::Latched;
    painter.setFont(font());
    const QString caption = platform::ToUnicode(caption_);
    const TGlyphAndCaptionPlace place =
        LayoutGlyphAndCaption(painter.fontMetrics(), rect, sunken ? QPoint(1, 1) : QPoint(),
                              caption, numGlyphs_, glyph_, margin_, spacing_, layout_);
    if (QColor face = FaceColor(state); face.isValid()) painter.fillRect(rect, face);
    TColor top = colorBorder_, bottom = colorBorder_;
    if (sunken)
        top = colorShadow_, bottom = colorHighLight_;
    else if (state == PaintState::Up && hot_)
        top = colorHighLight_, bottom = colorShadow_;
    DrawBevelFrame(painter, rect, ToQColor(top), ToQColor(bottom), 1);
    if (QImage image = GlyphImage(state); !image.isNull()) painter.drawImage(place.GlyphPos, image);
    DrawCaption(painter, place.TextBounds, Qt::AlignCenter, caption,
                palette().color(QPalette::ButtonText), state == PaintState::Disabled);
}

void TFlatSpeedButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Paint(painter, rect());
}

void TFlatSpeedButton::SetPaintState(PaintState state) {
    if (state == state_) return;
    state_ = state;
    update();
}

// Hover

bool TFlatSpeedButton::CursorIsOver() const {
    // The topmost widget counts, disabled ones included, so a covered button does not light.
    return QApplication::widgetAt(QCursor::pos()) == this;
}

void TFlatSpeedButton::BeginHover() {
    if (hotButton_ && hotButton_ != this) hotButton_->LeaveStep();
    if (!QApplication::activeWindow()) return;
    hoverTimer_->stop();
    hotButton_ = this;
    hoverTimer_->start();
    EnterStep();
}

void TFlatSpeedButton::EnterStep() {
    if (!isEnabled() || hot_) return;
    hot_ = true;
    update();
}

void TFlatSpeedButton::LeaveStep() {
    if (!isEnabled() || !hot_ || capturing_) return;
    hot_ = false;
    if (hotButton_ == this) ReleaseHoverTimer();
    update();
}

void TFlatSpeedButton::ReleaseHoverTimer() {
    hoverTimer_->stop();
    hotButton_ = nullptr;
}

void TFlatSpeedButton::RefreshHover() {
    if (!isEnabled()) return;
    if (CursorIsOver()) {
        // Becoming hot also takes the timer, so the light goes out when the cursor leaves.
        if (hotButton_ != this) BeginHover();
        EnterStep();
    } else if (hot_) {
        hot_ = false;
        if (hotButton_ == this) ReleaseHoverTimer();
        update();
    }
}

void TFlatSpeedButton::HoverTick() {
    if (hotButton_ && !hotButton_->CursorIsOver()) hotButton_->LeaveStep();
}

// Mouse

void TFlatSpeedButton::HandlePress(QMouseEvent* event) {
    if (OnMouseDown) OnMouseDown(this, *event);
    if (event->button() != Qt::LeftButton || !isEnabled()) return;
    if (!down_) SetPaintState(PaintState::Pressed);
    capturing_ = true;
}

void TFlatSpeedButton::mousePressEvent(QMouseEvent* event) {
    HandlePress(event);
}

void TFlatSpeedButton::mouseDoubleClickEvent(QMouseEvent* event) {
    HandlePress(event);
    if (event->button() == Qt::LeftButton && down_ && OnDblClick) OnDblClick(this);
}

namespace {

// The row just below the bottom edge still counts, so a release on the edge clicks.
bool Inside(const QWidget& widget, const QPoint& point) {
    return point.x() >= 0 && point.x() < widget.width() && point.y() >= 0 &&
           point.y() <= widget.height();
}

}  // namespace

void TFlatSpeedButton::mouseMoveEvent(QMouseEvent* event) {
    if (OnMouseMove) OnMouseMove(this, *event);
    if (hotButton_ != this && CursorIsOver()) BeginHover();
    if (!capturing_) return;
    const bool inside = Inside(*this, event->position().toPoint());
    SetPaintState(down_ ? PaintState::Latched : inside ? PaintState::Pressed : PaintState::Up);
}

void TFlatSpeedButton::mouseReleaseEvent(QMouseEvent* event) {
    if (OnMouseUp) OnMouseUp(this, *event);
    if (event->button() != Qt::LeftButton || !capturing_) return;
    capturing_ = false;
    const bool inside = Inside(*this, event->position().toPoint());
    if (groupIndex_ == 0) {
        state_ = PaintState::Up;
        hot_ = false;
        if (inside) update();
    } else if (inside) {
        SetDown(!down_);
        if (down_) update();
    } else {
        if (down_) state_ = PaintState::Latched;
        update();
    }
    if (!inside) {
        LeaveStep();
    } else {
        // A click handler may run nested event loops in which the window closes and the
        // button is deleted.
        QPointer<TFlatSpeedButton> alive(this);
        Click();
        if (!alive) return;
    }
    RefreshHover();
}

void TFlatSpeedButton::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (OnMouseEnter) OnMouseEnter(this);
}

void TFlatSpeedButton::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (OnMouseLeave) OnMouseLeave(this);
}

void TFlatSpeedButton::Click() {
    QPointer<TFlatSpeedButton> alive(this);
    if (OnClick) OnClick(this);
    if (!alive || ModalResult == 0) return;
    if (auto* dialog = qobject_cast<QDialog*>(window())) dialog->done(ModalResult);
}

// Groups

void TFlatSpeedButton::NotifyGroup() {
    if (groupIndex_ == 0 || !parentWidget()) return;
    for (QObject* child : parentWidget()->children())
        if (auto* button = qobject_cast<TFlatSpeedButton*>(child))
            button->GroupChanged(groupIndex_, this);
}

void TFlatSpeedButton::GroupChanged(int groupIndex, TFlatSpeedButton* sender) {
    if (sender == this || groupIndex != groupIndex_) return;
    if (sender->down_ && down_) {
        // Bypasses the Down rules: the group, not the user, releases this one.
        down_ = false;
        state_ = PaintState::Up;
        update();
    }
    allowAllUp_ = sender->allowAllUp_;
}

void TFlatSpeedButton::SetDown(bool down) {
    if (groupIndex_ == 0) down = false;
    if (down == down_ || (down_ && !allowAllUp_)) return;
    down_ = down;
    state_ = down ? PaintState::Latched : PaintState::Up;
    update();
    if (down) NotifyGroup();
}

void TFlatSpeedButton::SetGroupIndex(int groupIndex) {
    if (groupIndex == groupIndex_) return;
    groupIndex_ = groupIndex;
    NotifyGroup();
}

void TFlatSpeedButton::SetAllowAllUp(bool allowAllUp) {
    if (allowAllUp == allowAllUp_) return;
    allowAllUp_ = allowAllUp;
    NotifyGroup();
}

// Accelerator

void TFlatSpeedButton::UpdateAccelerator() {
    if (acceleratorId_ != 0) releaseShortcut(acceleratorId_);
    acceleratorId_ = 0;
    const QKeySequence accelerator = QKeySequence::mnemonic(platform::ToUnicode(caption_));
    if (!accelerator.isEmpty()) acceleratorId_ = grabShortcut(accelerator, Qt::WindowShortcut);
}

bool TFlatSpeedButton::event(QEvent* event) {
    if (event->type() == QEvent::Shortcut &&
        static_cast<QShortcutEvent*>(event)->shortcutId() == acceleratorId_) {
        if (!isEnabled()) return false;
        Click();
        return true;
    }
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::ParentChange) FollowParentColor();
    return handled;
}

// Properties

void TFlatSpeedButton::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    switch (event->type()) {
        case QEvent::EnabledChange:
            if (isEnabled()) {
                state_ = RestingState();
            } else {
                hot_ = false;
                capturing_ = false;
                state_ = PaintState::Disabled;
                if (hotButton_ == this) ReleaseHoverTimer();
            }
            RefreshHover();
            update();
            break;
        case QEvent::PaletteChange:
            FollowParentColor();
            break;
        case QEvent::FontChange:
            update();
            break;
        default:
            break;
    }
}

void TFlatSpeedButton::FollowParentColor() {
    if (useAdvColors_) parentColor_ = true;
    if (!parentColor_) return;
    color_ = ParentColorOf(*this);
    DeriveColors();
    update();
}

void TFlatSpeedButton::DeriveColors() {
    if (!useAdvColors_) return;
    colorFocused_ = DeriveAdvColor(color_, colorFocused_, advColorFocused_, Brighter);
    colorDown_ = DeriveAdvColor(color_, colorDown_, advColorDown_, Darker);
    colorBorder_ = DeriveAdvColor(color_, colorBorder_, advColorBorder_, Darker);
}

void TFlatSpeedButton::SetCaption(const AnsiString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    UpdateAccelerator();
    update();
}

void TFlatSpeedButton::SetTransparentMode(TTransparentMode mode) {
    transparentMode_ = mode;
    update();
}

void TFlatSpeedButton::SetColor(TColor color) {
    parentColor_ = false;
    color_ = color;
    DeriveColors();
    update();
}

void TFlatSpeedButton::SetColorFocused(TColor color) {
    colorFocused_ = color;
    update();
}

void TFlatSpeedButton::SetColorDown(TColor color) {
    colorDown_ = color;
    update();
}

void TFlatSpeedButton::SetColorBorder(TColor color) {
    colorBorder_ = color;
    update();
}

void TFlatSpeedButton::SetColorHighLight(TColor color) {
    colorHighLight_ = color;
    update();
}

void TFlatSpeedButton::SetColorShadow(TColor color) {
    colorShadow_ = color;
    update();
}

void TFlatSpeedButton::SetParentColor(bool parentColor) {
    if (parentColor == parentColor_) return;
    parentColor_ = parentColor;
    if (parentColor) FollowParentColor();
}

void TFlatSpeedButton::SetAdvColorFocused(int percent) {
    advColorFocused_ = std::clamp(percent, 0, 100);
    DeriveColors();
    update();
}

void TFlatSpeedButton::SetAdvColorDown(int percent) {
    advColorDown_ = std::clamp(percent, 0, 100);
    DeriveColors();
    update();
}

void TFlatSpeedButton::SetAdvColorBorder(int percent) {
    advColorBorder_ = std::clamp(percent, 0, 100);
    DeriveColors();
    update();
}

void TFlatSpeedButton::SetUseAdvColors(bool useAdvColors) {
    if (useAdvColors == useAdvColors_) return;
    useAdvColors_ = useAdvColors;
    SetParentColor(useAdvColors);
    DeriveColors();
    update();
}

void TFlatSpeedButton::SetGlyph(const QImage& glyph) {
    glyph_ = glyph;
    if (!glyph_.isNull() && glyph_.width() % glyph_.height() == 0) {
        const int squares = glyph_.width() / glyph_.height();
        numGlyphs_ = squares > 4 ? 1 : squares;
    }
    update();
}

void TFlatSpeedButton::SetNumGlyphs(int numGlyphs) {
    numGlyphs = std::clamp(numGlyphs, 1, 4);
    if (numGlyphs == numGlyphs_) return;
    numGlyphs_ = numGlyphs;
    update();
}

void TFlatSpeedButton::SetLayout(TButtonLayout layout) {
    if (layout == layout_) return;
    layout_ = layout;
    update();
}

void TFlatSpeedButton::SetMargin(int margin) {
    if (margin == margin_ || margin < -1) return;
    margin_ = margin;
    update();
}

void TFlatSpeedButton::SetSpacing(int spacing) {
    if (spacing == spacing_) return;
    spacing_ = spacing;
    update();
}
