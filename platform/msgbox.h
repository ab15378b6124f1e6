#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// A modal message with a single OK button; returns once the user has dismissed it.
void MsgBox(const QString& text);

enum class Report { Information, Warning };

// A modal report with a title, a one-line summary, an optional note below it and, when
// there are any, a list of details, one entry each, that the user can scroll through and
// copy; returns once the user has dismissed it.
void ReportBox(Report kind, const QString& title, const QString& summary, const QString& note,
               const QStringList& details);

} // namespace platform
