// The tool end to end: source pictures of every kind, made here with libvips, converted to
// every output format by the built `sips` program and read back; sources of different shapes
// in one run; the largest picture each format holds.
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QtTest>

#include <vips/vips8>

#include "outputcheck.h"
#include "sipscheck.h"

using namespace sipscheck;
using vips::VImage;

namespace {

// Alpha of a picture with one, or nothing; a fully opaque alpha counts as none.
bool showsTransparency(const VImage& image) {
    return image.has_alpha() &&
           image[image.bands() - 1].min() < (image.format() == VIPS_FORMAT_USHORT ? 65535 : 255);
}

} // namespace

class TestFormats : public QObject, sipscheck::Fixture {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void convertsEveryKindToEveryFormat_data();
    void convertsEveryKindToEveryFormat();
    void convertsTurnedAndUprightPicturesInOneRun_data();
    void convertsTurnedAndUprightPicturesInOneRun();
    void namesTheOutputFormatsLimit_data();
    void namesTheOutputFormatsLimit();

private:
    void checkConversion();
};

void TestFormats::initTestCase() {
    QVERIFY(VIPS_INIT("tst_formats") == 0);
    QVERIFY(dir_.isValid());
}

void TestFormats::convertsEveryKindToEveryFormat_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("format");
    const QStringList kinds{"rgb",          "grey",     "alpha",  "grey-alpha",   "16-bit",
                            "16-bit-alpha", "palette",  "cmyk",   "exif-rotated", "icc",
                            "multi-page",   "animated", "300-dpi"};
    const QStringList formats{"jpeg", "gif", "png", "tiff", "bmp", "tga", "psd", "jp2", "pdf"};
    for (const QString& kind : kinds)
        for (const QString& format : formats)
            QTest::addRow("%s to %s", qPrintable(kind), qPrintable(format)) << kind << format;
}

