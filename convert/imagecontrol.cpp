#include "imagecontrol.h"

#include "windows/qconvert.h"

#include <QGuiApplication>
#include <QScreen>

using namespace platform;

namespace {
WindowLayout windowLayout() {
    WindowLayout l;
    l.Title = QString();
    l.Width = 205;
    l.Height = 464;
    l.Frame = 10;
    l.Placement = 0;
    l.HasBackColor = true;
    l.BackColor = QColor(0xED, 0xED, 0xED);
    l.Visible = false;
    l.CloseButton = true;
    l.MinimizeButton = false;
    l.MaximizeButton = false;
    l.Resizeable = false;
    return l;
}
constexpr int Gap = 24;
} // namespace

imagecontrol::imagecontrol() : Window(windowLayout()) {}

// Beside the Drop Screen, to its right, so that neither hides the other.
QPoint imagecontrol::initialPosition() const {
    const qconvert* dropScreen = qconvert::existing();
    if (!dropScreen)
        return Window::initialPosition();
    const QRect beside = dropScreen->frameGeometry();
    QPoint p(beside.right() + Gap, dropScreen->Top());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        if (p.x() + width() > area.right())
            p.setX(qMax(area.left(), beside.left() - Gap - width()));
    }
    return p;
}
