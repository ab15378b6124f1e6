// Damaged pictures, made here from sound ones, are refused by the conversion engine with one
// line that names the damage, in every run; the sound ones still convert whole.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <vips/vips8>
#include <zlib.h>

#include "outputcheck.h"

using vips::VImage;

namespace {

struct Run {
    int status = -1;
    QStringList errorLines;
};

// The engine itself, as the tool's warm helper would run it, with this many threads.
Run runEngine(const QString& input, const QString& output, int threads = 0) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (threads > 0) {
        environment.insert("SIPS_THREADS", QString::number(threads));
        environment.insert("VIPS_CONCURRENCY", QString::number(threads));
    }
    process.setProcessEnvironment(environment);
    process.start(QFileInfo(SIPS_TOOL).absolutePath() + "/sips-engine",
                  {"-s", "format", QFileInfo(output).suffix(), input, "--out", output});
    Run run;
    if (!process.waitForFinished(120000))
        return run;
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.errorLines =
        QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    return run;
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Noise with gradients: long enough compressed data in every format, made the same each run.
VImage noisy(int width, int height) {
    const VImage xy = VImage::xyz(width, height);
    const VImage grain =
        VImage::gaussnoise(width, height, VImage::option()->set("sigma", 40)->set("seed", 5));
    return VImage::bandjoin(std::vector<VImage>{xy[0] * 2 + grain, xy[1] * 3 + grain,
                                                (xy[0] + xy[1]) + grain.rot180()})
        .cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// A file that libvips writes from `image`, as bytes; empty where it cannot write the format.
QByteArray saved(const VImage& image, const QString& path, vips::VOption* options = nullptr) {
    try {
        image.write_to_file(path.toUtf8().constData(), options);
    } catch (const vips::VError&) {
        vips_error_clear();
        return {};
    }
    return bytesOf(path);
}

QByteArray bigEndian32(quint32 value) {
    const char bytes[] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

QByteArray pngChunk(const QByteArray& type, const QByteArray& data) {
    const QByteArray typed = type + data;
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size()));
    return bigEndian32(quint32(data.size())) + typed + bigEndian32(quint32(crc));
}

// The PNG again with its compressed stream in one chunk, changed by `damage`, and every
// chunk's checksum right: only the stream itself is wrong.
QByteArray withStream(const QByteArray& png, const std::function<void(QByteArray&)>& damage) {
    QByteArray head = png.left(8), stream, tail;
    for (int at = 8; at + 12 <= png.size();) {
        const int length = int(quint32(quint8(png[at])) << 24 | quint32(quint8(png[at + 1])) << 16 |
                               quint32(quint8(png[at + 2])) << 8 | quint8(png[at + 3]));
        const QByteArray type = png.mid(at + 4, 4);
        if (type == "IDAT")
            stream += png.mid(at + 8, length);
        else
            (stream.isEmpty() ? head : tail) += png.mid(at, 12 + length);
        at += 12 + length;
    }
    damage(stream);
    return head + pngChunk("IDAT", stream) + tail;
}

QByteArray pngHeader(quint32 width, quint32 height) {
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           pngChunk("IHDR",
                    bigEndian32(width) + bigEndian32(height) + QByteArray("\x08\0\0\0\0", 5));
}

// A little-endian TIFF directory of an 8-bit grey picture of this size, and no pixels.
QByteArray tiffHeader(quint32 width, quint32 height) {
    QByteArray tiff("II*\0\x08\0\0\0\x04\0", 10);
    for (const quint32 tag : {256u, 257u, 258u, 273u}) {
        const quint32 value = tag == 256 ? width : tag == 257 ? height : tag == 258 ? 8 : 62;
        const quint32 fields[] = {tag | 4u << 16, 1, value};
        tiff.append(reinterpret_cast<const char*>(fields), sizeof fields);
    }
    return tiff + QByteArray(4, '\0');
}

// A GIF of one frame with a two-colour table: a screen and frame of this size, and these
// bytes as the frame's LZW data (minimum code size 2) in one sub-block.
QByteArray handMadeGif(quint16 width, quint16 height, const QByteArray& codes) {
    auto le16 = [](quint16 value) {
        QByteArray bytes(2, '\0');
        bytes[0] = char(value & 0xff);
        bytes[1] = char(value >> 8);
        return bytes;
    };
    return "GIF89a" + le16(width) + le16(height) + QByteArray("\x80\0\0", 3) +
           QByteArray("\0\0\0\xff\xff\xff", 6) + "," + le16(0) + le16(0) + le16(width) +
           le16(height) + QByteArray(1, '\0') + QByteArray(1, '\x02') +
           QByteArray(1, char(codes.size())) + codes + QByteArray(1, '\0') + ";";
}

// Where each data sub-block of a GIF's first frame ends.
QList<int> frameSubBlockEnds(const QByteArray& gif) {
    int at = 13 + ((gif[10] & 0x80) ? 3 << ((gif[10] & 7) + 1) : 0);
    while (at < gif.size() && gif[at] == '!') {
        at += 2;
        while (gif[at] != '\0')
            at += 1 + quint8(gif[at]);
        ++at;
    }
    at += 10 + ((gif[at + 9] & 0x80) ? 3 << ((gif[at + 9] & 7) + 1) : 0) + 1;
    QList<int> ends;
    for (; gif[at] != '\0'; at += 1 + quint8(gif[at]))
        ends.append(at + 1 + quint8(gif[at]));
    return ends;
}

QByteArray zeroedFrom(QByteArray bytes, int from, int to) {
    for (int i = from; i < to; ++i)
        bytes[i] = '\0';
    return bytes;
}

} // namespace

