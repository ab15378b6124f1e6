// The tool's own streaming writers at one thread and several: GIF, PNG, TIFF, JPEG 2000 and
// PDF outputs decoded by two independent decoders each, the writers' stop at a write error,
// and the parallel deflate's chunks joined into one zlib stream.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <cmath>
#include <libdeflate.h>
#include <random>
#include <vector>
#include <vips/vips8>
#include <zlib.h>

#include "outputcheck.h"
#include "sipscheck.h"
#include "writers/deflate_blocks.h"
#include "writers/deflate_parallel.h"

using namespace sipscheck;
using vips::VImage;

namespace {

// Colours picked per pixel by noise from a table of distinct ones, far apart in index
// order: runs are short, so GIF's LZW table fills and starts again many times.
VImage scatteredColours(int width, int height, int colours) {
    VImage index =
        (VImage::gaussnoise(width, height, VImage::option()->set("sigma", 90)->set("mean", 128))
             .cast(VIPS_FORMAT_INT)
             .abs() %
         colours)
            .cast(VIPS_FORMAT_UCHAR);
    VImage id = VImage::identity();
    VImage table = VImage::bandjoin(
        std::vector<VImage>{id * 37 % 256, (id * 91 + 13) % 256, (id * 151 + 101) % 256});
    return index.maplut(table.cast(VIPS_FORMAT_UCHAR))
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// Alpha in columns: clear, below half, above half, opaque, opaque.
VImage withAlphaSteps(const VImage& image) {
    VImage step = VImage::xyz(image.width(), image.height())[0] % 5;
    VImage alpha =
        (step == 0).ifthenelse(0, (step == 1).ifthenelse(100, (step == 2).ifthenelse(200, 255)));
    return image.bandjoin(alpha.cast(VIPS_FORMAT_UCHAR));
}

// Writes a test picture into `folder`, made if need be; its path.
QString saved(const QString& folder, const QString& name, const VImage& image) {
    QDir().mkpath(folder);
    const QString path = folder + "/" + name;
    image.write_to_file(path.toUtf8().constData());
    return path;
}

// A smooth picture with noise over it, so that every row filter and long and short matches
// all occur; 8 or 16 bits.
VImage noisyPicture(int width, int height, bool sixteenBit) {
    VImage noisy = picture(width, height) +
                   VImage::gaussnoise(width, height, VImage::option()->set("sigma", 20));
    if (!sixteenBit)
        return noisy.cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    return (noisy.cast(VIPS_FORMAT_UCHAR).cast(VIPS_FORMAT_USHORT) * 257 +
            (VImage::xyz(width, height)[0] + VImage::xyz(width, height)[1]) % 251)
        .cast(VIPS_FORMAT_USHORT)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16));
}

// One grey row whose differences from pixel to pixel never follow each other in the same pair
// twice (taking the largest next difference left does not run out before 65537 pixels): each
// LZW code stands for one byte, the strip's last adding entry 257 + `pixels` to the table.
VImage rowOfSingleByteCodes(int pixels) {
    std::vector<unsigned char> row(size_t(pixels), 0);
    std::vector<bool> taken(65536, false);
    unsigned difference = 0;
    for (int x = 1; x < pixels; ++x) {
        unsigned next = 255;
        while (taken[difference << 8 | next])
            --next;
        taken[difference << 8 | next] = true;
        difference = next;
        row[size_t(x)] = static_cast<unsigned char>(row[size_t(x) - 1] + difference);
    }
    return VImage(vips_image_new_from_memory_copy(row.data(), row.size(), pixels, 1, 1,
                                                  VIPS_FORMAT_UCHAR))
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
}

// Runs Ghostscript on a PDF at a resolution; the page as PNG, or an empty path.
QString renderWithGhostscript(const QString& pdf, const QString& device, double dpi) {
    const QString png = pdf + "." + device + ".png";
    QProcess gs;
    gs.start("gs", {"-q", "-dSAFER", "-dNOPAUSE", "-dBATCH", "-sDEVICE=" + device,
                    "-r" + QString::number(dpi), "-sOutputFile=" + png, pdf});
    if (!gs.waitForFinished(300000) || gs.exitCode() != 0)
        return QString();
    return png;
}

