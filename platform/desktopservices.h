#pragma once

#include <QString>

namespace platform {

struct ScreenInfo {
    int Width;
    int Height;
};

// The screen with this index, 0 being the main one; NilObjectException when there is none.
ScreenInfo Screen(int index);

// Hands a "mailto:" or web address to the desktop's opener; failures are silent.
void ShowURL(const QString& address);

} // namespace platform