class TestDamaged : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void refusesFlippedPngDataInEveryRun_data();
    void refusesFlippedPngDataInEveryRun();
    void refusesDamagedFiles_data();
    void refusesDamagedFiles();
    void convertsSoundFilesWhole_data();
    void convertsSoundFilesWhole();

private:
    // The lines of one refusal: one line naming `reason` and the file; nothing left behind.
    void checkRefused(const Run& run, const QString& input, const QString& output,
                      const QString& reason);
    QString made(const QString& name) const { return dir_.path() + "/made/" + name; }

    QTemporaryDir dir_;
    QByteArray png_;
};

void TestDamaged::initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(VIPS_INIT("tst_damaged") == 0);
    QVERIFY(QDir().mkpath(dir_.path() + "/made"));
    png_ = saved(noisy(96, 64), made("noise.png"));
    QVERIFY(png_.size() > 10000);
}

void TestDamaged::checkRefused(const Run& run, const QString& input, const QString& output,
                               const QString& reason) {
    QCOMPARE(run.status, 1);
    QVERIFY2(run.errorLines.size() == 1, qPrintable(run.errorLines.join('\n')));
    QVERIFY2(run.errorLines[0].startsWith("Error: ") && run.errorLines[0].contains(reason) &&
                 run.errorLines[0].endsWith(": " + input),
             qPrintable(run.errorLines[0]));
    QVERIFY(!run.errorLines[0].contains("()"));
    QVERIFY(!QFileInfo::exists(output));
    QCOMPARE(
        QDir(QFileInfo(input).absolutePath()).entryList({".*.sips-*"}, QDir::Files | QDir::Hidden),
        QStringList());
}

void TestDamaged::refusesFlippedPngDataInEveryRun_data() {
    QTest::addColumn<int>("place");
    QTest::addColumn<int>("threads");
    for (int place = 0; place < 20; ++place)
        for (int threads : {1, 2, 8})
            QTest::addRow("bit flipped at place %d, %d threads", place, threads)
                << place << threads;
}

void TestDamaged::refusesFlippedPngDataInEveryRun() {
    QFETCH(int, place);
    QFETCH(int, threads);
    const QString input =
        writeFile(dir_.path() + "/flipped.png", withStream(png_, [&](QByteArray& s) {
                      const int at = int(qint64(s.size()) * (place + 1) / 21);
                      s[at] = char(s[at] ^ (1 << (place % 8)));
                  }));
    const QString output = dir_.path() + "/flipped.bmp";
    for (int run = 0; run < 50; ++run)
        checkRefused(runEngine(input, output, threads), input, output, "the image data is ");
}