// The decompressed data of object `number`'s stream in a PDF whose streams are Flate.
QByteArray streamOf(const QByteArray& pdf, int number) {
    const qsizetype object = pdf.indexOf("\n" + QByteArray::number(number) + " 0 obj");
    const qsizetype start = pdf.indexOf("stream\n", object) + 7;
    const qsizetype end = pdf.indexOf("\nendstream", start);
    if (object < 0 || start < 7 || end < 0)
        return {};
    QByteArray data(1 << 20, '\0');
    uLongf size = data.size();
    if (uncompress(reinterpret_cast<Bytef*>(data.data()), &size,
                   reinterpret_cast<const Bytef*>(pdf.constData() + start), end - start) != Z_OK)
        return {};
    data.resize(qsizetype(size));
    return data;
}

} // namespace

class TestWriters : public QObject, sipscheck::Fixture {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void writesGifsThatDecodeAsMeant_data();
    void writesGifsThatDecodeAsMeant();
    void writesPngsThatDecodeExactly_data();
    void writesPngsThatDecodeExactly();
    void writesTiffAndJp2ThatDecodeExactly_data();
    void writesTiffAndJp2ThatDecodeExactly();
    void writesPdfsThatReadBackExactly_data();
    void writesPdfsThatReadBackExactly();
    void parallelWritersStopAtAWriteError_data();
    void parallelWritersStopAtAWriteError();
    void joinsDeflatedChunksIntoOneStream_data();
    void joinsDeflatedChunksIntoOneStream();
    void refusesAChunkOfOtherBytes_data();
    void refusesAChunkOfOtherBytes();
};

void TestWriters::initTestCase() {
    QVERIFY(VIPS_INIT("tst_writers") == 0);
    QVERIFY(dir_.isValid());
}

void TestWriters::writesGifsThatDecodeAsMeant_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exact"); // at most 256 colours, with transparency counted as one
    const QString d = dir_.path() + "/gif";
    auto save = [&](const QString& name, const VImage& image) {
        return saved(d, name + ".png", image);
    };
    // Sizes that are multiples of nothing, wider than a strip and many strips tall.
    QTest::newRow("256 colours in noise")
        << save("scattered", scatteredColours(1237, 1031, 256)) << true;
    QTest::newRow("255 colours and transparency")
        << save("scattered-alpha", withAlphaSteps(scatteredColours(613, 977, 255))) << true;
    QTest::newRow("256 greys in noise")
        << save("grey", scatteredColours(777, 2051, 256)[0].copy(
                            VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W)))
        << true;
    QTest::newRow("one colour") << save("flat", VImage::black(3001, 1999) + 90) << true;
    QTest::newRow("one pixel") << save("pixel", picture(1, 1)) << true;
    QTest::newRow("all transparent")
        << save("clear", picture(50, 30).bandjoin(VImage::black(50, 30).cast(VIPS_FORMAT_UCHAR)))
        << true;
    const VImage noisy =
        (picture(1501, 1103) + VImage::gaussnoise(1501, 1103, VImage::option()->set("sigma", 30)))
            .cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    QTest::newRow("many colours in noise") << save("noisy", noisy) << false;
    QTest::newRow("many colours and transparency")
        << save("noisy-alpha", withAlphaSteps(noisy)) << false;
}

