// How much time Morvelle itself spends per file in a batch run, beyond the conversion
// tool's own run: a run over 200 small files through the real chooser button, against the
// same 200 command lines run one after another straight through /bin/sh.
#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include "app/app.h"
#include "convert/imagecontrol.h"
#include "platform/folderitem.h"
#include "platform/shell.h"
#include "windows/qconvert.h"

namespace {

constexpr int Files = 200;
constexpr int Rounds = 3;

QStringList makeImages(const QString& folder) {
    QDir().mkpath(folder);
    QStringList paths;
    QImage image(64, 48, QImage::Format_RGB32);
    for (int i = 0; i < Files; ++i) {
        image.fill(QColor::fromHsv(i % 360, 200, 200));
        const QString path = QStringLiteral("%1/img-%2.png").arg(folder).arg(i, 3, 10, QChar('0'));
        image.save(path);
        paths.append(path);
    }
    return paths;
}

void clearOutputs(const QString& folder) {
    for (const QString& f : QDir(folder).entryList({QStringLiteral("*.png.gif")}, QDir::Files))
        QFile::remove(folder + QLatin1Char('/') + f);
}

// The batch run, as the user starts it: the files listed, then a click on GIF.
double viaTheApplication(const QStringList& paths) {
    qconvert& screen = qconvert::instance();
    for (const QString& p : paths) {
        const platform::FolderItem item(p);
        screen.CryptFileArray.append(item);
        screen.ListBox1->AddRow(item.Name());
        screen.ListBox1->setCell(screen.ListBox1->LastIndex(), 1, item.AbsolutePath());
    }
    QElapsedTimer clock;
    clock.start();
    imagecontrol::instance().BevelButton2->click();
    const double seconds = clock.nsecsElapsed() / 1e9;
    QCoreApplication::processEvents();
    return seconds;
}

// Command lines made by `line` from each path, run one after another straight through the
// shell, nothing else.
template <typename Line> double throughTheShell(const QStringList& paths, Line line) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), platform::Shell::toolFolder() + QLatin1Char(':') +
                                           env.value(QStringLiteral("PATH")));
    QElapsedTimer clock;
    clock.start();
    for (const QString& p : paths) {
        QProcess sh;
        sh.setProcessEnvironment(env);
        sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), line(p)});
        sh.waitForFinished(-1);
    }
    return clock.nsecsElapsed() / 1e9;
}

double toolAlone(const QStringList& paths) {
    return throughTheShell(paths, [](const QString& p) {
        return QStringLiteral("sips --setProperty format gif --setProperty formatOptions best ") +
               platform::shellQuoted(p) + QStringLiteral(" --out ") +
               platform::shellQuoted(p + QStringLiteral(".gif"));
    });
}

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void measure(const char* tool, const QString& folder, const QStringList& paths) {
    QList<double> withApp;
    QList<double> alone;
    for (int round = 0; round < Rounds; ++round) {
        clearOutputs(folder);
        withApp.append(viaTheApplication(paths));
        clearOutputs(folder);
        alone.append(toolAlone(paths));
    }
    const double a = median(withApp);
    const double t = median(alone);
    std::printf("%-28s %d files: %7.3f s through Morvelle, %7.3f s tool alone: "
                "%5.2f ms per file of Morvelle's own\n",
                tool, Files, a, t, (a - t) / Files * 1000.0);
}

} // namespace

int main(int argc, char** argv) {
    App::declareFileTypes();
    App app(argc, argv);
    qconvert::instance();
    imagecontrol::instance().CheckBox2->setChecked(true);
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("in"));
    const QStringList paths = makeImages(folder);

    measure("the real tool:", folder, paths);

    // The peer to beat: ImageMagick's convert for the same files, straight through the shell.
    const QString convert = qEnvironmentVariable("CONVERT");
    if (!convert.isEmpty()) {
        QList<double> times;
        for (int round = 0; round < Rounds; ++round) {
            clearOutputs(folder);
            times.append(throughTheShell(paths, [&](const QString& p) {
                return platform::shellQuoted(convert) + QLatin1Char(' ') +
                       platform::shellQuoted(p) + QLatin1Char(' ') +
                       platform::shellQuoted(p + QStringLiteral(".gif"));
            }));
        }
        std::printf("%-28s %d files: %7.3f s straight through the shell\n",
                    "ImageMagick's convert:", Files, median(times));
    }

    // A stand-in that only writes its output takes the tool's own time nearly out of the
    // sums, so that what is left is Morvelle's.
    const QString standIn = dir.filePath(QStringLiteral("stand-in"));
    QDir().mkpath(standIn);
    QFile script(standIn + QStringLiteral("/sips"));
    script.open(QIODevice::WriteOnly);
    script.write("#!/bin/sh\nshift 7\n: > \"$2\"\n");
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    platform::Shell::setToolFolder(standIn);
    measure("a stand-in that only writes:", folder, paths);

    App::releaseAll();
    return 0;
}
