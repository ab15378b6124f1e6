#include "alienimage.h"

#include "convert/imagecontrol.h"
#include "platform/exceptions.h"
#include "platform/shell.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace platform;

namespace alienimage {

namespace {

const QList<Format>& formats() {
    static const QList<Format> table = {
        // clang-format off
        {"jpeg", "jpeg", ".jpeg", "sips --setProperty format jpeg --setProperty formatOptions best "},
        {"gif",  "gif",  ".gif",  "sips --setProperty format gif --setProperty formatOptions best "},
        {"png",  "png",  ".png",  "sips --setProperty format png --setProperty formatOptions best "},
        {"tiff", "tiff", ".tiff", "sips --setProperty format tiff --setProperty formatOptions best "},
        {"bmp",  "bmp",  ".bmp",  "sips --setProperty format bmp --setProperty formatOptions best "},
        {"pict", "tga",  ".tga",  "sips --setProperty format tga --setProperty formatOptions best "},
        {"psd",  "psd",  ".psd",  "sips --setProperty format psd --setProperty formatOptions best "},
        {"jpg2", "jp2",  ".jp2",  "sips --setProperty format jp2 --setProperty formatOptions best "},
        {"pdf",  "pdf",  ".pdf",  "sips --setProperty format pdf --setProperty formatOptions best "},
        // clang-format on
    };
    return table;
}

// The last thing the tool said on its error output, which names what went wrong.
QString toolReason(const Shell& shell) {
    const QStringList lines = shell.ErrorOutput().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!lines.isEmpty())
        return lines.last().trimmed();
    return QStringLiteral("the converter stopped with status %1").arg(shell.ErrorCode());
}

QList<QString> listedPaths() {
    QList<QString> paths;
    if (const qconvert* dropScreen = qconvert::existing()) {
        for (const FolderItem& f : dropScreen->CryptFileArray)
            paths.append(f.AbsolutePath());
    }
    return paths;
}

bool convert(const Format& row, const FolderItem& source, QString* failure) {
    QString why;
    Shell shell;
    const bool automaticNaming = imagecontrol::instance().CheckBox2->isChecked();
    progressdes& progress = progressdes::instance();
    progress.Show();
    progress.ProgressBar1->setMaximum(0);
    progress.ProgressBar1->setValue(0);

    QString command = row.commandHead + source.ShellPath() + QStringLiteral(" --out ");
    const FolderItem parent = source.Parent();
    const QString base =
        automaticNaming ? source.Name() : imagecontrol::instance().EditField3->text();
    // A desired name is a name in the source's own folder, never a path to somewhere else.
    if (base.contains(QChar(0)))
        why = QStringLiteral("the desired name cannot be a file name: it contains a NUL character");
    else if (base.contains(QLatin1Char('/')))
        why = QStringLiteral("the desired name \"%1\" cannot be a file name: it contains \"/\"")
                  .arg(base);
    FolderItem output;
    if (why.isEmpty()) {
        output = freeOutput(parent, base, row.extension, listedPaths());
        command += output.ShellPath();
    }

    progress.Timer2->setMode(platform::Timer::Multiple);
    qconvert& dropScreen = qconvert::instance();
    dropScreen.StaticText44->setVisible(false);
    dropScreen.StaticText31->setVisible(true);

    if (!why.isEmpty()) {
        if (failure)
            *failure = why;
        return false;
    }
    shell.Execute(command);
    if (shell.ErrorCode() != 0) {
        if (failure)
            *failure = toolReason(shell);
        return false;
    }
    if (!output.Exists()) {
        if (failure)
            *failure = QStringLiteral("the converter reported success but wrote no file");
        return false;
    }
    return true;
}

} // namespace

const Format& formatNamed(const QString& operation) {
    for (const Format& f : formats()) {
        if (f.operation == operation)
            return f;
    }
    throw NilObjectException(QStringLiteral("The format %1").arg(operation));
}

FolderItem freeOutput(const FolderItem& folder, const QString& base, const QString& extension,
                      const QList<QString>& reserved) {
    FolderItem candidate = folder.Child(base + extension);
    for (int n = 2; candidate.Exists() || reserved.contains(candidate.AbsolutePath()); ++n)
        candidate = folder.Child(QStringLiteral("%1 %2%3").arg(base).arg(n).arg(extension));
    return candidate;
}

#define MORVELLE_OPERATION(name)                                                                  \
    bool name(const FolderItem& source, bool, QString* failure) {                                \
        return convert(formatNamed(QStringLiteral(#name)), source, failure);                     \
    }
MORVELLE_OPERATION(jpeg)
MORVELLE_OPERATION(gif)
MORVELLE_OPERATION(png)
MORVELLE_OPERATION(tiff)
MORVELLE_OPERATION(bmp)
MORVELLE_OPERATION(pict)
MORVELLE_OPERATION(psd)
MORVELLE_OPERATION(jpg2)
MORVELLE_OPERATION(pdf)
#undef MORVELLE_OPERATION

} // namespace alienimage