void TestWriters::writesGifsThatDecodeAsMeant() {
    QFETCH(QString, path);
    QFETCH(bool, exact);
    const QString output = path + ".gif";
    Run run = runTool({"-s", "format", "gif", path, "-o", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));

    const QByteArray file = output.toUtf8();
    const VImage expected = asRgba(VImage::new_from_file(path.toUtf8().constData()));
    const VImage shows = expected[3] >= 128;
    const VImage colour = expected.extract_band(0, VImage::option()->set("n", 3));
    std::vector<VImage> decoded;
    try {
        // Two independent decoders, so that a stream only one of them forgives shows.
        decoded = {asRgba(VImage::gifload(file.constData())).copy_memory(),
                   asRgba(VImage::magickload(file.constData())).copy_memory()};
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
    for (const VImage& actual : decoded) {
        QCOMPARE(actual.width(), expected.width());
        QCOMPARE(actual.height(), expected.height());
        QCOMPARE((actual[3] == shows.ifthenelse(255, 0)).min(), 255.0);
        VImage difference = shows.ifthenelse(
            (actual.extract_band(0, VImage::option()->set("n", 3)).cast(VIPS_FORMAT_INT) -
             colour.cast(VIPS_FORMAT_INT))
                .abs(),
            0);
        if (exact)
            QCOMPARE(difference.max(), 0.0);
        else
            QVERIFY2(difference.avg() <= 8.0, qPrintable(QString::number(difference.avg())));
    }
    const VImage disagreement =
        (decoded[0].cast(VIPS_FORMAT_INT) - decoded[1].cast(VIPS_FORMAT_INT)).abs();
    QCOMPARE(disagreement.max(), 0.0);
}

void TestWriters::writesPngsThatDecodeExactly_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("threads");
    const QString d = dir_.path() + "/png";
    auto save = [&](const QString& name, const VImage& image) {
        return saved(d, name + ".png", image);
    };
    // Sizes that are multiples of nothing, so that the stream's chunks end inside rows and
    // pixels; one row and one column long enough to be cut into chunks, within the 16,000
    // pixels a side that Debian's ImageMagick policy allows.
    const VImage grey = noisyPicture(777, 505, false)[1].copy(
        VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    const VImage deep = noisyPicture(613, 411, true);
    const QList<QPair<QString, QString>> sources{
        {"noise", save("noise", noisyPicture(1237, 1031, false))},
        {"one row, 16-bit", save("row", noisyPicture(15991, 1, true))},
        {"one column, 16-bit", save("column", noisyPicture(1, 15991, true))},
        {"16-bit with alpha",
         save("deep-alpha",
              deep.bandjoin(
                  (withAlphaSteps(grey.crop(0, 0, 613, 411))[1].cast(VIPS_FORMAT_USHORT) * 257)
                      .cast(VIPS_FORMAT_USHORT)))},
        {"grey with alpha", save("grey-alpha", withAlphaSteps(grey))},
        {"16-bit grey", save("deep-grey", deep[0].copy(VImage::option()->set(
                                              "interpretation", VIPS_INTERPRETATION_GREY16)))},
        {"one pixel", save("pixel", picture(1, 1))},
    };
    const QString palette = d + "/palette.png";
    noisyPicture(501, 333, false)
        .pngsave(palette.toUtf8().constData(), VImage::option()->set("palette", true));
    for (const auto& [name, path] : sources + QList<QPair<QString, QString>>{{"palette", palette}})
        for (int threads : {1, 2, 3, 7})
            QTest::addRow("%s, %d threads", qPrintable(name), threads) << path << threads;
}

void TestWriters::writesPngsThatDecodeExactly() {
    QFETCH(QString, path);
    QFETCH(int, threads);
    const QString output = path + "." + QString::number(threads) + ".png";
    Run run = runTool({"-s", "format", "png", "-s", "formatOptions", "best", path, "-o", output},
                      "export SIPS_THREADS=" + QString::number(threads));
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));

    QProcess check;
    check.start("pngcheck", {output});
    QVERIFY(check.waitForFinished(60000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput().constData());

    const QByteArray file = output.toUtf8();
    const VImage expected = VImage::new_from_file(path.toUtf8().constData());
    try {
        // libspng and ImageMagick's libpng both check every CRC and the zlib checksum.
        for (const VImage& decoded : {VImage::pngload(file.constData()).copy_memory(),
                                      VImage::magickload(file.constData()).copy_memory()}) {
            const VImage actual = inLayoutOf(decoded, expected);
            QCOMPARE(actual.width(), expected.width());
            QCOMPARE(actual.height(), expected.height());
            QCOMPARE(actual.bands(), expected.bands());
            QCOMPARE(actual.format(), expected.format());
            QCOMPARE(largestDifference(actual, expected), 0.0);
        }
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestWriters::writesTiffAndJp2ThatDecodeExactly_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("threads");
    const QString d = dir_.path() + "/exact";
    auto save = [&](const QString& name, const VImage& image, const char* suffix = ".png") {
        return saved(d, name + suffix, image);
    };
    auto noisy = [](int width, int height) {
        return (picture(width, height) +
                VImage::gaussnoise(width, height, VImage::option()->set("sigma", 40)))
            .cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    };
    auto deep = [](const VImage& image) {
        VImage wide = image.cast(VIPS_FORMAT_USHORT) * 257 +
                      VImage::xyz(image.width(), image.height())[0] % 251;
        return wide.cast(VIPS_FORMAT_USHORT)
            .copy(VImage::option()->set("interpretation", image.bands() >= 3
                                                              ? VIPS_INTERPRETATION_RGB16
                                                              : VIPS_INTERPRETATION_GREY16));
    };
    // Sizes that are multiples of nothing, several strips and tiles across and down.
    const VImage odd = noisy(1031, 517);
    const VImage grey = odd.colourspace(VIPS_INTERPRETATION_B_W);
    QList<QPair<QString, QString>> pictures{
        {"odd size", save("odd", odd)},
        {"one row", save("row", noisy(1500, 1))},
        {"one column", save("column", noisy(1, 700))},
        {"one pixel", save("pixel", noisy(1, 1))},
        {"grey", save("grey", grey)},
        {"grey and alpha", save("grey-alpha", withAlphaSteps(grey))},
        {"alpha", save("alpha", withAlphaSteps(noisy(601, 530)))},
        {"16-bit", save("deep", deep(odd))},
        {"16-bit grey", save("deep-grey", deep(grey))},
        {"16-bit alpha", save("deep-alpha", deep(withAlphaSteps(noisy(601, 530))))},
    };
    const QString icc = save(
        "icc", odd.icc_transform("p3", VImage::option()->set("input_profile", "srgb")), ".tif");
    const QString cmyk = save("cmyk", odd.icc_transform("cmyk"), ".tif");
    VImage described = odd.copy(VImage::option()->set("xres", 300 / 25.4)->set("yres", 150 / 25.4));
    static char xmp[] = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"></x:xmpmeta>";
    described.set(VIPS_META_XMP_NAME, nullptr, xmp, sizeof xmp);
    const QString metadata = save("described", described, ".tif");
    // Every picture at one thread and at more threads than strips or tiles in flight at once;
    // the large ones at every count.
    for (int threads : {1, 2, 3, 7}) {
        for (const auto& [name, path] : pictures) {
            if ((threads == 2 || threads == 7) && name != "odd size" && name != "16-bit alpha")
                continue;
            for (const char* format : {"tiff", "jp2"})
                QTest::addRow("%s to %s, %d threads", qPrintable(name), format, threads)
                    << path << format << threads;
        }
        // JPEG 2000 is always written in sRGB; TIFF keeps the profile and CMYK.
        QTest::addRow("ICC profile to tiff, %d threads", threads) << icc << "tiff" << threads;
        QTest::addRow("CMYK to tiff, %d threads", threads) << cmyk << "tiff" << threads;
        QTest::addRow("XMP and resolution to tiff, %d threads", threads)
            << metadata << "tiff" << threads;
    }
    // A strip's end code is as wide as a code after its last would be: 10 bits after entry 511,
    // 9 bits after the clear code that follows entry 4093.
    QTest::newRow("last code widening the codes, to tiff")
        << save("wider", rowOfSingleByteCodes(254)) << "tiff" << 1;
    QTest::newRow("last code filling the table, to tiff")
        << save("full", rowOfSingleByteCodes(3836)) << "tiff" << 1;
}

void TestWriters::writesTiffAndJp2ThatDecodeExactly() {
    QFETCH(QString, path);
    QFETCH(QString, format);
    QFETCH(int, threads);
    const QString output = path + "." + QString::number(threads) + "." + format;
    Run run = runTool({"-s", "format", format, "-s", "formatOptions", "best", path, "-o", output},
                      QString("export SIPS_THREADS=%1").arg(threads));
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));

    try {
        const QByteArray source = path.toUtf8();
        const VImage expected = VImage::new_from_file(source.constData());
        const QByteArray file = output.toUtf8();
        // Two independent decoders, so that a stream only one of them forgives shows. Each is
        // held to its own reading of the source: ImageMagick reads CMYK its own way.
        const VImage ours = format == "tiff" ? VImage::tiffload(file.constData())
                                             : VImage::jp2kload(file.constData());
        const std::pair<VImage, VImage> decoded[] = {
            {ours.copy_memory(), expected},
            {VImage::magickload(file.constData()).copy_memory(),
             VImage::magickload(source.constData())}};
        for (const auto& [read, given] : decoded) {
            const VImage actual = inLayoutOf(read, given);
            const VImage meant = inLayoutOf(given, read);
            QCOMPARE(actual.width(), meant.width());
            QCOMPARE(actual.height(), meant.height());
            QCOMPARE(actual.bands(), meant.bands());
            QCOMPARE(actual.format(), meant.format());
            const VImage difference =
                (actual.cast(VIPS_FORMAT_INT) - meant.cast(VIPS_FORMAT_INT)).abs();
            QCOMPARE(difference.max(), 0.0);
        }
        QCOMPARE(ours.has_alpha(), expected.has_alpha());
        for (const char* block : {VIPS_META_ICC_NAME, VIPS_META_XMP_NAME}) {
            if (expected.get_typeof(block) == 0)
                continue;
            QVERIFY2(ours.get_typeof(block) != 0, block);
            size_t keptSize = 0, givenSize = 0;
            const void* kept = ours.get_blob(block, &keptSize);
            const void* given = expected.get_blob(block, &givenSize);
            QCOMPARE(QByteArray(static_cast<const char*>(kept), int(keptSize)),
                     QByteArray(static_cast<const char*>(given), int(givenSize)));
        }
        if (format == "tiff") {
            // A reader without libtiff, which also finds a strip not closed by its end code.
            const outputcheck::TiffPixels tiff = outputcheck::readLzwTiff(output);
            QVERIFY2(tiff.fault.isEmpty(), qPrintable(tiff.fault));
            const VImage read = VImage::new_from_memory(
                const_cast<char*>(tiff.data.constData()), size_t(tiff.data.size()), tiff.width,
                tiff.height, tiff.samples,
                tiff.bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
            QCOMPARE(largestDifference(read, ours), 0.0);
            // libvips's 1 pixel per millimetre says the source states none: 72 dpi then.
            auto dpi = [](double perMillimetre) {
                return perMillimetre == 1.0 ? 72 : qRound(perMillimetre * 25.4);
            };
            QCOMPARE(qRound(ours.xres() * 25.4), dpi(expected.xres()));
            QCOMPARE(qRound(ours.yres() * 25.4), dpi(expected.yres()));
        }
        if (expected.interpretation() == VIPS_INTERPRETATION_CMYK)
            QCOMPARE(ours.interpretation(), VIPS_INTERPRETATION_CMYK);
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestWriters::writesPdfsThatReadBackExactly_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("threads");
    QTest::addColumn<double>("dpi");
    const QString d = dir_.path() + "/pdf";
    auto save = [&](const QString& name, const VImage& image) {
        return saved(d, name + ".tif", image);
    };
    const VImage rgb = noisyPicture(301, 203, false);
    struct Row {
        const char* name;
        QString path;
        double dpi;
    };
    const QList<Row> rows{
        // Wider than any page a reader takes at 72 dpi, and than one image poppler draws.
        {"40000 x 100", save("wide", noisyPicture(40000, 100, false)), 72},
        {"100 x 40000", save("tall", noisyPicture(100, 40000, false)), 72},
        {"16-bit", save("deep", noisyPicture(301, 203, true)), 72},
        {"grey",
         save("grey",
              rgb[2].copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W))),
         72},
        {"alpha", save("alpha", withAlphaSteps(rgb)), 72},
        {"wide-gamut profile",
         save("p3", rgb.icc_transform("p3", VImage::option()->set("input_profile", "srgb"))), 72},
        {"300 dpi",
         save("print",
              rgb.copy(VImage::option()->set("xres", 300 / 25.4)->set("yres", 300 / 25.4))),
         300},
    };
    for (const Row& row : rows)
        for (int threads : {1, 2, 3, 7})
            QTest::addRow("%s, %d threads", row.name, threads) << row.path << threads << row.dpi;
}

