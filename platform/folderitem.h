#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// A reference to a file or folder, which need not exist. A default-made item is nil:
// using it raises NilObjectException.
//
// Paths are texts, but a Linux file name is any string of bytes. A byte that is not part of
// valid UTF-8 is held as the lone surrogate U+DC00 + byte, so that every name round-trips
// exactly between the file system, the item and the command line.
class FolderItem {
public:
    FolderItem() = default;
    explicit FolderItem(const QString& absolutePath);
    // The item for a path exactly as the file system spells it.
    static FolderItem fromNativePath(const QByteArray& absolutePath);

    bool isNil() const { return path_.isEmpty(); }

    // The full name, extension included.
    QString Name() const;
    QString AbsolutePath() const;
    // The path's bytes, for the file system.
    QByteArray nativePath() const;
    // The absolute path as one word for a POSIX shell: unchanged when it holds only plain
    // characters, otherwise single-quoted.
    QString ShellPath() const;
    // The containing folder; nil for the root.
    FolderItem Parent() const;
    // The entry of that name in this folder.
    FolderItem Child(const QString& name) const;
    // True when an entry of this name is there, a dangling symbolic link included.
    bool Exists() const;

private:
    const QString& path() const;
    QString path_;
};

// Quotes a text so that a POSIX shell reads it back as exactly one word.
QString shellQuoted(const QString& text);

// Bytes from the file system or a command as text, and back, without loss: valid UTF-8 is
// decoded, every other byte becomes U+DC00 + byte.
QString decodedBytes(const QByteArray& bytes);
QByteArray encodedBytes(const QString& text);
// A text for people to read: each byte that was not UTF-8 shown as U+FFFD.
QString readable(const QString& text);

} // namespace platform
