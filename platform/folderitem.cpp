#include "folderitem.h"

#include <QDir>

#include <sys/stat.h>

#include "exceptions.h"

namespace platform {

FolderItem::FolderItem(const QString& absolutePath)
    : path_(absolutePath.isEmpty() ? QString() : QDir::cleanPath(absolutePath)) {}

FolderItem FolderItem::fromNativePath(const QByteArray& absolutePath) {
    return FolderItem(decodedBytes(absolutePath));
}

const QString& FolderItem::path() const {
    if (path_.isEmpty())
        throw NilObjectException(QStringLiteral("The file item"));
    return path_;
}

QString FolderItem::Name() const {
    const QString& p = path();
    return p.mid(p.lastIndexOf(QLatin1Char('/')) + 1);
}

QString FolderItem::AbsolutePath() const {
    return path();
}

QByteArray FolderItem::nativePath() const {
    return encodedBytes(path());
}

QString FolderItem::ShellPath() const {
    return shellQuoted(path());
}

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

bool FolderItem::Exists() const {
    struct stat entry;
    return ::lstat(nativePath().constData(), &entry) == 0;
}

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

namespace {
constexpr char16_t EscapedByte = 0xDC00;

bool continuation(uchar c) {
    return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `at`, or 0.
int sequenceLength(const QByteArray& bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) { return uchar(bytes[i]); };
    const uchar lead = byte(at);
    const qsizetype left = bytes.size() - at;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return left >= 2 && continuation(byte(at + 1)) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !continuation(byte(at + 1)) || !continuation(byte(at + 2)))
            return 0;
        // No overlong forms and no encoded surrogates.
        if ((lead == 0xE0 && byte(at + 1) < 0xA0) || (lead == 0xED && byte(at + 1) >= 0xA0))
            return 0;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !continuation(byte(at + 1)) || !continuation(byte(at + 2)) ||
            !continuation(byte(at + 3)))
            return 0;
        if ((lead == 0xF0 && byte(at + 1) < 0x90) || (lead == 0xF4 && byte(at + 1) >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

bool isEscapedByte(QChar c) {
    return c.unicode() >= EscapedByte + 0x80 && c.unicode() <= EscapedByte + 0xFF;
}
} // namespace

QString decodedBytes(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = sequenceLength(bytes, i);
        if (n == 0) {
            text.append(QChar(char16_t(EscapedByte + uchar(bytes[i]))));
            ++i;
        } else {
            text.append(QString::fromUtf8(bytes.constData() + i, n));
            i += n;
        }
    }
    return text;
}

QByteArray encodedBytes(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isEscapedByte(text[i]))
            continue;
        bytes.append(QStringView(text).mid(start, i - start).toUtf8());
        if (i < text.size())
            bytes.append(char(text[i].unicode() - EscapedByte));
        start = i + 1;
    }
    return bytes;
}

QString readable(const QString& text) {
    QString shown = text;
    for (QChar& c : shown) {
        if (isEscapedByte(c))
            c = QChar::ReplacementCharacter;
    }
    return shown;
}

} // namespace platform