void TestDamaged::refusesDamagedFiles_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    const QString damaged = "the image data is damaged";
    const QString header = "the image data is damaged (its header is broken)";

    QTest::newRow("png whose zlib checksum alone is wrong")
        << "checksum.png"
        << withStream(png_, [](QByteArray& s) { s[s.size() - 1] = char(s[s.size() - 1] ^ 1); })
        << "the image data is damaged (a checksum does not match)";
    QTest::newRow("png of 2^28 + 1 pixels")
        << "tall.png" << pngHeader(1, (1u << 28) + 1) + pngChunk("IEND", "")
        << "the image is too large to convert safely (1 x 268435457 pixels)";

    // Its checksums right, but no row filter of that number: libpng stops there.
    QByteArray rows("\0\x10\x20\x30\x40\x09\x10\x20\x30\x40", 10);
    uLongf packedSize = compressBound(uLong(rows.size()));
    QByteArray packed(int(packedSize), '\0');
    QCOMPARE(compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                      reinterpret_cast<const Bytef*>(rows.constData()), uLong(rows.size())),
             Z_OK);
    QTest::newRow("png with a row of filter type 9")
        << "filter.png"
        << pngHeader(4, 2) + pngChunk("IDAT", packed.left(int(packedSize))) + pngChunk("IEND", "")
        << "the image data is damaged (its compressed pixels are corrupt)";

    QTest::newRow("tiff of 2^28 + 1 pixels")
        << "tall.tif" << tiffHeader(17, 15790321)
        << "the image is too large to convert safely (17 x 15790321 pixels)";

    QTest::newRow("pnm sized 0 x 0") << "empty.ppm" << QByteArray("P6\n0 0\n255\n") << header;
    QTest::newRow("pnm sized -1 x -1")
        << "negative.ppm" << QByteArray("P6\n-1 -1\n255\n\0\0\0", 15) << header;
    QTest::newRow("pnm whose maximum is 0")
        << "dark.pgm" << QByteArray("P5\n4 3\n0\n") + QByteArray(12, '\0') << header;
    QTest::newRow("pnm whose maximum is over 65535")
        << "deep.pgm" << QByteArray("P5\n4 3\n65536\n") + QByteArray(24, '\0') << header;
    QTest::newRow("pnm of 2^28 + 1 pixels")
        << "tall.pgm" << QByteArray("P5\n17 15790321\n255\n") + QByteArray(17, '\0')
        << "the image is too large to convert safely (17 x 15790321 pixels)";

    const QByteArray gif = saved(noisy(96, 64), made("noise.gif"));
    const QList<int> ends = frameSubBlockEnds(gif);
    QVERIFY(ends.size() > 8);
    for (int quarter = 1; quarter <= 3; ++quarter)
        QTest::addRow("gif cut after sub-block %d of %d, its end and trailer put back",
                      int(ends.size() * quarter / 4), int(ends.size()))
            << "cut.gif" << gif.left(ends[ends.size() * quarter / 4 - 1]) + QByteArray("\0;", 2)
            << "the image data is cut short";
    // Clear, then the pixels 0, 1, 2, 3 and the end code, the last two in 4 bits.
    QTest::newRow("gif of 36 bytes declaring 16384 x 16384")
        << "huge.gif" << handMadeGif(16384, 16384, QByteArray("\x44\x34\x05", 3))
        << "the image data is cut short (fewer pixels than its header says)";
    // Clear, then code 7, which no table holds yet.
    QTest::newRow("gif with a code its decoder cannot place")
        << "unplaced.gif" << handMadeGif(2, 2, QByteArray("\x7c\x01", 2))
        << "the image data is damaged (its compressed pixels are corrupt)";

    // libtiff writes the strips first: all ones where codes should be is a code not yet made.
    const QByteArray tiff =
        saved(noisy(96, 64), made("noise.tif"), VImage::option()->set("compression", "lzw"));
    QTest::newRow("lzw tiff with a code not yet in its table")
        << "codes.tif" << tiff.left(20) + QByteArray(16, '\xff') + tiff.mid(36) << damaged;
    // Fax lines that libtiff finds too long or short: it warns and decodes on.
    const VImage xy = VImage::xyz(400, 300);
    const VImage checks =
        ((xy[0] / 7).cast(VIPS_FORMAT_INT) + (xy[1] / 5).cast(VIPS_FORMAT_INT)) % 2 == 0;
    QByteArray fax = saved(checks, made("checks.tif"),
                           VImage::option()->set("compression", "ccittfax4")->set("bitdepth", 1));
    for (int at = 40; at < fax.size() / 2; at += 211)
        fax[at] = char(fax[at] ^ 0x24);
    QTest::newRow("fax tiff with bits flipped in its lines") << "fax.tif" << fax << damaged;
    // Wider than one of libvips's 512-pixel tiles: the second tile's header is among the zeroes.
    const QByteArray jp2 = saved(noisy(640, 48), made("noise.jp2"));
    QTest::newRow("jpeg 2000 with its second half zeroed")
        << "zeroed.jp2" << zeroedFrom(jp2, jp2.size() / 2, jp2.size()) << damaged;
    const QByteArray webp = saved(noisy(96, 64), made("noise.webp"));
    QTest::newRow("webp with its second half zeroed")
        << "zeroed.webp" << zeroedFrom(webp, webp.size() / 2, webp.size()) << damaged;
    const QByteArray heic = saved(noisy(96, 64), made("noise.heic"));
    const int data = heic.indexOf("mdat") + 4;
    QTest::newRow("heic with the start of its picture data zeroed")
        << "zeroed.heic" << (heic.isEmpty() ? heic : zeroedFrom(heic, data, data + 32)) << damaged;
    QVERIFY(runEngine(made("noise.png"), made("noise.pdf")).status == 0);
    VERIFY_PDF_STRUCTURE(made("noise.pdf"));
    const QByteArray pdf = bytesOf(made("noise.pdf"));
    QTest::newRow("pdf with its second half zeroed")
        << "zeroed.pdf" << zeroedFrom(pdf, pdf.size() / 2, pdf.size()) << damaged;
}

