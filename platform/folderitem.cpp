#include "folderitem.h"

#include "exceptions.h"

#include <QDir>
#include <QFileInfo>

namespace platform {

FolderItem::FolderItem(const QString& absolutePath)
    : m_path(absolutePath.isEmpty() ? QString() : QDir::cleanPath(absolutePath)) {}

const QString& FolderItem::path() const {
    if (m_path.isEmpty())
        throw NilObjectException(QStringLiteral("The file item"));
    return m_path;
}

QString FolderItem::Name() const {
    const QString& p = path();
    return p.mid(p.lastIndexOf(QLatin1Char('/')) + 1);
}

QString FolderItem::AbsolutePath() const { return path(); }

QString FolderItem::ShellPath() const { return shellQuoted(path()); }

FolderItem FolderItem::Parent() const {
    const QString& p = path();
    if (p == QLatin1String("/"))
        return FolderItem();
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    return FolderItem(slash <= 0 ? QStringLiteral("/") : p.left(slash));
}

FolderItem FolderItem::Child(const QString& name) const {
    const QString& p = path();
    return FolderItem(p.endsWith(QLatin1Char('/')) ? p + name : p + QLatin1Char('/') + name);
}

bool FolderItem::Exists() const { return QFileInfo::exists(path()); }

QString shellQuoted(const QString& text) {
    auto plain = [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
               (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
               QStringLiteral("/._+,:@%=-").contains(c);
    };
    bool allPlain = !text.isEmpty() && !text.startsWith(QLatin1Char('-'));
    for (QChar c : text)
        allPlain = allPlain && plain(c);
    if (allPlain)
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace platform
