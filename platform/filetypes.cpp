#include "filetypes.h"

namespace platform {

namespace {
QList<FileType>& types() {
    static QList<FileType> list;
    return list;
}
} // namespace

const QList<FileType>& FileTypes() {
    return types();
}

void addFileType(const FileType& type) {
    types().append(type);
}

void releaseFileTypes() {
    types().clear();
}

bool fileTypeAdmits(const QString& typeName, const QString& fileName) {
    if (typeName == QLatin1String("special/any"))
        return true;
    for (const FileType& t : types()) {
        if (t.Name != typeName)
            continue;
        const QStringList extensions = t.Extensions.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (const QString& e : extensions) {
            if (fileName.endsWith(e, Qt::CaseInsensitive))
                return true;
        }
    }
    return false;
}

} // namespace platform