void TestDamaged::refusesDamagedFiles() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    if (bytes.isEmpty())
        QSKIP("libvips cannot write this format here");
    const QString input = writeFile(dir_.path() + "/" + name, bytes);
    const QString output = input + ".png";
    checkRefused(runEngine(input, output), input, output, reason);
}

void TestDamaged::convertsSoundFilesWhole_data() {
    QTest::addColumn<QString>("path");
    const VImage picture = noisy(96, 64);
    for (const char* name : {"whole.png", "whole.gif", "whole.jp2", "whole.webp", "whole.heic"})
        if (!saved(picture, made(name)).isEmpty())
            QTest::newRow(name) << made(name);
    saved(picture, made("whole.tif"), VImage::option()->set("compression", "lzw"));
    QTest::newRow("lzw tiff") << made("whole.tif");
    QTest::newRow("16-bit pgm") << writeFile(
        made("deep.pgm"), QByteArray("P5\n2 1\n65535\n") + QByteArray("\x12\x34\xff\xff", 4));
    QTest::newRow("hand-made gif of 2 x 2")
        << writeFile(made("tiny.gif"), handMadeGif(2, 2, QByteArray("\x44\x34\x05", 3)));
    QVERIFY(runEngine(made("whole.png"), made("whole.pdf")).status == 0);
    VERIFY_PDF_STRUCTURE(made("whole.pdf"));
    QTest::newRow("pdf") << made("whole.pdf");
}

void TestDamaged::convertsSoundFilesWhole() {
    QFETCH(QString, path);
    const QString output = path + ".png";
    QFile::remove(output);
    const Run run = runEngine(path, output, 2);
    QVERIFY2(run.status == 0 && run.errorLines.isEmpty(), qPrintable(run.errorLines.join('\n')));
    try {
        const VImage source = VImage::new_from_file(path.toUtf8().constData());
        const VImage out = VImage::new_from_file(output.toUtf8().constData());
        QCOMPARE(out.width(), source.width());
        QCOMPARE(out.height(), source.height());
        QCOMPARE(out.bands(), source.bands());
        QCOMPARE((out.cast(VIPS_FORMAT_INT) - source.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

QTEST_GUILESS_MAIN(TestDamaged)
#include "tst_damaged.moc"
