#include "pictures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QResource>

namespace platform {

namespace {
struct Store {
    bool registered = false;
    QHash<int, QIcon> pictures;
};
Store& store() {
    static Store s;
    return s;
}

void registerResourceFile() {
    Store& s = store();
    if (!s.registered)
        s.registered = QResource::registerResource(resourceFilePath());
}
} // namespace

QString resourceFilePath() {
    return QDir(QCoreApplication::applicationDirPath())
        .filePath(QStringLiteral("../share/morvelle/morvelle.rcc"));
}

const QIcon& Picture(int id) {
    Store& s = store();
    auto found = s.pictures.constFind(id);
    if (found != s.pictures.constEnd())
        return *found;
    registerResourceFile();
    const QString path = QStringLiteral(":/pictures/%1.svg").arg(id);
    QIcon icon;
    if (QFile::exists(path))
        icon = QIcon(path);
    return *s.pictures.insert(id, icon);
}

QIcon ApplicationIcon() {
    registerResourceFile();
    return QIcon(QStringLiteral(":/icons/morvelle.svg"));
}

void releasePictures() {
    Store& s = store();
    s.pictures.clear();
    if (s.registered)
        QResource::unregisterResource(resourceFilePath());
    s.registered = false;
}

} // namespace platform
