#include "outputcheck.h"

#include <QFile>
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

quint32 little(const QByteArray& bytes, qint64 at, int size) {
    quint32 value = 0;
    if (at < 0 || at + size > bytes.size())
        return 0; // past the end: a zero that the checks below refuse
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | quint8(bytes.at(at + i));
    return value;
}

// One TIFF LZW strip (codes of 9 to 12 bits, most significant bit first, each width taken one
// code early); what is wrong with it, or an empty string.
QString decodeLzwStrip(const QByteArray& strip, QByteArray& out) {
    constexpr int kClear = 256, kEnd = 257;
    QList<QByteArray> table;
    QByteArray previous;
    int width = 9;
    qint64 bit = 0;
    while (bit + width <= strip.size() * 8) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bit)
            code = code << 1 | (quint8(strip[bit / 8]) >> (7 - bit % 8) & 1);
        if (code == kEnd)
            return strip.size() * 8 - bit < 8 ? QString() : "bytes follow its end code";
        if (code == kClear) {
            table.clear();
            for (int c = 0; c < 256; ++c)
                table << QByteArray(1, char(c));
            table << QByteArray() << QByteArray();
            previous.clear();
            width = 9;
            continue;
        }
        if (table.isEmpty() || code > table.size() || (code == table.size() && previous.isEmpty()))
            return QString("code %1 is not in the table yet").arg(code);
        const QByteArray entry = code < table.size() ? table[code] : previous + previous[0];
        if (!previous.isEmpty())
            table << previous + entry[0];
        out += entry;
        previous = entry;
        const qsizetype next = table.size() + 1;
        width = next >= 2048 ? 12 : next >= 1024 ? 11 : next >= 512 ? 10 : 9;
    }
    return "it does not end with the end-of-information code";
}

} // namespace

TiffPixels readLzwTiff(const QString& path) {
    TiffPixels tiff;
    auto failed = [](const QString& fault) {
        TiffPixels none;
        none.fault = fault;
        return none;
    };
    QFile file(path);
    const QByteArray b = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (!b.startsWith(QByteArray("II*\0", 4)))
        return failed("not a little-endian TIFF");
    const quint32 directory = little(b, 4, 4);
    QList<quint32> offsets, counts;
    quint32 compression = 1, predictor = 1;
    for (quint32 i = 0, n = little(b, directory, 2); i < n; ++i) {
        const qint64 entry = directory + 2 + 12 * i;
        const quint32 tag = little(b, entry, 2), type = little(b, entry + 2, 2);
        const quint32 count = little(b, entry + 4, 4), size = type == 3 ? 2 : 4;
        const qint64 values = count * size <= 4 ? entry + 8 : little(b, entry + 8, 4);
        auto value = [&](quint32 k) { return little(b, values + k * size, size); };
        if (tag == 256)
            tiff.width = value(0);
        if (tag == 257)
            tiff.height = value(0);
        if (tag == 258)
            tiff.bits = value(0);
        if (tag == 259)
            compression = value(0);
        if (tag == 277)
            tiff.samples = value(0);
        if (tag == 317)
            predictor = value(0);
        for (quint32 k = 0; k < count && (tag == 273 || tag == 279); ++k)
            (tag == 273 ? offsets : counts) << value(k);
    }
    if (compression != 5 || predictor != 2 || offsets.size() != counts.size())
        return failed("not LZW strips with horizontal differencing");
    for (int s = 0; s < offsets.size(); ++s) {
        const QString fault = decodeLzwStrip(b.mid(offsets[s], counts[s]), tiff.data);
        if (!fault.isEmpty())
            return failed(QString("strip %1: %2").arg(s).arg(fault));
    }
    const int rowSamples = tiff.width * tiff.samples;
    if (tiff.data.size() != qint64(rowSamples) * tiff.height * tiff.bits / 8)
        return failed("the strips hold the wrong number of bytes");
    // Undo the differencing: each sample adds the one a pixel before it, in the same row.
    for (int y = 0; y < tiff.height; ++y)
        for (int i = tiff.samples; i < rowSamples; ++i) {
            if (tiff.bits == 8) {
                char* row = tiff.data.data() + qint64(y) * rowSamples;
                row[i] = char(row[i] + row[i - tiff.samples]);
            } else {
                auto* row = reinterpret_cast<quint16*>(tiff.data.data()) + qint64(y) * rowSamples;
                row[i] = quint16(row[i] + row[i - tiff.samples]);
            }
        }
    return tiff;
}

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
