#include "alienimage.h"

#include "convert/imagecontrol.h"
#include "platform/shell.h"
#include "sips/contract.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace platform;

namespace alienimage {

const QString kStoppedReason = QStringLiteral("stopped before it was converted");

namespace {

// One output format: the output's extension and the start of the command line, blank
// included.
struct Format {
    QString extension;
    QString commandHead;
};

enum Row { Jpeg, Gif, Png, Tiff, Bmp, Pict, Psd, Jpg2, Pdf };

const Format& format(Row row) {
    static const Format table[] = {
        // clang-format off
        /* Jpeg */ {".jpeg", "sips --setProperty format jpeg --setProperty formatOptions best "},
        /* Gif  */ {".gif",  "sips --setProperty format gif --setProperty formatOptions best "},
        /* Png  */ {".png",  "sips --setProperty format png --setProperty formatOptions best "},
        /* Tiff */ {".tiff", "sips --setProperty format tiff --setProperty formatOptions best "},
        /* Bmp  */ {".bmp",  "sips --setProperty format bmp --setProperty formatOptions best "},
        /* Pict */ {".tga",  "sips --setProperty format tga --setProperty formatOptions best "},
        /* Psd  */ {".psd",  "sips --setProperty format psd --setProperty formatOptions best "},
        /* Jpg2 */ {".jp2",  "sips --setProperty format jp2 --setProperty formatOptions best "},
        /* Pdf  */ {".pdf",  "sips --setProperty format pdf --setProperty formatOptions best "},
        // clang-format on
    };
    return table[row];
}

// When the output's name was taken after it had been chosen, the next free name is tried, a
// bounded number of times.
constexpr int kNameRetries = 20;

// The tool's last line is "Error: WHAT WENT WRONG: PATH", after any warnings. The reason is
// WHAT WENT WRONG, whole, even where a path in it holds line breaks.
QString toolReason(const Shell& shell, const QList<FolderItem>& named) {
    QString text = shell.ErrorOutput();
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    for (const FolderItem& f : named) {
        const QString tail = QLatin1String(sips::contract::kPathSeparator) + f.AbsolutePath();
        if (text.endsWith(tail)) {
            text.chop(tail.size());
            break;
        }
    }
    const QString prefix = QLatin1String(sips::contract::kErrorPrefix);
    const qsizetype line = text.lastIndexOf(QLatin1Char('\n') + prefix);
    if (line >= 0)
        text = text.mid(line + 1 + prefix.size());
    else if (text.startsWith(prefix))
        text = text.mid(prefix.size());
    else
        text = text.mid(text.lastIndexOf(QLatin1Char('\n')) + 1);
    text = text.trimmed();
    if (text.isEmpty())
        return QStringLiteral("the converter stopped with status %1").arg(shell.ErrorCode());
    return text;
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
    const auto fail = [failure](const QString& why) {
        if (failure)
            *failure = why;
        return false;
    };
    QString why;
    Shell shell;
    const bool automaticNaming = imagecontrol::instance().CheckBox2->isChecked();
    progressdes& progress = progressdes::instance();
    progress.Show();
    progress.ProgressBar1->setMaximum(0);
    progress.ProgressBar1->setValue(0);

    const QString head = row.commandHead + source.ShellPath() + QStringLiteral(" --out ");
    const FolderItem parent = source.Parent();
    const QString base =
        automaticNaming ? source.Name() : imagecontrol::instance().EditField3->text();
    // A desired name is a name in the source's own folder, never a path to somewhere else.
    if (base.contains(QChar(0)))
        why = QStringLiteral("the desired name cannot be a file name: it contains a NUL character");
    else if (base.contains(QLatin1Char('/')))
        why = QStringLiteral("the desired name \"%1\" cannot be a file name: it contains \"/\"")
                  .arg(base);
    QList<QString> reserved = listedPaths();
    FolderItem output;
    if (why.isEmpty())
        output = freeOutput(parent, base, row.extension, reserved);

    progress.Timer2->setMode(platform::Timer::Multiple);
    qconvert& dropScreen = qconvert::instance();
    dropScreen.StaticText44->setVisible(false);
    dropScreen.StaticText31->setVisible(true);

    if (!why.isEmpty())
        return fail(why);
    shell.Execute(head + output.ShellPath());
    for (int retry = 0;
         retry < kNameRetries && shell.ErrorCode() == sips::contract::NameTaken && !shell.Stopped();
         ++retry) {
        reserved.append(output.AbsolutePath());
        output = freeOutput(parent, base, row.extension, reserved);
        shell.Execute(head + output.ShellPath());
    }
    if (shell.Stopped())
        return fail(kStoppedReason);
    if (shell.ErrorCode() != 0)
        return fail(toolReason(shell, {output, source}));
    if (!output.Exists())
        return fail(QStringLiteral("the converter reported success but wrote no file"));
    return true;
}

} // namespace

FolderItem freeOutput(const FolderItem& folder, const QString& base, const QString& extension,
                      const QList<QString>& reserved) {
    FolderItem candidate = folder.Child(base + extension);
    for (int n = 2; candidate.Exists() || reserved.contains(candidate.AbsolutePath()); ++n)
        candidate = folder.Child(QStringLiteral("%1 %2%3").arg(base).arg(n).arg(extension));
    return candidate;
}

bool jpeg(const FolderItem& source, bool, QString* failure) {
    return convert(format(Jpeg), source, failure);
}
bool gif(const FolderItem& source, bool, QString* failure) {
    return convert(format(Gif), source, failure);
}
bool png(const FolderItem& source, bool, QString* failure) {
    return convert(format(Png), source, failure);
}
bool tiff(const FolderItem& source, bool, QString* failure) {
    return convert(format(Tiff), source, failure);
}
bool bmp(const FolderItem& source, bool, QString* failure) {
    return convert(format(Bmp), source, failure);
}
bool pict(const FolderItem& source, bool, QString* failure) {
    return convert(format(Pict), source, failure);
}
bool psd(const FolderItem& source, bool, QString* failure) {
    return convert(format(Psd), source, failure);
}
bool jpg2(const FolderItem& source, bool, QString* failure) {
    return convert(format(Jpg2), source, failure);
}
bool pdf(const FolderItem& source, bool, QString* failure) {
    return convert(format(Pdf), source, failure);
}

} // namespace alienimage
