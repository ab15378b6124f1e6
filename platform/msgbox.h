#pragma once

#include <QString>

namespace platform {

// A modal message with a single OK button; returns once the user has dismissed it.
void MsgBox(const QString& text);

} // namespace platform