void TestWriters::writesPdfsThatReadBackExactly() {
    QFETCH(QString, path);
    QFETCH(int, threads);
    QFETCH(double, dpi);
    const QString output = path + "." + QString::number(threads) + ".pdf";
    Run run = runTool({"-s", "format", "pdf", "-s", "formatOptions", "best", path, "-o", output},
                      "export SIPS_THREADS=" + QString::number(threads));
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    VERIFY_PDF_STRUCTURE(output);
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray pdf = file.readAll();

    const VImage source = VImage::new_from_file(path.toUtf8().constData());
    const bool sixteenBit = source.format() == VIPS_FORMAT_USHORT;
    const bool grey = source.bands() == 1;
    QVERIFY(pdf.contains(sixteenBit ? "/BitsPerComponent 16" : "/BitsPerComponent 8"));
    QCOMPARE(pdf.contains("/SMask"), source.has_alpha());
    if (source.get_typeof("icc-profile-data") != 0) {
        // The profile is carried byte for byte.
        const qsizetype at = pdf.indexOf("/ICCBased ");
        QVERIFY(at >= 0);
        size_t size = 0;
        const void* profile = source.get_blob("icc-profile-data", &size);
        QCOMPARE(streamOf(pdf, pdf.mid(at + 10, 8).split(' ')[0].toInt()),
                 QByteArray(static_cast<const char*>(profile), qsizetype(size)));
    } else {
        QVERIFY(pdf.contains(grey ? "/ColorSpace /DeviceGray" : "/ColorSpace /DeviceRGB"));
    }

    // What shows on a white page, at 8 or 16 bits.
    VImage expected = colourOnWhite(source);
    if (source.get_typeof("icc-profile-data") != 0)
        expected = comparable(source, false);
    // Past 14,400 points a side, the page is drawn in larger units: poppler ignores them and
    // shows the pixels at a finer resolution, Ghostscript honours them.
    const double points = std::max(source.width(), source.height()) * 72.0 / dpi;
    const double unit = std::max(1.0, std::ceil(points / 14400));
    try {
        VImage popplers =
            VImage::pdfload(output.toUtf8().constData(), VImage::option()->set("dpi", dpi * unit))
                .copy_memory();
        popplers = popplers.extract_band(0, VImage::option()->set("n", grey ? 1 : 3));
        const QString gs = renderWithGhostscript(output,
                                                 sixteenBit ? "png48"
                                                 : grey     ? "pnggray"
                                                            : "png16m",
                                                 dpi);
        QVERIFY(!gs.isEmpty());
        const VImage ghostscripts = VImage::pngload(gs.toUtf8().constData()).copy_memory();
        const VImage eightBit =
            sixteenBit ? expected.cast(VIPS_FORMAT_UCHAR, VImage::option()->set("shift", true))
                       : expected;
        for (const VImage& actual : {popplers, ghostscripts}) {
            QCOMPARE(actual.width(), source.width());
            QCOMPARE(actual.height(), source.height());
            QCOMPARE(actual.bands(), expected.bands() - (expected.has_alpha() ? 1 : 0));
        }
        // Colours composed onto white or through a profile may round either way.
        const bool exact = !source.has_alpha() && source.get_typeof("icc-profile-data") == 0;
        const double allowed = exact ? 0 : source.has_alpha() ? 1 : 3;
        QVERIFY2(largestDifference(popplers, eightBit) <= allowed,
                 qPrintable(QString::number(largestDifference(popplers, eightBit))));
        const double ghostscriptsDifference =
            largestDifference(ghostscripts, sixteenBit ? expected : eightBit) /
            (sixteenBit ? 257.0 : 1.0);
        QVERIFY2(ghostscriptsDifference <= allowed,
                 qPrintable(QString::number(ghostscriptsDifference)));
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestWriters::parallelWritersStopAtAWriteError_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("threads");
    for (int threads : {1, 3})
        for (const char* format : {"tiff", "jp2", "png", "pdf"})
            QTest::addRow("%s, %d threads", format, threads) << format << threads;
}

void TestWriters::parallelWritersStopAtAWriteError() {
    QFETCH(QString, format);
    QFETCH(int, threads);
    const QString d = dir_.path() + "/refused-" + format + QString::number(threads);
    QDir().mkpath(d);
    const QString out = d + "/out." + format;
    // Many strips and tiles, so that the limit is met while workers are busy.
    const QString big = d + "/big.png";
    (picture(1700, 1500) + VImage::gaussnoise(1700, 1500, VImage::option()->set("sigma", 40)))
        .cast(VIPS_FORMAT_UCHAR)
        .write_to_file(big.toUtf8().constData());
    Run run = runTool({"-s", "format", format, "-s", "formatOptions", "best", big, "-o", out},
                      QString("export SIPS_THREADS=%1; trap '' XFSZ; ulimit -f 256").arg(threads));
    QCOMPARE(run.status, 1);
    QVERIFY(!QFileInfo::exists(out));
    QVERIFY(leftovers(d).isEmpty());
    QCOMPARE(run.errorLines.size(), 1);
    QVERIFY2(run.errorLines[0].startsWith("Error: the output would exceed the file size limit"),
             qPrintable(run.errorLines[0]));
}

void TestWriters::joinsDeflatedChunksIntoOneStream_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("pieceBytes");
    // With nothing expected, every chunk is the smallest, 64 KB.
    constexpr int kChunk = 64 * 1024;
    std::mt19937 random(7);
    auto noise = [&](int size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& byte : bytes)
            byte = char(random());
        return bytes;
    };
    QByteArray text;
    while (text.size() < 5 * kChunk + 333)
        text += "row " + QByteArray::number(text.size() % 9973) + " of a picture, filtered; ";
    const QList<QPair<const char*, QByteArray>> kinds{
        {"nothing", QByteArray()},
        {"one byte", QByteArray(1, 'x')},
        // Runs that go on across every cut.
        {"zeros", QByteArray(3 * kChunk + 1, '\0')},
        // Kept as stored blocks, the last of them the final one.
        {"noise", noise(2 * kChunk + 4321)},
        {"text", text},
        // The last chunk is empty.
        {"exactly four chunks", text.left(4 * kChunk)},
        {"noise, then zeros", noise(kChunk + 17) + QByteArray(kChunk, '\0') + noise(99)},
    };
    for (const auto& [name, data] : kinds)
        for (int threads : {1, 3})
            for (int level : {1, 6, 12})
                QTest::addRow("%s, %d threads, level %d", name, threads, level)
                    << data << threads << level << (threads == 1 ? 1 : 1000);
}

