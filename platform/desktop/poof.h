#pragma once

#include <QPoint>
#include <QSize>

namespace platform::desktop {

// Plays a short puff of smoke centred on a screen point (top-down pixels) in a frameless,
// click-through window, and returns at once; the window removes itself when done. The size
// asked for is the area the puff may spread over; the puff itself stays icon-sized.
void showPoof(const QPoint& centre, const QSize& size);

// Whether a puff is on the screen now.
bool poofShowing();

} // namespace platform::desktop
