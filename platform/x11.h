#pragma once

#include <QString>

class QWidget;

// What Qt leaves out on an X11 desktop. Every call does nothing (or answers for a desktop
// that composites) when the application runs on another platform.
namespace platform::x11 {

// Names the top-level window exactly so on the desktop, an empty name included: Qt's own
// title would fall back to the application's name for an empty one.
void setWindowName(QWidget* window, const QString& name);

// Tells the window manager, before the window is mapped, that the window stays out of the
// taskbar and the pager, and for a feedback window that it is a notice: the types are given
// in the order of preference that window managers read them in.
void setDesktopRole(QWidget* window, bool outOfTaskbar, bool feedback);

// Whether a compositing manager draws the screen, so that translucent windows blend with
// what lies beneath them. Without one, their transparent parts show black.
bool compositorRunning();

} // namespace platform::x11
