#pragma once

#include <QString>

namespace platform {

// A reference to a file or folder, which need not exist. A default-made item is nil:
// using it raises NilObjectException.
class FolderItem {
public:
    FolderItem() = default;
    explicit FolderItem(const QString& absolutePath);

    bool isNil() const { return m_path.isEmpty(); }

    // The full name, extension included.
    QString Name() const;
    QString AbsolutePath() const;
    // The absolute path as one word for a POSIX shell: unchanged when it holds only plain
    // characters, otherwise single-quoted.
    QString ShellPath() const;
    // The containing folder; nil for the root.
    FolderItem Parent() const;
    // The entry of that name in this folder.
    FolderItem Child(const QString& name) const;
    bool Exists() const;

    bool operator==(const FolderItem& other) const { return m_path == other.m_path; }

private:
    const QString& path() const;
    QString m_path;
};

// Quotes a text so that a POSIX shell reads it back as exactly one word.
QString shellQuoted(const QString& text);

} // namespace platform