void TestFormats::convertsEveryKindToEveryFormat() {
    try {
        checkConversion();
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestFormats::checkConversion() {
    QFETCH(QString, kind);
    QFETCH(QString, format);
    const QString input = source(kind);
    const QString output = dir_.filePath("out-" + kind + "." + format);
    QFile::remove(output);

    Run run = runTool({"--setProperty", "format", format, "--setProperty", "formatOptions", "best",
                       input, "--out", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    QVERIFY2(run.errorLines.isEmpty(), qPrintable(run.errorLines.join('\n')));
    QVERIFY(leftovers(dir_.path()).isEmpty());

    VImage shown = VImage::new_from_file(input.toUtf8().constData()).autorot();
    const double dpi = kind == "300-dpi" ? 300 : 72;
    Loaded out = readBack(output, format, dpi);
    out.image = inLayoutOf(out.image, shown);

    static const QMap<QString, QString> loaders{
        {"jpeg", "jpegload"},  {"gif", "gifload"},    {"png", "pngload"},
        {"tiff", "tiffload"},  {"bmp", "magickload"}, {"tga", "magickload"},
        {"psd", "magickload"}, {"jp2", "jp2kload"},   {"pdf", "pdfload"}};
    QCOMPARE(out.loader, loaders[format]);
    QCOMPARE(out.image.width(), shown.width());
    QCOMPARE(out.image.height(), shown.height());
    // A second decoder, sharing no library with libvips's, reads the very same pixels.
    if (format == "jp2") {
        QString error;
        const QString grok = outputcheck::decodeWithGrok(output, error);
        QVERIFY2(!grok.isEmpty(), qPrintable(error));
        const VImage read = inLayoutOf(VImage::new_from_file(grok.toUtf8().constData()), shown);
        QCOMPARE(read.bands(), out.image.bands());
        QCOMPARE(largestDifference(read, out.image), 0.0);
    }
    if (format == "tiff") {
        const outputcheck::TiffPixels tiff = outputcheck::readLzwTiff(output);
        QVERIFY2(tiff.fault.isEmpty(), qPrintable(tiff.fault));
        const VImage read = VImage::new_from_memory(
            const_cast<char*>(tiff.data.constData()), size_t(tiff.data.size()), tiff.width,
            tiff.height, tiff.samples, tiff.bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
        QCOMPARE(largestDifference(inLayoutOf(read, shown), out.image), 0.0);
    }
    // Qt's TGA reader takes colour pictures only.
    if (format == "bmp" || (format == "tga" && out.image.bands() >= 3)) {
        const QImage qt = outputcheck::readWithQt(output);
        QVERIFY(!qt.isNull());
        const VImage read =
            VImage::new_from_memory(const_cast<uchar*>(qt.constBits()), qt.sizeInBytes(),
                                    qt.width(), qt.height(), 4, VIPS_FORMAT_UCHAR);
        QCOMPARE(largestDifference(read, asRgba(out.image)), 0.0);
    }
    if (format == "bmp" || format == "tga" || format == "psd") {
        // ImageMagick names the coder it read with; a BMP read as TGA would be a wrong file.
        QFile file(output);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray head = file.read(4);
        if (format == "bmp")
            QVERIFY(head.startsWith("BM"));
        if (format == "psd")
            QVERIFY(head.startsWith("8BPS"));
    }

    const bool keepsAlpha = format != "jpeg";
    if (format == "pdf") {
        VERIFY_PDF_STRUCTURE(output);
        // Poppler renders onto a white page, so look for the image's soft mask instead.
        QFile file(output);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().contains("/SMask"), showsTransparency(shown));
    } else {
        QCOMPARE(showsTransparency(out.image), keepsAlpha && showsTransparency(shown));
    }
    // ImageMagick reports TGA's and BMP's row order as an orientation; the pixels below show
    // the real one.
    if (out.loader != "magickload" && out.image.get_typeof("orientation") != 0)
        QCOMPARE(out.image.get_int("orientation"), 1);

    const bool sixteenBit = shown.format() == VIPS_FORMAT_USHORT &&
                            QStringList{"png", "tiff", "psd", "jp2"}.contains(format);
    if (sixteenBit)
        QCOMPARE(out.image.format(), VIPS_FORMAT_USHORT);
    else
        QCOMPARE(out.image.format(), VIPS_FORMAT_UCHAR);

    VImage expected = comparable(shown, sixteenBit);
    VImage actual = comparable(out.image, sixteenBit);
    if (!keepsAlpha || format == "pdf") {
        // Where alpha is flattened or premultiplied, compare what shows on white.
        expected = colourOnWhite(expected);
        actual = colourOnWhite(actual);
    }
    if (actual.bands() != expected.bands())
        actual = actual.has_alpha() ? colourOnWhite(actual) : actual;
    QCOMPARE(actual.bands(), expected.bands());
    VImage difference = (actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs();
    if (expected.has_alpha()) {
        // Colour under full transparency is not part of the picture; with one-bit alpha
        // (GIF) only the fully opaque part keeps its colour.
        VImage alpha = expected[expected.bands() - 1];
        VImage counted = format == "gif" ? alpha == alpha.max() : alpha > 0;
        VImage colour = counted.ifthenelse(
            difference.extract_band(0, VImage::option()->set("n", difference.bands() - 1)), 0);
        VImage alphaDifference = difference[difference.bands() - 1];
        if (format == "gif")
            alphaDifference = (alpha == 0).ifthenelse(alphaDifference, 0);
        difference = colour.bandjoin(alphaDifference);
    }
    const double scale = sixteenBit ? 257.0 : 1.0;
    const double largest = difference.max() / scale;
    const double mean = difference.avg() / scale;

    const bool lossless =
        QStringList{"png", "tiff", "bmp", "tga", "psd", "jp2", "pdf"}.contains(format);
    const bool colourManaged = kind == "cmyk" || kind == "icc";
    const bool flattenedByPdf = format == "pdf" && (kind == "animated" || kind.contains("alpha"));
    if (lossless && !colourManaged && !flattenedByPdf) {
        QVERIFY2(largest == 0, qPrintable(QString("largest difference %1").arg(largest)));
    } else {
        const double allowed = format == "gif" ? 8.0 : colourManaged ? 3.0 : 1.5;
        QVERIFY2(mean <= allowed, qPrintable(QString("mean difference %1").arg(mean)));
    }
}

// A turned picture is read whole and an upright one streamed, each through buffers of its
// own shape; several sources in one run must not pass that on from one to the next.
void TestFormats::convertsTurnedAndUprightPicturesInOneRun_data() {
    QTest::addColumn<QString>("format");
    for (const char* format : {"png", "tiff", "bmp", "jp2"})
        QTest::newRow(format) << format;
}

void TestFormats::convertsTurnedAndUprightPicturesInOneRun() {
    QFETCH(QString, format);
    const QString d = freshFolder("turned-" + format);
    const QString in = freshFolder("turned-sources-" + format);
    // Wide and tall enough for many strips; noisy, so that a misplaced strip shows.
    const VImage photo =
        (picture(1290, 700) + VImage::gaussnoise(1290, 700))
            .cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    QStringList sources;
    for (int i = 0; i < 4; ++i) {
        VImage image = photo.copy();
        image.set("orientation", i % 2 == 0 ? 6 : 1);
        const QString path =
            in + QString("/%1-%2.jpg").arg(i).arg(i % 2 == 0 ? "turned" : "upright");
        image.jpegsave(path.toUtf8().constData());
        sources << path;
    }
    QStringList args{"-s", "format", format, "-s", "formatOptions", "best"};
    Run run = runTool(args + sources + QStringList{"--out", d});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    for (const QString& path : sources) {
        const QString name = QFileInfo(path).completeBaseName() + "." + format;
        const VImage shown = VImage::new_from_file(path.toUtf8().constData()).autorot();
        const VImage out = readBack(d + "/" + name, format, 72).image;
        QCOMPARE(out.width(), shown.width());
        QCOMPARE(out.height(), shown.height());
        QVERIFY2((comparable(out, false) != comparable(shown, false)).max() == 0, qPrintable(name));
    }
}

void TestFormats::namesTheOutputFormatsLimit_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("reason"); // empty where the picture fits
    auto tooLarge = [](const char* name, int side, int width, int height) {
        return QString("%1 cannot hold pictures wider or taller than %2 pixels, and this one is "
                       "%3 x %4")
            .arg(name)
            .arg(side)
            .arg(width)
            .arg(height);
    };
    QTest::newRow("JPEG, too wide") << "jpeg" << 65501 << 2 << tooLarge("JPEG", 65500, 65501, 2);
    QTest::newRow("JPEG, as wide as it goes") << "jpeg" << 65500 << 2 << QString();
    QTest::newRow("GIF, too tall") << "gif" << 2 << 65536 << tooLarge("GIF", 65535, 2, 65536);
    QTest::newRow("GIF, as tall as it goes") << "gif" << 2 << 65535 << QString();
    QTest::newRow("TGA, too wide") << "tga" << 65536 << 2 << tooLarge("TGA", 65535, 65536, 2);
    QTest::newRow("TGA, as wide as it goes") << "tga" << 65535 << 2 << QString();
    QTest::newRow("PSD, too tall") << "psd" << 2 << 30001 << tooLarge("PSD", 30000, 2, 30001);
    QTest::newRow("PSD, as tall as it goes") << "psd" << 2 << 30000 << QString();
    QTest::newRow("PNG, wider than all of them") << "png" << 70000 << 2 << QString();
}

void TestFormats::namesTheOutputFormatsLimit() {
    QFETCH(QString, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, reason);
    const QString d = freshFolder("limits");
    QVERIFY(!d.isEmpty());
    const QString input = d + "/source.png";
    const QString output = d + "/out." + format;
    QByteArray png;
    {
        VipsBlob* blob = (VImage::black(width, height) + 40)
                             .cast(VIPS_FORMAT_UCHAR)
                             .pngsave_buffer(VImage::option()->set("compression", 9));
        size_t size = 0;
        const void* data = vips_blob_get(blob, &size);
        png = QByteArray(static_cast<const char*>(data), qsizetype(size));
        vips_area_unref(VIPS_AREA(blob));
    }
    // Where the picture is too large its pixel data is cut short: only a check made from the
    // header, before any decoding, names the real cause.
    QVERIFY(writeBytes(input, reason.isEmpty() ? png : png.left(png.size() - 20)));

    Run run = runTool({"-s", "format", format, input, "-o", output});
    QVERIFY(leftovers(d).isEmpty());
    if (reason.isEmpty() && (format == "tga" || format == "psd")) {
        // ImageMagick's policy refuses pictures this large, so their headers are read here.
        QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
        const QByteArray file = bytesOf(output);
        auto at = [&](int offset) { return int(quint8(file[offset])); };
        if (format == "tga") {
            QCOMPARE(at(12) | at(13) << 8, width);
            QCOMPARE(at(14) | at(15) << 8, height);
        } else {
            QCOMPARE(at(16) << 8 | at(17), height);
            QCOMPARE(at(20) << 8 | at(21), width);
        }
        QVERIFY(file.size() >= width * height);
    } else if (reason.isEmpty()) {
        QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
        const VImage out = readBack(output, format, 72).image;
        QCOMPARE(out.width(), width);
        QCOMPARE(out.height(), height);
        QCOMPARE(out[0].max(), 40.0);
    } else {
        QCOMPARE(run.status, 1);
        QCOMPARE(run.errorLines, QStringList("Error: " + reason + ": " + input));
        QVERIFY(!QFileInfo::exists(output));
    }
}

QTEST_GUILESS_MAIN(TestFormats)
#include "tst_formats.moc"
