// End-to-end tests of the conversion tool: real images, made here with libvips, are
// converted by the built `sips` program and read back.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <vips/vips8>

#include "options.h"

using vips::VImage;

namespace {

struct Run {
    int status = -1;
    QString out;
    QStringList errorLines;
};

Run runTool(const QStringList& args, const QString& shellPrefix = QString()) {
    QProcess process;
    if (shellPrefix.isEmpty()) {
        process.start(QStringLiteral(SIPS_TOOL), args);
    } else {
        // Limits set by the shell (ulimit, trap) apply to the tool it executes.
        QStringList quoted;
        for (const QString& arg : args)
            quoted << "'" + arg + "'";
        process.start("/bin/sh",
                      {"-c", shellPrefix + "; exec '" SIPS_TOOL "' " + quoted.join(' ')});
    }
    Run run;
    if (!process.waitForFinished(300000))
        return run;
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.errorLines =
        QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    return run;
}

QStringList leftovers(const QString& folder) {
    return QDir(folder).entryList({".*.sips-*"}, QDir::Files | QDir::Hidden);
}

// A smooth picture with a corner marker, so that a turn or mirror shows in the pixels.
VImage picture(int width, int height) {
    VImage xy = VImage::xyz(width, height);
    VImage x = xy[0], y = xy[1];
    VImage r = x * (255.0 / width);
    VImage g = y * (255.0 / height);
    VImage b = (x + y) * (127.0 / (width + height)) + 64;
    VImage rgb = VImage::bandjoin(std::vector<VImage>{r, g, b});
    VImage marker = VImage::black(8, 8, VImage::option()->set("bands", 3)) + 255;
    return rgb.insert(marker, 2, 2)
        .cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

VImage withAlpha(const VImage& rgb) {
    VImage xy = VImage::xyz(rgb.width(), rgb.height());
    // Fully transparent, half and fully opaque stripes.
    VImage alpha =
        (xy[0] < rgb.width() / 3).ifthenelse(0, (xy[0] < 2 * rgb.width() / 3).ifthenelse(128, 255));
    return rgb.bandjoin(alpha.cast(VIPS_FORMAT_UCHAR));
}

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

// sRGB with alpha, opaque where the image has none.
VImage asRgba(VImage image) {
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (!image.has_alpha())
        image = image.bandjoin(255);
    return image.cast(VIPS_FORMAT_UCHAR);
}

struct Loaded {
    VImage image;
    QString loader;
};

Loaded readBack(const QString& path, const QString& format, double dpi) {
    const QByteArray file = path.toUtf8();
    VImage image;
    if (format == "bmp" || format == "tga" || format == "psd")
        image = VImage::magickload(file.constData());
    // A PSD with alpha holds a flat image matted onto white, which ImageMagick un-mattes only
    // approximately, and one layer with the exact transparent picture.
    if (format == "psd" && image.get_typeof("n-pages") != 0 && image.get_int("n-pages") > 1)
        image = VImage::magickload(file.constData(), VImage::option()->set("page", 1));
    else if (format == "pdf")
        image = VImage::pdfload(file.constData(), VImage::option()->set("dpi", dpi));
    else
        image = VImage::new_from_file(file.constData());
    // Decoded once, here, so that a decoder's failure shows as this one exception.
    return {image.copy_memory(), QString::fromUtf8(image.get_string("vips-loader"))};
}

// sRGB with alpha where there is one, at 8 or 16 bits, through any embedded profile.
VImage comparable(VImage image, bool sixteenBit) {
    bool cmyk = image.guess_interpretation() == VIPS_INTERPRETATION_CMYK;
    if (cmyk || image.get_typeof("icc-profile-data") != 0) {
        image = image.icc_transform("srgb", VImage::option()
                                                ->set("embedded", true)
                                                ->set("input_profile", cmyk ? "cmyk" : "srgb")
                                                ->set("intent", VIPS_INTENT_RELATIVE)
                                                ->set("depth", sixteenBit ? 16 : 8));
    }
    if (image.format() == VIPS_FORMAT_USHORT && !sixteenBit)
        image = image.cast(VIPS_FORMAT_UCHAR, VImage::option()->set("shift", true));
    if (image.format() == VIPS_FORMAT_UCHAR && sixteenBit)
        image = image.cast(VIPS_FORMAT_USHORT) * 257;
    image = image.copy(VImage::option()->set(
        "interpretation",
        image.bands() >= 3 ? (sixteenBit ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB)
                           : (sixteenBit ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W)));
    image = image.colourspace(sixteenBit ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB);
    return image.cast(sixteenBit ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
}

VImage colourOnWhite(const VImage& image) {
    if (!image.has_alpha())
        return image;
    double white = image.format() == VIPS_FORMAT_USHORT ? 65535 : 255;
    return image.flatten(VImage::option()->set("background", std::vector<double>{white}));
}

// Alpha of a picture with one, or nothing; a fully opaque alpha counts as none.
bool showsTransparency(const VImage& image) {
    return image.has_alpha() &&
           image[image.bands() - 1].min() < (image.format() == VIPS_FORMAT_USHORT ? 65535 : 255);
}

} // namespace

class TestSips : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void convertsEveryKindToEveryFormat_data();
    void convertsEveryKindToEveryFormat();
    void refusesBadInput_data();
    void refusesBadInput();
    void leavesNothingWhenWritingFails_data();
    void leavesNothingWhenWritingFails();
    void writesGifsThatDecodeAsMeant_data();
    void writesGifsThatDecodeAsMeant();
    void writesTiffAndJp2ThatDecodeExactly_data();
    void writesTiffAndJp2ThatDecodeExactly();
    void parallelWritersStopAtAWriteError_data();
    void parallelWritersStopAtAWriteError();
    void writesIntoAFolderUnderTheSourceName();
    void reportsProperties_data();
    void reportsProperties();
    void readsCommandLines_data();
    void readsCommandLines();

private:
    void checkConversion();
    QString source(const QString& kind) const { return sources_.value(kind); }

    QTemporaryDir dir_;
    QMap<QString, QString> sources_;
};

void TestSips::initTestCase() {
    QVERIFY(VIPS_INIT("tst_sips") == 0);
    QVERIFY(dir_.isValid());
    auto path = [&](const QString& name) { return dir_.filePath(name); };
    auto save = [&](const QString& kind, const QString& name, const VImage& image) {
        image.write_to_file(path(name).toUtf8().constData());
        sources_[kind] = path(name);
    };
    const VImage rgb = picture(96, 64);

    save("rgb", "rgb.png", rgb);
    save("grey", "grey.png", rgb.colourspace(VIPS_INTERPRETATION_B_W));
    save("alpha", "alpha.png", withAlpha(rgb));
    save("grey-alpha", "grey-alpha.png", withAlpha(rgb.colourspace(VIPS_INTERPRETATION_B_W)));
    const VImage deep =
        (rgb.cast(VIPS_FORMAT_USHORT) * 257 + VImage::xyz(96, 64)[0])
            .cast(VIPS_FORMAT_USHORT)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16));
    save("16-bit", "deep.png", deep);
    save(
        "16-bit-alpha", "deep-alpha.png",
        deep.bandjoin((withAlpha(rgb)[3].cast(VIPS_FORMAT_USHORT) * 257).cast(VIPS_FORMAT_USHORT)));
    rgb.pngsave(path("palette.png").toUtf8().constData(),
                VImage::option()->set("palette", true)->set("bitdepth", 4));
    sources_["palette"] = path("palette.png");
    save("cmyk", "cmyk.jpg", rgb.icc_transform("cmyk"));

    VImage turned = rgb.copy();
    turned.set("orientation", 6);
    save("exif-rotated", "rotated.jpg", turned);

    save("icc", "wide-gamut.tif",
         rgb.icc_transform("p3", VImage::option()->set("input_profile", "srgb")));

    VImage pages = VImage::arrayjoin({rgb, rgb.flip(VIPS_DIRECTION_HORIZONTAL)},
                                     VImage::option()->set("across", 1));
    pages.set("page-height", 64);
    save("multi-page", "pages.tif", pages);

    VImage frames =
        VImage::arrayjoin({withAlpha(rgb), rgb.invert().bandjoin(255), rgb.bandjoin(255)},
                          VImage::option()->set("across", 1));
    frames.set("page-height", 64);
    frames.set("delay", std::vector<int>{100, 100, 100});
    save("animated", "animated.gif", frames);

    VImage noise = VImage::gaussnoise(256, 256, VImage::option()->set("sigma", 60));
    save("noise", "noise.png",
         VImage::bandjoin(
             std::vector<VImage>{noise, noise.rot180(), noise.flip(VIPS_DIRECTION_VERTICAL)})
             .cast(VIPS_FORMAT_UCHAR)
             .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)));

    // Read through libvips's ImageMagick module, which the tool loads only when needed.
    rgb.magicksave(path("picture.bmp").toUtf8().constData(),
                   VImage::option()->set("format", "bmp"));
    sources_["bmp"] = path("picture.bmp");

    VImage printed = rgb.copy(VImage::option()->set("xres", 300 / 25.4)->set("yres", 300 / 25.4));
    save("300-dpi", "printed.tif", printed);
}

