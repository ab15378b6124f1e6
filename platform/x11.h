#pragma once

#include <QString>

class QWidget;

// What Qt leaves out on an X11 desktop. Every call does nothing (or answers for a desktop
// that composites) when the application runs on another platform.
namespace platform::x11 {

// Names the top-level window exactly so on the desktop, an empty name included: Qt's own
// title would fall back to the application's name for an empty one.
void setWindowName(QWidget* window, const QString& name);

// Whether a compositing manager draws the screen, so that translucent windows blend with
// what lies beneath them. Without one, their transparent parts show black.
bool compositorRunning();

} // namespace platform::x11
