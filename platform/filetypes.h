#pragma once

#include <QList>
#include <QString>

namespace platform {

// A declared file type: its name, its extensions separated by semicolons, and its classic
// four-character type and creator codes.
struct FileType {
    QString Name;
    QString Extensions;
    QString MacType;
    QString MacCreator;
};

// The application's known file types, in the order they were added.
const QList<FileType>& FileTypes();
void addFileType(const FileType& type);
void releaseFileTypes();

// Whether a file of this name is admitted by the named type ("special/any" admits all).
bool fileTypeAdmits(const QString& typeName, const QString& fileName);

} // namespace platform