void TestSips::convertsEveryKindToEveryFormat_data() {
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

void TestSips::convertsEveryKindToEveryFormat() {
    try {
        checkConversion();
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestSips::checkConversion() {
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

    static const QMap<QString, QString> loaders{
        {"jpeg", "jpegload"},  {"gif", "gifload"},    {"png", "pngload"},
        {"tiff", "tiffload"},  {"bmp", "magickload"}, {"tga", "magickload"},
        {"psd", "magickload"}, {"jp2", "jp2kload"},   {"pdf", "pdfload"}};
    QCOMPARE(out.loader, loaders[format]);
    QCOMPARE(out.image.width(), shown.width());
    QCOMPARE(out.image.height(), shown.height());
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

void TestSips::refusesBadInput_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("reason");

    const QString d = dir_.path() + "/bad";
    QDir().mkpath(d);
    auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(d + "/" + name);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return file.fileName();
    };
    auto bytesOf = [](const QString& path) {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    };
    const QByteArray jpeg = bytesOf(source("exif-rotated"));
    const QByteArray png = bytesOf(source("rgb"));
    QByteArray corrupt = png;
    for (int i = corrupt.size() / 3; i < corrupt.size() - 20; i += 7)
        corrupt[i] = char(corrupt[i] ^ 0x5a);

    // A 20000 x 20000 PNG header over a few bytes of data: the classic decompression bomb.
    QByteArray bomb = png;
    auto put32 = [&](int at, quint32 value) {
        for (int i = 0; i < 4; ++i)
            bomb[at + i] = char(value >> (24 - 8 * i));
    };
    put32(16, 20000);
    put32(20, 20000);
    quint32 crc = 0xffffffffu;
    for (int i = 12; i < 29; ++i) {
        crc ^= quint8(bomb[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    put32(29, ~crc);

    auto convertArgs = [](const QString& format, const QString& in, const QString& out) {
        return QStringList{"-s", "format", format, "-s", "formatOptions", "best", in, "-o", out};
    };
    const QString out = d + "/out.png";
    QTest::newRow("missing file") << convertArgs("png", d + "/nothing.jpg", out) << out
                                  << "no such file";
    QTest::newRow("folder") << convertArgs("png", d, out) << out << "folder";
    QTest::newRow("empty file") << convertArgs("png", write("empty.jpg", {}), out) << out
                                << "empty";
    QTest::newRow("truncated jpeg")
        << convertArgs("png", write("cut.jpg", jpeg.left(jpeg.size() / 2)), out) << out
        << "damaged";
    QTest::newRow("truncated png")
        << convertArgs("tiff", write("cut.png", png.left(png.size() / 2)), d + "/out.tiff")
        << d + "/out.tiff"
        << "damaged";
    QTest::newRow("corrupt png") << convertArgs("jpeg", write("corrupt.png", corrupt),
                                                d + "/out.jpeg")
                                 << d + "/out.jpeg"
                                 << "damaged";
    QTest::newRow("not an image") << convertArgs("png", write("notes.png", "just some words\n"),
                                                 out)
                                  << out << "cannot read this file as an image";
    QTest::newRow("unknown format word")
        << convertArgs("webm", source("rgb"), d + "/out.webm") << d + "/out.webm"
        << "unknown output format";
    QTest::newRow("no --out") << QStringList{"-s", "format", "png", source("grey")}
                              << d + "/grey.png"
                              << "no output given";
    // Root ignores permission bits; no one can create files in /proc.
    QTest::newRow("unwritable folder")
        << convertArgs("png", source("rgb"), "/proc/morvelle-out.png") << "/proc/morvelle-out.png"
        << "folder does not accept";
    QTest::newRow("missing output folder")
        << convertArgs("png", source("rgb"), d + "/no/such/out.png") << d + "/no/such/out.png"
        << "does not exist";
    const QString self = write("self.png", png);
    QTest::newRow("output is the source")
        << convertArgs("png", self, self) << QString() << "overwrite the source";
    QTest::newRow("output is the source by another name")
        << convertArgs("png", self, d + "/./self.png") << QString() << "overwrite the source";
    QTest::newRow("decompression bomb")
        << convertArgs("jpeg", write("bomb.png", bomb), d + "/bomb.jpeg") << d + "/bomb.jpeg"
        << "too large";
    QTest::newRow("huge svg") << convertArgs(
                                     "png",
                                     write("huge.svg",
                                           "<svg xmlns='http://www.w3.org/2000/svg' width='200000' "
                                           "height='200000'><rect width='10' height='10'/></svg>"),
                                     d + "/huge.png")
                              << d + "/huge.png"
                              << "too large";
}

void TestSips::refusesBadInput() {
    QFETCH(QStringList, args);
    QFETCH(QString, output);
    QFETCH(QString, reason);
    const QString self = dir_.path() + "/bad/self.png";

    Run run = runTool(args);
    QVERIFY(run.status > 0);
    QVERIFY2(run.errorLines.size() == 1, qPrintable(run.errorLines.join('\n')));
    QVERIFY2(run.errorLines[0].startsWith("Error: "), qPrintable(run.errorLines[0]));
    QVERIFY2(run.errorLines[0].contains(reason), qPrintable(run.errorLines[0]));
    if (!output.isEmpty())
        QVERIFY(!QFileInfo::exists(output));
    QVERIFY(leftovers(dir_.path() + "/bad").isEmpty());
    // The source stays as it was.
    VImage untouched = VImage::new_from_file(self.toUtf8().constData());
    QCOMPARE(untouched.width(), 96);
}

void TestSips::leavesNothingWhenWritingFails_data() {
    QTest::addColumn<QString>("shellPrefix");
    QTest::addColumn<bool>("killed");
    // Whatever unit the shell counts ulimit -f in, 16 of them are far below every output
    // of the noise picture (over 100 KiB in each format).
    QTest::newRow("killed mid-write") << "ulimit -f 16" << true;
    QTest::newRow("file size limit reached") << "trap '' XFSZ; ulimit -f 16" << false;
}

void TestSips::leavesNothingWhenWritingFails() {
    QFETCH(QString, shellPrefix);
    QFETCH(bool, killed);
    const QString d = dir_.path() + "/limited";
    QDir(d).removeRecursively();
    QDir().mkpath(d);
    for (const QString format : {"jpeg", "gif", "png", "tiff", "bmp", "tga", "psd", "jp2", "pdf"}) {
        const QString out = d + "/out." + format;
        Run run = runTool({"-s", "format", format, source("noise"), "-o", out}, shellPrefix);
        QVERIFY(run.status != 0);
        QVERIFY2(!QFileInfo::exists(out), qPrintable(format));
        if (killed) {
            // SIGXFSZ cannot be cleaned up after; only a hidden temporary file may remain.
            QVERIFY(run.status == -2);
            QDir(d).removeRecursively();
            QDir().mkpath(d);
        } else {
            QVERIFY2(run.errorLines.size() == 1, qPrintable(run.errorLines.join('\n')));
            QVERIFY2(run.errorLines[0].startsWith("Error: the output is larger"),
                     qPrintable(run.errorLines[0]));
            QVERIFY(leftovers(d).isEmpty());
        }
    }
}

void TestSips::writesGifsThatDecodeAsMeant_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exact"); // at most 256 colours, with transparency counted as one
    const QString d = dir_.path() + "/gif";
    QDir().mkpath(d);
    auto save = [&](const QString& name, const VImage& image) {
        const QString path = d + "/" + name + ".png";
        image.write_to_file(path.toUtf8().constData());
        return path;
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

void TestSips::writesGifsThatDecodeAsMeant() {
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

void TestSips::writesTiffAndJp2ThatDecodeExactly_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("threads");
    const QString d = dir_.path() + "/exact";
    QDir().mkpath(d);
    auto save = [&](const QString& name, const VImage& image, const char* suffix = ".png") {
        const QString path = d + "/" + name + suffix;
        image.write_to_file(path.toUtf8().constData());
        return path;
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
}

void TestSips::writesTiffAndJp2ThatDecodeExactly() {
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
        for (const auto& [actual, meant] : decoded) {
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
            QCOMPARE(qRound(ours.xres() * 25.4), qRound(expected.xres() * 25.4));
            QCOMPARE(qRound(ours.yres() * 25.4), qRound(expected.yres() * 25.4));
        }
        if (expected.interpretation() == VIPS_INTERPRETATION_CMYK)
            QCOMPARE(ours.interpretation(), VIPS_INTERPRETATION_CMYK);
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestSips::parallelWritersStopAtAWriteError_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("threads");
    for (int threads : {1, 3})
        for (const char* format : {"tiff", "jp2"})
            QTest::addRow("%s, %d threads", format, threads) << format << threads;
}

void TestSips::parallelWritersStopAtAWriteError() {
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
    QVERIFY2(run.errorLines[0].startsWith("Error: the output is larger"),
             qPrintable(run.errorLines[0]));
}

void TestSips::writesIntoAFolderUnderTheSourceName() {
    const QString d = dir_.path() + "/into";
    QDir().mkpath(d);
    Run run = runTool({"-s", "format", "jpg", source("rgb"), source("grey"), "--out", d});
    QCOMPARE(run.status, 0);
    QCOMPARE(QDir(d).entryList(QDir::Files | QDir::Hidden), QStringList({"grey.jpg", "rgb.jpg"}));

    run = runTool({"-s", "format", "png", source("rgb"), source("grey"), "--out", d + "/one.png"});
    QVERIFY(run.status != 0);
    QVERIFY(!QFileInfo::exists(d + "/one.png"));
}

void TestSips::reportsProperties_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");
    QTest::newRow("turned jpeg") << "exif-rotated"
                                 << "  format: jpeg\n  pixelWidth: 64\n  pixelHeight: 96\n"
                                    "  hasAlpha: no\n  bitsPerSample: 8\n";
    QTest::newRow("16-bit png") << "16-bit"
                                << "  format: png\n  pixelWidth: 96\n  pixelHeight: 64\n"
                                   "  hasAlpha: no\n  bitsPerSample: 16\n";
    QTest::newRow("bmp, read by a module") << "bmp"
                                           << "  format: bmp\n  pixelWidth: 96\n  pixelHeight: 64\n"
                                              "  hasAlpha: no\n  bitsPerSample: 8\n";
    QTest::newRow("animated gif") << "animated"
                                  << "  format: gif\n  pixelWidth: 96\n  pixelHeight: 64\n"
                                     "  hasAlpha: yes\n  bitsPerSample: 8\n";
}

void TestSips::reportsProperties() {
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    Run run = runTool({"-g", "format", "-g", "pixelWidth", "--getProperty", "pixelHeight", "-g",
                       "hasAlpha", "-g", "bitsPerSample", source(kind)});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, source(kind) + "\n" + expected);
}

void TestSips::readsCommandLines_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("quality");
    QTest::addColumn<bool>("best");

    QTest::newRow("the application's command")
        << QStringList{"--setProperty", "format",  "jp2",   "--setProperty", "formatOptions",
                       "best",          "a b.png", "--out", "a b.png.jp2"}
        << true << "jp2" << 100 << true;
    QTest::newRow("short options, jpg, percentage")
        << QStringList{"-s", "format", "JPG", "-s", "formatOptions", "70%", "x", "-o", "y"} << true
        << "jpg" << 70 << false;
    QTest::newRow("named quality")
        << QStringList{"-s", "formatOptions", "low", "-s", "format", "jpeg", "x", "-o", "y"} << true
        << "jpeg" << 40 << false;
    QTest::newRow("quality out of range")
        << QStringList{"-s", "format", "jpeg", "-s", "formatOptions", "101", "x", "-o", "y"}
        << false << "" << 0 << false;
    QTest::newRow("unknown option")
        << QStringList{"--rotate", "90", "x", "-o", "y"} << false << "" << 0 << false;
    QTest::newRow("unknown property")
        << QStringList{"-s", "dpi", "72", "x", "-o", "y"} << false << "" << 0 << false;
    QTest::newRow("no format") << QStringList{"x", "-o", "y"} << false << "" << 0 << false;
    QTest::newRow("no source") << QStringList{"-s", "format", "png", "-o", "y"} << false << "" << 0
                               << false;
    QTest::newRow("missing value")
        << QStringList{"x", "-o", "y", "-s", "format"} << false << "" << 0 << false;
    QTest::newRow("get and set at once")
        << QStringList{"-g", "format", "-s", "format", "png", "x", "-o", "y"} << false << "" << 0
        << false;
}

void TestSips::readsCommandLines() {
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, format);
    QFETCH(int, quality);
    QFETCH(bool, best);
    std::vector<std::string> words;
    for (const QString& arg : args)
        words.push_back(arg.toStdString());
    sips::ParseResult result = sips::parseArguments(words);
    QCOMPARE(result.ok, ok);
    if (!ok) {
        QVERIFY(!result.error.empty());
        return;
    }
    QCOMPARE(QString(result.options.format->word), format);
    QCOMPARE(result.options.quality.percent, quality);
    QCOMPARE(result.options.quality.best, best);
    QCOMPARE(result.options.sources.size(), size_t(1));
}

QTEST_GUILESS_MAIN(TestSips)
#include "tst_sips.moc"
