#include "controls.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace platform {

QRect inContainer(const QRect& windowRect, const QWidget* container) {
    return windowRect.translated(-container->pos());
}

void applyTextStyle(QWidget* control, const TextStyle& style) {
    QFont font = control->font();
    font.setPixelSize(style.Size > 0 ? style.Size : 12);
    font.setBold(style.Bold);
    control->setFont(font);
    QPalette p = control->palette();
    p.setColor(QPalette::WindowText, style.Color);
    p.setColor(QPalette::Text, style.Color);
    p.setColor(QPalette::ButtonText, style.Color);
    control->setPalette(p);
}

StaticText::StaticText(QWidget* parent, const QRect& geometry, const QString& text,
                       const TextStyle& style)
    : QLabel(parent) {
    setGeometry(geometry);
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setText(shown);
    setTextFormat(Qt::PlainText);
    applyTextStyle(this, style);
    const Qt::Alignment horizontal = style.TextAlign == 1   ? Qt::AlignHCenter
                                     : style.TextAlign == 2 ? Qt::AlignRight
                                                            : Qt::AlignLeft;
    setAlignment(horizontal | Qt::AlignTop);
}

void StaticText::setBuddy(QWidget* control) {
    QLabel::setBuddy(control);
    QString name = text().simplified();
    while (name.endsWith(QLatin1Char(':')))
        name = name.chopped(1).trimmed();
    control->setAccessibleName(name);
}

void StaticText::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    QWidget* control = buddy();
    if (event->button() != Qt::LeftButton || !control || !control->isEnabled() ||
        !rect().contains(event->position().toPoint()))
        return;
    if (auto* button = qobject_cast<QAbstractButton*>(control))
        button->click();
    else
        control->setFocus(Qt::MouseFocusReason);
}

RoundRectangle::RoundRectangle(QWidget* parent, const QRect& geometry, const QColor& fill,
                               const QColor& border, int borderWidth, int ovalWidth, int ovalHeight)
    : QWidget(parent), fill_(fill), border_(border), borderWidth_(borderWidth),
      ovalWidth_(ovalWidth), ovalHeight_(ovalHeight) {
    setGeometry(geometry);
}

void RoundRectangle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, ovalWidth_ > 0);
    painter.setBrush(fill_);
    if (borderWidth_ > 0)
        painter.setPen(QPen(border_, borderWidth_));
    else
        painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(rect(), ovalWidth_ / 2.0, ovalHeight_ / 2.0);
}

ImageWell::ImageWell(QWidget* parent, const QRect& geometry) : QFrame(parent) {
    setGeometry(geometry);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
}

BevelButton::BevelButton(QWidget* parent, const QRect& geometry, const QIcon& icon, int iconSide,
                         const QString& name)
    : QToolButton(parent) {
    setGeometry(geometry);
    setIcon(icon);
    setIconSize(QSize(iconSide, iconSide));
    setFocusPolicy(Qt::TabFocus);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setAccessibleName(name);
}

void BevelButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier) {
        click();
        return;
    }
    QToolButton::keyPressEvent(event);
}

Canvas::Canvas(QWidget* parent, const QRect& geometry) : QWidget(parent) {
    setGeometry(geometry);
}

void Canvas::setBackdrop(const QIcon& picture) {
    backdrop_ = picture;
    update();
}

void Canvas::paintEvent(QPaintEvent*) {
    if (backdrop_.isNull())
        return;
    QPainter painter(this);
    backdrop_.paint(&painter, rect());
}

} // namespace platform