void TestWriters::joinsDeflatedChunksIntoOneStream() {
    QFETCH(QByteArray, data);
    QFETCH(int, threads);
    QFETCH(int, level);
    QFETCH(int, pieceBytes);
    QByteArray stream;
    sips::ParallelDeflate deflater(
        level, 0,
        [&](const unsigned char* bytes, size_t size) {
            stream.append(reinterpret_cast<const char*>(bytes), qsizetype(size));
        },
        threads);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    for (qsizetype at = 0; at < data.size(); at += pieceBytes)
        deflater.write(bytes + at, size_t(std::min<qsizetype>(pieceBytes, data.size() - at)));
    deflater.finish();

    // Two decoders, each checking the stream's checksum and that nothing follows its end.
    QByteArray inflated(std::max<qsizetype>(data.size(), 1), '\0');
    uLongf inflatedSize = uLongf(inflated.size());
    uLong consumed = uLong(stream.size());
    QCOMPARE(uncompress2(reinterpret_cast<Bytef*>(inflated.data()), &inflatedSize,
                         reinterpret_cast<const Bytef*>(stream.constData()), &consumed),
             Z_OK);
    QCOMPARE(qsizetype(consumed), stream.size());
    QCOMPARE(inflated.left(qsizetype(inflatedSize)), data);

    std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> strict(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    size_t inSize = 0, outSize = 0;
    inflated.fill('\0');
    QCOMPARE(libdeflate_zlib_decompress_ex(strict.get(), stream.constData(), size_t(stream.size()),
                                           inflated.data(), size_t(inflated.size()), &inSize,
                                           &outSize),
             LIBDEFLATE_SUCCESS);
    QCOMPARE(qsizetype(inSize), stream.size());
    QCOMPARE(inflated.left(qsizetype(outSize)), data);

    // Every cut is joined by an empty stored block.
    const qsizetype cuts = data.size() / (64 * 1024) - (data.size() % (64 * 1024) == 0 ? 1 : 0);
    QVERIFY(stream.count(QByteArray("\x00\x00\xff\xff", 4)) >= std::max<qsizetype>(cuts, 0));
}

// A chunk's stream is read back against the chunk before it is written: it must decode to
// exactly those bytes, whichever kind of block or symbol holds the difference.
void TestWriters::refusesAChunkOfOtherBytes_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("changedAt"); // the byte of the data changed before the check; -1: none
    QTest::addColumn<int>("dataBytesAdded");
    QTest::addColumn<int>("streamBytesAdded"); // negative: cut off
    QTest::addColumn<QByteArray>("refusal");   // null: none; empty: any
    std::mt19937 random(11);
    QByteArray noise(70000, Qt::Uninitialized);
    for (char& byte : noise)
        byte = char(random());
    QByteArray text;
    while (text.size() < 200000)
        text += "row " + QByteArray::number(text.size() % 9973) + " of a picture, filtered; ";
    // name, data, level, changed at, data bytes added, stream bytes added, refusal
    QTest::newRow("as made, text") << text << 6 << -1 << 0 << 0 << QByteArray();
    QTest::newRow("as made, noise") << noise << 6 << -1 << 0 << 0 << QByteArray();
    const QByteArray shortRows(
        "a short row of a short row of a short row, filtered"); // fixed codes
    QTest::newRow("as made, fixed codes") << shortRows << 6 << -1 << 0 << 0 << QByteArray();
    QTest::newRow("in a literal") << text << 6 << 2 << 0 << 0 << QByteArray("other bytes");
    QTest::newRow("in a copy") << text << 6 << 150000 << 0 << 0 << QByteArray("other bytes");
    QTest::newRow("in an overlapping copy")
        << QByteArray(100000, 'z') << 6 << 50000 << 0 << 0 << QByteArray("other bytes");
    QTest::newRow("in a fixed-code literal")
        << shortRows << 6 << 45 << 0 << 0 << QByteArray("other bytes");
    QTest::newRow("in a stored block")
        << noise << 6 << 40000 << 0 << 0 << QByteArray("other bytes");
    QTest::newRow("data longer") << text << 6 << -1 << 1 << 0 << QByteArray("fewer bytes");
    QTest::newRow("data shorter") << text << 6 << -1 << -1 << 0 << QByteArray("");
    QTest::newRow("stream cut") << text << 6 << -1 << 0 << -3 << QByteArray("");
    QTest::newRow("a byte after the stream")
        << text << 6 << -1 << 0 << 1 << QByteArray("bytes after its last block");
}

