#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// A modal message with a single OK button; returns once the user has dismissed it.
void MsgBox(const QString& text);

// A modal warning with a title, a one-line summary, an optional note below it and a list
// of details, one entry each, that the user can scroll through and copy; returns once the
// user has dismissed it.
void WarningBox(const QString& title, const QString& summary, const QString& note,
                const QStringList& details);

} // namespace platform
