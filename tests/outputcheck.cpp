#include "outputcheck.h"

#include <QImage>
#include <QImageReader>
#include <QProcess>

namespace outputcheck {
namespace {

// Runs a program to its end; its status, with what it printed in `output`.
int runProgram(const QString& program, const QStringList& args, QString& output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(120000)) {
        output = program + " did not finish: " + process.errorString();
        return -1;
    }
    output = QString::fromUtf8(process.readAll()).trimmed();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

QString pdfStructureFaults(const QString& pdf) {
    QString output;
    // Status 3 is warnings only, among them a cross-reference table qpdf had to rebuild.
    return runProgram("qpdf", {"--check", pdf}, output) == 0 ? QString() : output;
}

QString decodeWithGrok(const QString& jp2, QString& error) {
    const QString png = jp2 + ".grok.png";
    QString output;
    if (runProgram("grk_decompress", {"-i", jp2, "-o", png}, output) != 0) {
        error = output;
        return QString();
    }
    return png;
}

QImage readWithQt(const QString& path) {
    QImageReader reader(path);
    return reader.read().convertToFormat(QImage::Format_RGBA8888);
}

} // namespace outputcheck