void TestWriters::refusesAChunkOfOtherBytes() {
    QFETCH(QByteArray, data);
    QFETCH(int, level);
    QFETCH(int, changedAt);
    QFETCH(int, dataBytesAdded);
    QFETCH(int, streamBytesAdded);
    QFETCH(QByteArray, refusal);
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    QByteArray stream(
        qsizetype(libdeflate_deflate_compress_bound(compressor.get(), size_t(data.size()))), '\0');
    stream.resize(qsizetype(libdeflate_deflate_compress(compressor.get(), data.constData(),
                                                        size_t(data.size()), stream.data(),
                                                        size_t(stream.size()))));
    QVERIFY(!stream.isEmpty());
    if (streamBytesAdded < 0)
        stream.chop(-streamBytesAdded);
    stream.append(QByteArray(std::max(0, streamBytesAdded), '\0'));
    QByteArray checked = data;
    if (changedAt >= 0)
        checked[changedAt] = char(checked[changedAt] ^ 0x20);
    if (dataBytesAdded < 0)
        checked.chop(-dataBytesAdded);
    checked.append(QByteArray(std::max(0, dataBytesAdded), 'x'));

    const auto* packed = reinterpret_cast<const unsigned char*>(stream.constData());
    const auto* original = reinterpret_cast<const unsigned char*>(checked.constData());
    try {
        const sips::BlockEnds ends =
            sips::findBlockEnds(packed, size_t(stream.size()), original, size_t(checked.size()));
        QVERIFY2(refusal.isNull(), "a stream of other bytes passed the check");
        // Its end is in its last byte, and a decoder stops there too.
        QVERIFY(ends.lastBlockBit < ends.endBit);
        QVERIFY(std::uint64_t(stream.size()) * 8 - ends.endBit < 8);
        QByteArray inflated(data.size(), '\0');
        size_t used = 0, made = 0;
        std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)>
            decompressor(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        QCOMPARE(libdeflate_deflate_decompress_ex(decompressor.get(), packed, size_t(stream.size()),
                                                  inflated.data(), size_t(inflated.size()), &used,
                                                  &made),
                 LIBDEFLATE_SUCCESS);
        QCOMPARE(used, size_t((ends.endBit + 7) / 8));
    } catch (const std::logic_error& error) {
        QVERIFY2(!refusal.isNull(), error.what());
        QVERIFY2(QByteArray(error.what()).contains(refusal), error.what());
    }
}

QTEST_GUILESS_MAIN(TestWriters)
#include "tst_writers.moc"
