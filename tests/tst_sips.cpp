// End-to-end tests of the conversion tool: real images, made here with libvips, are
// converted by the built `sips` program and read back.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <libdeflate.h>
#include <random>
#include <unistd.h>
#include <vips/vips8>
#include <zlib.h>

#include "core/failure.h"
#include "core/options.h"
#include "core/output_file.h"
#include "heldjob.h"
#include "outputcheck.h"
#include "runtimefolder.h"
#include "writers/deflate_parallel.h"

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

// A decoding in the band layout of the picture it is compared with. ImageMagick gives a grey
// picture as one band (two with alpha) in some releases and as three equal colour bands (four
// with alpha) in others, and not alike for every file type. Colour bands become one grey band
// only where they are equal everywhere; any others stay, and fail the comparison.
VImage inLayoutOf(const VImage& decoded, const VImage& other) {
    if (other.bands() > 2 || decoded.bands() < 3 || decoded.bands() > 4)
        return decoded;
    if (((decoded[0] != decoded[1]) | (decoded[0] != decoded[2])).max() > 0)
        return decoded;
    VImage grey = decoded.bands() == 4 ? decoded[0].bandjoin(decoded[3]) : decoded[0];
    return grey.copy(VImage::option()->set("interpretation", decoded.format() == VIPS_FORMAT_USHORT
                                                                 ? VIPS_INTERPRETATION_GREY16
                                                                 : VIPS_INTERPRETATION_B_W));
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

// A picture of noise, which compresses badly: the tool has much to do after its temporary
// file is open.
QString writeNoise(const QString& folder) {
    const QString path = folder + "/noise.png";
    const VImage noise = VImage::gaussnoise(1200, 1200, VImage::option()->set("sigma", 60));
    VImage::bandjoin(std::vector<VImage>{noise, noise.rot90(), noise.rot180()})
        .cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .pngsave(path.toUtf8().constData(), VImage::option()->set("compression", 1));
    return path;
}

// Starts the tool and returns once its hidden temporary file is open in the folder, the job
// held there: it is then writing, and cannot finish before it is let go.
bool startWriting(QProcess& tool, const QString& program, const QStringList& args,
                  const QString& folder, testsupport::HeldJob& job) {
    tool.start(program, args);
    QElapsedTimer waited;
    waited.start();
    // Looked for without pause, so that the job has done next to nothing when it is held.
    while (!job.hold(folder)) {
        if (waited.elapsed() > 60000)
            return false;
        ::usleep(200);
    }
    return true;
}

quint32 crc32Of(const QByteArray& bytes) {
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

// A PNG as its chunks, so that one can be damaged on purpose, and back with right checksums.
struct PngChunk {
    QByteArray type;
    QByteArray data;
};

quint32 bigEndian(const QByteArray& bytes, int at) {
    return quint32(quint8(bytes[at])) << 24 | quint32(quint8(bytes[at + 1])) << 16 |
           quint32(quint8(bytes[at + 2])) << 8 | quint8(bytes[at + 3]);
}

QByteArray bigEndianBytes(quint32 value) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (24 - 8 * i));
    return bytes;
}

QList<PngChunk> pngChunks(const QByteArray& png) {
    QList<PngChunk> chunks;
    for (int at = 8; at + 12 <= png.size();) {
        const int length = int(bigEndian(png, at));
        chunks.append({png.mid(at + 4, 4), png.mid(at + 8, length)});
        at += 12 + length;
    }
    return chunks;
}

QByteArray pngFile(const QList<PngChunk>& chunks) {
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    for (const PngChunk& chunk : chunks) {
        const QByteArray typed = chunk.type + chunk.data;
        png += bigEndianBytes(quint32(chunk.data.size())) + typed + bigEndianBytes(crc32Of(typed));
    }
    return png;
}

// The picture's compressed data as one chunk, so that damage lands where it is meant to.
QList<PngChunk> withOneIdat(const QByteArray& png) {
    QList<PngChunk> chunks;
    for (const PngChunk& chunk : pngChunks(png)) {
        if (chunk.type != "IDAT")
            chunks.append(chunk);
        else if (chunks.last().type == "IDAT")
            chunks.last().data += chunk.data;
        else
            chunks.append(chunk);
    }
    return chunks;
}

PngChunk& chunkOf(QList<PngChunk>& chunks, const QByteArray& type) {
    for (PngChunk& chunk : chunks)
        if (chunk.type == type)
            return chunk;
    qFatal("no %s chunk", type.constData());
}

QByteArray flipped(QByteArray bytes, int from, int to, int step) {
    for (int i = from; i < to; i += step)
        bytes[i] = char(bytes[i] ^ 0x10);
    return bytes;
}

QByteArray zeroed(QByteArray bytes, int from, int to) {
    for (int i = from; i < to; ++i)
        bytes[i] = '\0';
    return bytes;
}

// A binary PPM of an 8-bit sRGB picture, with `comments` in its header.
QByteArray ppmOf(const VImage& rgb, const QByteArray& comments) {
    size_t size = 0;
    void* pixels = rgb.write_to_memory(&size);
    QByteArray ppm = "P6\n" + comments + QByteArray::number(rgb.width()) + " " +
                     QByteArray::number(rgb.height()) + "\n" + comments + "255\n";
    ppm.append(static_cast<const char*>(pixels), qsizetype(size));
    g_free(pixels);
    return ppm;
}

// A PNG chunk of this type and data, with its length and checksum.
QByteArray pngChunk(const QByteArray& type, const QByteArray& data) {
    return bigEndianBytes(quint32(data.size())) + type + data +
           bigEndianBytes(crc32Of(type + data));
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Gives `path` to something else: a file of these bytes, a symbolic link to "gone" beside
// it, which does not exist, or a folder; "nothing" leaves it free.
bool putInTheWay(const QString& what, const QString& path, const QByteArray& bytes) {
    if (what == "file")
        return writeBytes(path, bytes);
    if (what == "dangling link")
        return QFile::link(QFileInfo(path).absolutePath() + "/gone", path);
    if (what == "folder")
        return QDir().mkdir(path);
    return what == "nothing";
}

// The sRGB encoding of linear light from 0 to 1.
double srgbEncoded(double light) {
    return light <= 0.0031308 ? light * 12.92 : 1.055 * std::pow(light, 1 / 2.4) - 0.055;
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

// The largest difference between two decoded pictures of the same layout.
double largestDifference(const VImage& a, const VImage& b) {
    return (a.cast(VIPS_FORMAT_INT) - b.cast(VIPS_FORMAT_INT)).abs().max();
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

class TestSips : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void convertsEveryKindToEveryFormat_data();
    void convertsEveryKindToEveryFormat();
    void refusesBadInput_data();
    void refusesBadInput();
    void refusesDamagedInput_data();
    void refusesDamagedInput();
    void convertsUnusualButWholeInput_data();
    void convertsUnusualButWholeInput();
    void readsNamesEndingInBrackets_data();
    void readsNamesEndingInBrackets();
    void svgReadsNothingBeyondThePicture_data();
    void svgReadsNothingBeyondThePicture();
    void leavesNothingWhenWritingFails_data();
    void leavesNothingWhenWritingFails();
    void writesGifsThatDecodeAsMeant_data();
    void writesGifsThatDecodeAsMeant();
    void writesPngsThatDecodeExactly_data();
    void writesPngsThatDecodeExactly();
    void writesPdfsThatReadBackExactly_data();
    void writesPdfsThatReadBackExactly();
    void writesTiffAndJp2ThatDecodeExactly_data();
    void writesTiffAndJp2ThatDecodeExactly();
    void parallelWritersStopAtAWriteError_data();
    void parallelWritersStopAtAWriteError();
    void joinsDeflatedChunksIntoOneStream_data();
    void joinsDeflatedChunksIntoOneStream();
    void writesIntoAFolderUnderTheSourceName();
    void convertsTurnedAndUprightPicturesInOneRun_data();
    void convertsTurnedAndUprightPicturesInOneRun();
    void reportsProperties_data();
    void reportsProperties();
    void readsCommandLines_data();
    void readsCommandLines();
    void pointsToHelpOnUsageErrors_data();
    void pointsToHelpOnUsageErrors();
    void neverReplacesWhatTakesTheName_data();
    void neverReplacesWhatTakesTheName();
    void refusesATakenOutputName_data();
    void refusesATakenOutputName();
    void keepsAFileMadeWhileConverting();
    void writesLongNames_data();
    void writesLongNames();
    void keepsIgnoredSignalsIgnored_data();
    void keepsIgnoredSignalsIgnored();
    void namesTheOutputFormatsLimit_data();
    void namesTheOutputFormatsLimit();
    void showsPngGammaAsMeant_data();
    void showsPngGammaAsMeant();
    void readsGreyTargas_data();
    void readsGreyTargas();
    void readsWhatOnlyImageMagickReads();

private:
    void checkConversion();
    QString source(const QString& kind) const { return sources_.value(kind); }
    // An empty folder of this name in the test's folder.
    QString freshFolder(const QString& name) const {
        const QString path = dir_.filePath(name);
        QDir(path).removeRecursively();
        return QDir().mkpath(path) ? path : QString();
    }

    const testsupport::RuntimeFolder runtime_;
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

void TestSips::refusesBadInput_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("reason");

    const QString d = dir_.path() + "/bad";
    QDir().mkpath(d);
    auto write = [&](const QString& name, const QByteArray& bytes) {
        return writeFile(d + "/" + name, bytes);
    };
    const QByteArray jpeg = bytesOf(source("exif-rotated"));
    const QByteArray png = bytesOf(source("rgb"));
    QByteArray corrupt = png;
    for (int i = corrupt.size() / 3; i < corrupt.size() - 20; i += 7)
        corrupt[i] = char(corrupt[i] ^ 0x5a);

    // A 20000 x 20000 PNG header over a few bytes of data: the classic decompression bomb.
    QByteArray bomb = png;
    bomb.replace(16, 4, bigEndianBytes(20000));
    bomb.replace(20, 4, bigEndianBytes(20000));
    bomb.replace(29, 4, bigEndianBytes(crc32Of(bomb.mid(12, 17))));

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
        << "cut short";
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
    QTest::newRow("huge svg, sized by its view box alone")
        << convertArgs("png",
                       write("huge-view.svg", "<svg xmlns='http://www.w3.org/2000/svg' "
                                              "viewBox='0 0 17000 17000'><rect width='10' "
                                              "height='10'/></svg>"),
                       d + "/huge-view.png")
        << d + "/huge-view.png"
        << "(17000 x 17000 pixels)";
    QTest::newRow("huge svg, sized in inches")
        << convertArgs("png",
                       write("huge-inches.svg", "<svg xmlns='http://www.w3.org/2000/svg' "
                                                "width='300in' height='300in'><rect width='10' "
                                                "height='10'/></svg>"),
                       d + "/huge-inches.png")
        << d + "/huge-inches.png"
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

void TestSips::refusesDamagedInput_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("reason");

    // Noise compresses badly, so every format's data is long enough to damage in many places.
    // Seeded, so that each run damages the same data.
    const VImage grain =
        VImage::gaussnoise(256, 256, VImage::option()->set("sigma", 60)->set("seed", 9));
    const VImage noise =
        VImage::bandjoin(
            std::vector<VImage>{grain, grain.rot180(), grain.flip(VIPS_DIRECTION_VERTICAL)})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    const QString d = dir_.path() + "/damaged";
    QDir().mkpath(d);
    noise.pngsave((d + "/noise.png").toUtf8().constData());
    const QByteArray png = bytesOf(d + "/noise.png");
    noise.jpegsave((d + "/noise.jpg").toUtf8().constData());
    const QByteArray jpeg = bytesOf(d + "/noise.jpg");
    noise.gifsave((d + "/noise.gif").toUtf8().constData());
    const QByteArray gif = bytesOf(d + "/noise.gif");
    // Longer than the buffer through which a JPEG's end is looked for.
    noise.replicate(4, 4).jpegsave((d + "/large.jpg").toUtf8().constData(),
                                   VImage::option()->set("Q", 100));
    const QByteArray largeJpeg = bytesOf(d + "/large.jpg");
    withAlpha(picture(40, 30))
        .pngsave((d + "/clear.png").toUtf8().constData(), VImage::option()->set("palette", true));
    const QByteArray clearPalette = bytesOf(d + "/clear.png");
    QDir(d).removeRecursively();
    QVERIFY(pngChunks(png).size() > 4);

    const QStringList formats{"jpeg", "gif", "png", "tiff", "bmp", "tga", "psd", "jp2", "pdf"};
    int next = 0;
    auto row = [&](const char* title, const QString& name, const QByteArray& bytes,
                   const QString& reason) {
        QTest::newRow(title) << name << bytes << formats[next++ % formats.size()] << reason;
    };

    for (int percent : {1, 10, 50, 90, 99}) {
        const QByteArray title = "png cut at " + QByteArray::number(percent) + "%";
        row(title, "cut.png", png.left(png.size() * percent / 100), "cut short");
    }
    row("png without its end chunk", "no-end.png", png.left(png.size() - 12),
        "end chunk is missing");

    QList<PngChunk> chunks = withOneIdat(png);
    QByteArray& pixels = chunkOf(chunks, "IDAT").data;
    const QByteArray original = pixels;
    pixels = flipped(original, original.size() / 2, original.size() / 2 + 40, 8);
    row("png with corrupt compressed data", "corrupt.png", pngFile(chunks), "damaged");
    QByteArray unchecked = png;
    unchecked[png.size() / 2] = char(unchecked[png.size() / 2] ^ 0x01);
    row("png with one bit flipped in its pixels", "flipped.png", unchecked, "damaged");
    // The decoder only warns about a text chunk's checksum, and drops the chunk.
    QList<PngChunk> described = pngChunks(png);
    described.insert(1, {"tEXt", QByteArray("Comment\0a note", 14)});
    QByteArray noted = pngFile(described);
    const int textData = 8 + (12 + 13) + 8; // signature, IHDR, the text chunk's head
    noted[textData + 3] = char(noted[textData + 3] ^ 0x01);
    row("png with one bit flipped in a text chunk", "flipped-text.png", noted,
        "checksum does not match");
    pixels = original.left(original.size() * 3 / 4);
    row("png whose compressed data stops early", "short-data.png", pngFile(chunks), "cut short");

    QList<PngChunk> palette = withOneIdat(bytesOf(source("palette")));
    chunkOf(palette, "PLTE").data.truncate(2 * 3);
    row("png with indices past its palette", "short-palette.png", pngFile(palette),
        "palette is broken");
    QList<PngChunk> transparent = withOneIdat(clearPalette);
    const int colours = int(chunkOf(transparent, "PLTE").data.size() / 3);
    chunkOf(transparent, "tRNS").data = QByteArray(colours + 1, '\x80');
    row("png with more transparent entries than colours", "long-trns.png", pngFile(transparent),
        "palette is broken");

    const QByteArray ppm = ppmOf(noise, "");
    row("ppm shorter than its header says", "short.ppm", ppm.left(ppm.size() - 256 * 3),
        "fewer pixels than its header says");
    row("pgm in text, numbers missing", "short.pgm", "P2\n4 3\n255\n1 2 3 4\n5 6 7 8\n9 10\n",
        "fewer pixels than its header says");
    row("pbm shorter than its header says", "short.pbm", "P4\n64 48\n" + QByteArray(8 * 47, '\x55'),
        "fewer pixels than its header says");

    for (int percent : {10, 50, 90, 99}) {
        const QByteArray title = "jpeg cut at " + QByteArray::number(percent) + "%";
        row(title, "cut.jpg", jpeg.left(jpeg.size() * percent / 100), "damaged or cut short");
    }
    // The end marker kept, so that only the data between is wrong.
    row("jpeg with its second half zeroed", "zeroed.jpg",
        zeroed(jpeg, jpeg.size() / 2, jpeg.size() - 2), "damaged");
    row("jpeg with bits flipped", "flipped.jpg",
        flipped(jpeg, jpeg.size() / 3, jpeg.size() - 2, 97), "damaged");
    QVERIFY(largeJpeg.size() > 1024 * 1024);
    row("large jpeg with bytes between its last codes and its end", "padded.jpg",
        largeJpeg.left(largeJpeg.size() - 2) + QByteArray(5000, '\x12') + largeJpeg.right(2),
        "compressed data does not fit the picture");
    row("gif with its tail zeroed", "zeroed.gif", zeroed(gif, gif.size() / 2, gif.size() - 1),
        "damaged");
    row("gif cut at 60%", "cut.gif", gif.left(gif.size() * 6 / 10), "damaged or cut short");
}

void TestSips::refusesDamagedInput() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, format);
    QFETCH(QString, reason);
    const QString d = dir_.path() + "/damaged/" + QTest::currentDataTag();
    QDir(d).removeRecursively();
    QDir().mkpath(d);
    const QString input = writeFile(d + "/" + name, bytes);

    Run run = runTool({"--setProperty", "format", format, "--setProperty", "formatOptions", "best",
                       input, "--out", input + "." + format});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.errorLines.size() == 1, qPrintable(run.errorLines.join('\n')));
    QVERIFY2(run.errorLines[0].startsWith("Error: the image data is "),
             qPrintable(run.errorLines[0]));
    QVERIFY2(run.errorLines[0].contains(reason), qPrintable(run.errorLines[0]));
    QVERIFY2(run.errorLines[0].endsWith(": " + input), qPrintable(run.errorLines[0]));
    // Neither the output nor a hidden temporary file is left beside the source.
    QCOMPARE(QDir(d).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{name});
}

void TestSips::convertsUnusualButWholeInput_data() {
    QTest::addColumn<QString>("path");
    const QString d = dir_.path() + "/unusual";
    QDir().mkpath(d);
    const VImage rgb = picture(96, 64);
    auto save = [&](const QString& name, const VImage& image, vips::VOption* options) {
        const QString path = d + "/" + name;
        image.write_to_file(path.toUtf8().constData(), options);
        return path;
    };
    QTest::newRow("interlaced png")
        << save("interlaced.png", rgb, VImage::option()->set("interlace", true));
    QTest::newRow("interlaced 16-bit png")
        << save("interlaced-deep.png", VImage::new_from_file(source("16-bit").toUtf8().constData()),
                VImage::option()->set("interlace", true));
    QTest::newRow("interlaced 2-bit palette png")
        << save("interlaced-palette.png", rgb.colourspace(VIPS_INTERPRETATION_B_W),
                VImage::option()->set("palette", true)->set("bitdepth", 2)->set("interlace", true));
    QTest::newRow("palette png with transparency")
        << save("palette-alpha.png", withAlpha(rgb), VImage::option()->set("palette", true));
    QTest::newRow("grey png with alpha, 16-bit") << source("16-bit-alpha");
    QTest::newRow("progressive jpeg")
        << save("progressive.jpg", rgb, VImage::option()->set("interlace", true));
    QTest::newRow("jpeg with restart markers")
        << save("restarts.jpg", rgb, VImage::option()->set("restart_interval", 1));
    QTest::newRow("jpeg of over a megabyte, with restart markers")
        << save("large-restarts.jpg",
                VImage::gaussnoise(1200, 900, VImage::option()->set("seed", 4))
                    .cast(VIPS_FORMAT_UCHAR)
                    .bandjoin_const({128, 64})
                    .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)),
                VImage::option()->set("Q", 100)->set("restart_interval", 2));
    // As phones append a video or a second picture after the first one's end.
    const QString second = save("second.jpg", picture(30, 20), nullptr);
    QTest::newRow("jpeg with another file after its end")
        << writeFile(d + "/appended.jpg", bytesOf(save("first.jpg", rgb, nullptr)) +
                                              bytesOf(second) + QByteArray(5000, '\xff'));
    QTest::newRow("png with bytes after its end")
        << writeFile(d + "/trailing.png", bytesOf(source("rgb")) + "some trailing bytes");
    QList<PngChunk> split = withOneIdat(bytesOf(source("noise")));
    const QByteArray stream = chunkOf(split, "IDAT").data;
    QList<PngChunk> manyIdats;
    for (const PngChunk& chunk : split) {
        if (chunk.type != "IDAT")
            manyIdats.append(chunk);
        else
            for (int at = 0; at < stream.size(); at += 1000)
                manyIdats.append({"IDAT", stream.mid(at, 1000)});
    }
    QTest::newRow("png with many small data chunks")
        << writeFile(d + "/many-idat.png", pngFile(manyIdats));
    QTest::newRow("ppm with comments")
        << writeFile(d + "/comments.ppm", ppmOf(rgb, "# made by a test\n"));
    QTest::newRow("pgm in text") << writeFile(
        d + "/text.pgm", "P2\n# four by two\n4 2\n255\n0 32 64 96\n128 160\n192 "
                         "255\n");
    QTest::newRow("pbm in text, digits run together")
        << writeFile(d + "/text.pbm", "P1\n5 2\n01010\n1 0 1 0 1\n");
}

void TestSips::convertsUnusualButWholeInput() {
    QFETCH(QString, path);
    const QString output = path + ".out.png";
    Run run = runTool({"-s", "format", "png", path, "-o", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    QVERIFY2(run.errorLines.isEmpty(), qPrintable(run.errorLines.join('\n')));
    try {
        const VImage source = VImage::new_from_file(path.toUtf8().constData());
        const VImage out = VImage::new_from_file(output.toUtf8().constData());
        QCOMPARE(out.width(), source.width());
        QCOMPARE(out.height(), source.height());
        const bool sixteenBit = source.format() == VIPS_FORMAT_USHORT;
        VImage expected = asRgba(comparable(source, sixteenBit));
        VImage actual = asRgba(comparable(out, sixteenBit));
        const VImage difference =
            (actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs();
        QCOMPARE(difference.max(), 0.0);
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestSips::readsNamesEndingInBrackets_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("format");
    // Each name, read as libvips or ImageMagick would read it, means the twin beside it (the
    // name without its brackets) or a load option that changes the picture.
    QTest::newRow("png") << "photo.png[x]"
                         << "png";
    QTest::newRow("jpeg with a shrink option") << "photo.jpg[shrink=2]"
                                               << "jpeg";
    QTest::newRow("jpeg named like a png") << "photo.png[0]"
                                           << "jpeg";
    QTest::newRow("bmp, read by a module") << "photo.bmp[0]"
                                           << "bmp";
    QTest::newRow("svg with a scale option") << "drawing.svg[scale=2]"
                                             << "svg";
}

void TestSips::readsNamesEndingInBrackets() {
    QFETCH(QString, name);
    QFETCH(QString, format);
    const QString twin = name.left(name.lastIndexOf('['));
    const QString d = dir_.path() + "/brackets/" + QTest::currentDataTag();
    QDir(d).removeRecursively();
    QDir().mkpath(d);
    const VImage meant = picture(60, 40);
    const VImage other = picture(30, 50).invert();
    // Written through memory: savers, like loaders, read options out of a name.
    auto save = [&](const QString& path, const VImage& image) {
        VipsBlob* blob = nullptr;
        if (format == "png")
            blob = image.pngsave_buffer();
        else if (format == "jpeg")
            blob = image.jpegsave_buffer(VImage::option()->set("Q", 100));
        else if (format == "bmp")
            blob = image.magicksave_buffer(VImage::option()->set("format", "bmp"));
        if (!blob) {
            writeFile(path, QString("<svg xmlns='http://www.w3.org/2000/svg' width='%1' "
                                    "height='%2'><rect width='100%' height='100%' "
                                    "fill='#336699'/></svg>")
                                .arg(image.width())
                                .arg(image.height())
                                .toUtf8());
            return;
        }
        size_t size = 0;
        const void* data = vips_blob_get(blob, &size);
        writeFile(path, QByteArray(static_cast<const char*>(data), qsizetype(size)));
        vips_area_unref(VIPS_AREA(blob));
    };
    save(d + "/" + name, meant);
    save(d + "/" + twin, other);

    Run run = runTool({"-g", "format", "-g", "pixelWidth", "-g", "pixelHeight", d + "/" + name});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out,
             d + "/" + name + "\n  format: " + format + "\n  pixelWidth: 60\n  pixelHeight: 40\n");

    const QString output = d + "/out.png";
    run = runTool({"-s", "format", "png", d + "/" + name, "--out", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    try {
        const VImage out = VImage::new_from_file(output.toUtf8().constData());
        QCOMPARE(out.width(), 60);
        QCOMPARE(out.height(), 40);
        if (format != "svg") {
            const VImage difference =
                (comparable(out, false).cast(VIPS_FORMAT_INT) - meant.cast(VIPS_FORMAT_INT)).abs();
            QVERIFY2(difference.avg() < 1.5, qPrintable(QString::number(difference.avg())));
        }
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestSips::svgReadsNothingBeyondThePicture_data() {
    QTest::addColumn<QString>("reference");
    const QString d = dir_.path() + "/svg";
    QDir().mkpath(d);
    writeFile(d + "/secret.txt", "PRIVATE WORDS FROM ANOTHER FILE");
    picture(200, 60).pngsave((d + "/beside.png").toUtf8().constData());
    QTest::newRow("xi:include of a text file")
        << "<text x='5' y='40' font-size='24' fill='black'><xi:include href='secret.txt' "
           "parse='text'/></text>";
    QTest::newRow("xi:include by absolute file URL")
        << "<text x='5' y='40' font-size='24' fill='black'><xi:include href='file://" + d +
               "/secret.txt' parse='text'/></text>";
    QTest::newRow("image beside it") << "<image href='beside.png' xlink:href='beside.png' "
                                        "width='200' height='60'/>";
    QTest::newRow("image by absolute file URL")
        << "<image xlink:href='file://" + d + "/beside.png' width='200' height='60'/>";
}

void TestSips::svgReadsNothingBeyondThePicture() {
    QFETCH(QString, reference);
    const QString d = dir_.path() + "/svg";
    auto svg = [](const QString& body) {
        return ("<svg xmlns='http://www.w3.org/2000/svg' "
                "xmlns:xi='http://www.w3.org/2001/XInclude' "
                "xmlns:xlink='http://www.w3.org/1999/xlink' width='200' height='60'>"
                "<rect width='200' height='60' fill='white'/>" +
                body + "</svg>")
            .toUtf8();
    };
    const QString with = writeFile(d + "/with.svg", svg(reference));
    const QString without = writeFile(d + "/without.svg", svg(QString()));
    try {
        // Read straight from its file, the SVG does show what it refers to...
        const VImage followed = VImage::svgload(with.toUtf8().constData());
        const VImage plain = VImage::svgload(without.toUtf8().constData());
        const bool shows =
            (followed.cast(VIPS_FORMAT_INT) - plain.cast(VIPS_FORMAT_INT)).abs().max() > 0;
        if (!shows && reference.contains("file://"))
            QSKIP("this librsvg follows no absolute file URL at all");
        QVERIFY(shows);

        // ...but the tool's output is the picture alone.
        for (const QString& input : {with, without}) {
            QFile::remove(input + ".png");
            Run run = runTool({"-s", "format", "png", input, "--out", input + ".png"});
            QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
        }
        const VImage converted = VImage::new_from_file((with + ".png").toUtf8().constData());
        const VImage alone = VImage::new_from_file((without + ".png").toUtf8().constData());
        QCOMPARE((converted.cast(VIPS_FORMAT_INT) - alone.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
    } catch (const vips::VError& error) {
        QFAIL(error.what());
    }
}

void TestSips::leavesNothingWhenWritingFails_data() {
    QTest::addColumn<QString>("shellPrefix");
    // Whatever unit the shell counts ulimit -f in, 16 of them are far below every output
    // of the noise picture (over 100 KiB in each format).
    QTest::newRow("file size limit") << "ulimit -f 16";
    QTest::newRow("file size limit, signal ignored") << "trap '' XFSZ; ulimit -f 16";
}

void TestSips::leavesNothingWhenWritingFails() {
    QFETCH(QString, shellPrefix);
    const QString d = dir_.path() + "/limited";
    QDir(d).removeRecursively();
    QDir().mkpath(d);
    for (const QString format : {"jpeg", "gif", "png", "tiff", "bmp", "tga", "psd", "jp2", "pdf"}) {
        const QString out = d + "/out." + format;
        Run run = runTool({"-s", "format", format, source("noise"), "-o", out}, shellPrefix);
        QCOMPARE(run.status, 1);
        QVERIFY2(!QFileInfo::exists(out), qPrintable(format));
        QCOMPARE(run.errorLines,
                 QStringList{"Error: the output would exceed the file size limit: " + out});
        QVERIFY(leftovers(d).isEmpty());
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

void TestSips::writesPngsThatDecodeExactly_data() {
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

void TestSips::writesPngsThatDecodeExactly() {
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
    // A strip's end code is as wide as a code after its last would be: 10 bits after entry 511,
    // 9 bits after the clear code that follows entry 4093.
    QTest::newRow("last code widening the codes, to tiff")
        << save("wider", rowOfSingleByteCodes(254)) << "tiff" << 1;
    QTest::newRow("last code filling the table, to tiff")
        << save("full", rowOfSingleByteCodes(3836)) << "tiff" << 1;
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

void TestSips::writesPdfsThatReadBackExactly_data() {
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

void TestSips::writesPdfsThatReadBackExactly() {
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

void TestSips::parallelWritersStopAtAWriteError_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("threads");
    for (int threads : {1, 3})
        for (const char* format : {"tiff", "jp2", "png", "pdf"})
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
    QVERIFY2(run.errorLines[0].startsWith("Error: the output would exceed the file size limit"),
             qPrintable(run.errorLines[0]));
}

void TestSips::joinsDeflatedChunksIntoOneStream_data() {
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

void TestSips::joinsDeflatedChunksIntoOneStream() {
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

// A turned picture is read whole and an upright one streamed, each through buffers of its
// own shape; several sources in one run must not pass that on from one to the next.
void TestSips::convertsTurnedAndUprightPicturesInOneRun_data() {
    QTest::addColumn<QString>("format");
    for (const char* format : {"png", "tiff", "bmp", "jp2"})
        QTest::newRow(format) << format;
}

void TestSips::convertsTurnedAndUprightPicturesInOneRun() {
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

void TestSips::pointsToHelpOnUsageErrors_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown option")
        << QStringList{"--foo", "x", "-o", "y"} << "Error: unknown option: --foo";
    QTest::newRow("missing value")
        << QStringList{"x", "-o", "y", "-s", "format"} << "Error: -s needs a key and a value";
    QTest::newRow("no source") << QStringList{"-s", "format", "png", "-o", "y"}
                               << "Error: no image file given";
}

void TestSips::pointsToHelpOnUsageErrors() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QProcess tool;
    tool.start(QStringLiteral(SIPS_TOOL), args);
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 2);
    QCOMPARE(tool.readAllStandardOutput(), QByteArray());
    QCOMPARE(QString::fromUtf8(tool.readAllStandardError()),
             error + "\nTry 'sips --help' for more information.\n");
}

void TestSips::neverReplacesWhatTakesTheName_data() {
    QTest::addColumn<bool>("throughLink"); // the way for file systems without exclusive rename
    QTest::addColumn<QString>("inTheWay");
    for (bool link : {false, true})
        for (const char* what : {"nothing", "file", "dangling link", "folder"})
            QTest::addRow("%s, %s", link ? "link" : "rename", what) << link << QString(what);
}

void TestSips::neverReplacesWhatTakesTheName() {
    QFETCH(bool, throughLink);
    QFETCH(QString, inTheWay);
    const QString d = freshFolder("taken-meanwhile");
    QVERIFY(!d.isEmpty());
    const QString target = d + "/out.png";
    const QByteArray theirs = "made by someone else after the name was found free\n";
    const QByteArray ours = "the finished output\n";

    if (throughLink) {
        const QString temp = d + "/.out.png.sips-abcdef";
        QVERIFY(writeBytes(temp, ours));
        QVERIFY(putInTheWay(inTheWay, target, theirs));
        const int result = sips::linkWithoutReplacing(temp.toStdString(), target.toStdString());
        QCOMPARE(result, inTheWay == "nothing" ? 0 : EEXIST);
        if (result != 0) {
            QCOMPARE(bytesOf(temp), ours);
            QVERIFY(QFile::remove(temp));
        }
    } else {
        bool refused = false;
        {
            sips::OutputFile out(target.toStdString());
            out.write(ours.constData(), size_t(ours.size()));
            QVERIFY(putInTheWay(inTheWay, target, theirs));
            try {
                out.commit();
            } catch (const sips::NameTaken& taken) {
                refused = true;
                QCOMPARE(QString::fromStdString(taken.path()), target);
            }
        }
        QCOMPARE(refused, inTheWay != "nothing");
    }

    QVERIFY(leftovers(d).isEmpty());
    const QFileInfo info(target);
    if (inTheWay == "nothing") {
        QCOMPARE(bytesOf(target), ours);
    } else if (inTheWay == "file") {
        QCOMPARE(bytesOf(target), theirs);
    } else if (inTheWay == "dangling link") {
        QVERIFY(info.isSymLink());
        QCOMPARE(info.symLinkTarget(), d + "/gone");
        QVERIFY(!info.exists());
    } else {
        QVERIFY(info.isDir());
        QVERIFY(QDir(target).isEmpty());
    }
}

void TestSips::refusesATakenOutputName_data() {
    QTest::addColumn<QString>("inTheWay");
    QTest::addColumn<bool>("missingSourceToo");
    QTest::addColumn<int>("status");
    QTest::newRow("a file") << "file" << false << 3;
    QTest::newRow("a dangling symbolic link") << "dangling link" << false << 3;
    QTest::newRow("a file, and a missing source") << "file" << true << 1;
}

void TestSips::refusesATakenOutputName() {
    QFETCH(QString, inTheWay);
    QFETCH(bool, missingSourceToo);
    QFETCH(int, status);
    const QString d = freshFolder("taken");
    QVERIFY(!d.isEmpty());
    const QString taken = d + "/rgb.png";
    const QByteArray theirs = "someone else's file\n";
    QVERIFY(putInTheWay(inTheWay, taken, theirs));

    QStringList args{"-s", "format", "png", source("rgb"), source("grey")};
    if (missingSourceToo)
        args << d + "/missing.png";
    Run run = runTool(args << "--out" << d);
    QCOMPARE(run.status, status);
    QCOMPARE(run.errorLines.size(), missingSourceToo ? 2 : 1);
    QCOMPARE(run.errorLines[0], "Error: a file of this name already exists: " + taken);
    if (inTheWay == "file")
        QCOMPARE(bytesOf(taken), theirs);
    else
        QCOMPARE(QFileInfo(taken).symLinkTarget(), d + "/gone");
    // The other source is converted all the same.
    QCOMPARE(VImage::new_from_file((d + "/grey.png").toUtf8().constData()).width(), 96);
    QVERIFY(leftovers(d).isEmpty());
}

void TestSips::keepsAFileMadeWhileConverting() {
    const QString d = freshFolder("made-meanwhile");
    QVERIFY(!d.isEmpty());
    const QString input = writeNoise(d);
    const QString output = d + "/out.png";
    QProcess tool;
    testsupport::HeldJob job;
    QVERIFY(startWriting(tool, SIPS_TOOL, {"-s", "format", "png", input, "-o", output}, d, job));

    // Made after the tool found the name free, as another program would make it.
    const QByteArray theirs = "someone else's file\n";
    QFile file(output);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
    QCOMPARE(file.write(theirs), theirs.size());
    file.close();

    job.release();
    QVERIFY(tool.waitForFinished(300000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 3);
    QCOMPARE(QString::fromUtf8(tool.readAllStandardError()),
             "Error: a file of this name already exists: " + output + "\n");
    QCOMPARE(bytesOf(output), theirs);
    QVERIFY(leftovers(d).isEmpty());
}

void TestSips::writesLongNames_data() {
    QTest::addColumn<QByteArray>("name"); // the output's, as bytes
    auto named = [](const QByteArray& piece, int bytes) {
        const QByteArray ending = ".tiff";
        QByteArray name;
        while (name.size() + piece.size() + ending.size() <= bytes)
            name += piece;
        return name + QByteArray(bytes - ending.size() - name.size(), 'x') + ending;
    };
    QTest::newRow("250 bytes of ASCII") << named("a", 250);
    QTest::newRow("250 bytes of two-byte characters") << named("\xc3\xa9", 250);
    QTest::newRow("250 bytes of three-byte characters") << named("\xe2\x82\xac", 250);
    QTest::newRow("255 bytes, the longest name") << named("\xc3\xbc", 255);
}

void TestSips::writesLongNames() {
    QFETCH(QByteArray, name);
    QCOMPARE(name.size() >= 250, true);
    const QString d = freshFolder("long");
    QVERIFY(!d.isEmpty());
    const QString output = d + "/" + QFile::decodeName(name);
    const QString input = d + "/" + QFile::decodeName(name.chopped(5) + ".png");
    QVERIFY(QFile::copy(source("rgb"), input));

    {
        // The hidden temporary name fits, and begins with as much of the name as fits
        // without splitting a character.
        sips::OutputFile out(QFile::encodeName(output).toStdString());
        const std::string temp = out.tempPath().substr(out.tempPath().rfind('/') + 1);
        QVERIFY2(temp.size() <= 255, temp.c_str());
        QCOMPARE(temp[0], '.');
        const QByteArray kept = QByteArray::fromStdString(temp.substr(1, temp.rfind(".sips-") - 1));
        QVERIFY(name.startsWith(kept));
        QVERIFY(kept.size() > 230);
        QCOMPARE(QString::fromUtf8(kept).toUtf8(), kept);
    }
    QVERIFY(leftovers(d).isEmpty());

    Run run = runTool({"-s", "format", "tiff", input, "--out", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    QVERIFY(leftovers(d).isEmpty());
    const VImage expected = VImage::new_from_file(source("rgb").toUtf8().constData());
    const VImage actual = VImage::new_from_file(QFile::encodeName(output).constData());
    QCOMPARE(actual.width(), expected.width());
    QCOMPARE(actual.height(), expected.height());
    QCOMPARE((actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
}

void TestSips::keepsIgnoredSignalsIgnored_data() {
    QTest::addColumn<QStringList>("launcher"); // runs the tool with the words after it
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("ignored");
    const QString trap = "trap '' %1; exec \"$0\" \"$@\"";
    QTest::newRow("SIGHUP under nohup") << QStringList{"nohup"} << SIGHUP << true;
    QTest::newRow("SIGINT ignored by the shell")
        << QStringList{"/bin/sh", "-c", trap.arg("INT")} << SIGINT << true;
    QTest::newRow("SIGTERM ignored by the shell")
        << QStringList{"/bin/sh", "-c", trap.arg("TERM")} << SIGTERM << true;
    QTest::newRow("SIGHUP") << QStringList{} << SIGHUP << false;
    QTest::newRow("SIGTERM") << QStringList{} << SIGTERM << false;
}

void TestSips::keepsIgnoredSignalsIgnored() {
    QFETCH(QStringList, launcher);
    QFETCH(int, signal);
    QFETCH(bool, ignored);
    const QString d = freshFolder("signals");
    QVERIFY(!d.isEmpty());
    const QString input = writeNoise(d);
    const QString output = d + "/out.png";
    QStringList words = launcher.mid(1);
    words << SIPS_TOOL << "-s"
          << "format"
          << "png" << input << "-o" << output;
    const QString program = launcher.isEmpty() ? words.takeFirst() : launcher.first();
    QProcess tool;
    testsupport::HeldJob job;
    // The hidden temporary file is made once the tool has set up its signals.
    QVERIFY(startWriting(tool, program, words, d, job));
    QCOMPARE(::kill(pid_t(tool.processId()), signal), 0);
    // The output's name is not there yet, so the signal came while the tool was writing.
    QVERIFY(!QFileInfo::exists(output));
    // An ignored signal is dropped as it is sent; one that counts reaches the job, which
    // takes it first when let go.
    if (ignored)
        job.release();
    else
        QVERIFY(QTest::qWaitFor([&] { return job.releaseOnce(signal); }, 60000));
    QVERIFY(tool.waitForFinished(300000));

    if (ignored) {
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
        const VImage expected = VImage::new_from_file(input.toUtf8().constData());
        const VImage actual = VImage::new_from_file(output.toUtf8().constData());
        QCOMPARE(actual.width(), 1200);
        QCOMPARE((actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
    } else {
        QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
        QVERIFY(!QFileInfo::exists(output));
    }
    QVERIFY2(leftovers(d).isEmpty(), qPrintable(leftovers(d).join(' ')));
}

void TestSips::namesTheOutputFormatsLimit_data() {
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

void TestSips::namesTheOutputFormatsLimit() {
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

void TestSips::showsPngGammaAsMeant_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("chunks"); // put after the header chunk
    QTest::addColumn<double>("gamma");      // the file's, or 0 where the samples are sRGB
    QTest::addColumn<QString>("format");
    const QByteArray linear = pngChunk("gAMA", bigEndianBytes(100000));
    QTest::newRow("gamma 1.0 to PNG") << "rgb" << linear << 1.0 << "png";
    QTest::newRow("gamma 1.0 to TIFF") << "rgb" << linear << 1.0 << "tiff";
    QTest::newRow("gamma 1.0 to TGA") << "rgb" << linear << 1.0 << "tga";
    QTest::newRow("gamma 1.0, grey and alpha") << "grey-alpha" << linear << 1.0 << "png";
    QTest::newRow("gamma 1.0, 16 bits") << "16-bit" << linear << 1.0 << "png";
    QTest::newRow("gamma 0.8") << "rgb" << pngChunk("gAMA", bigEndianBytes(80000)) << 0.8 << "png";
    QTest::newRow("sRGB's gamma") << "rgb" << pngChunk("gAMA", bigEndianBytes(45455)) << 0.0
                                  << "png";
    QTest::newRow("an sRGB chunk overrules gAMA")
        << "rgb" << pngChunk("sRGB", QByteArray(1, '\0')) + linear << 0.0 << "png";
}

void TestSips::showsPngGammaAsMeant() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, chunks);
    QFETCH(double, gamma);
    QFETCH(QString, format);
    const QString d = dir_.path() + "/gamma";
    QVERIFY(QDir().mkpath(d));
    QByteArray png = bytesOf(source(kind));
    const int afterHeader = 8 + 25;
    png.insert(afterHeader, chunks);
    const QString input = d + "/" + QTest::currentDataTag() + ".png";
    QVERIFY(writeBytes(input, png));
    const QString output = input + "." + format;
    QFile::remove(output);

    Run run = runTool({"-s", "format", format, input, "-o", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));

    // The stored samples, each as light (sample to the power 1 / gamma) encoded for sRGB.
    const VImage stored = VImage::new_from_file(source(kind).toUtf8().constData());
    const bool sixteenBit = stored.format() == VIPS_FORMAT_USHORT;
    const int full = sixteenBit ? 65535 : 255;
    std::vector<double> table(size_t(full) + 1);
    for (int i = 0; i <= full; ++i)
        table[size_t(i)] =
            gamma > 0 ? std::round(srgbEncoded(std::pow(double(i) / full, 1 / gamma)) * full) : i;
    const VImage lut = VImage::new_from_memory(table.data(), table.size() * sizeof(double),
                                               full + 1, 1, 1, VIPS_FORMAT_DOUBLE);
    const int colours = stored.has_alpha() ? stored.bands() - 1 : stored.bands();
    VImage expected = stored.extract_band(0, VImage::option()->set("n", colours)).maplut(lut);
    if (stored.has_alpha())
        expected = expected.bandjoin(stored[colours]);

    const VImage actual = readBack(output, format, 72).image;
    QCOMPARE(actual.format(), stored.format());
    QCOMPARE(actual.bands(), expected.bands());
    const double largest =
        (actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().max();
    QVERIFY2(largest <= 1, qPrintable(QString("largest difference %1").arg(largest)));
}

void TestSips::readsGreyTargas_data() {
    QTest::addColumn<int>("type");       // 3 uncompressed, 11 run-length encoded
    QTest::addColumn<int>("descriptor"); // alpha bits and where the first stored pixel goes
    QTest::newRow("bottom-up") << 3 << 0x08;
    QTest::newRow("top-down") << 3 << 0x28;
    QTest::newRow("top-down, right to left") << 3 << 0x38;
    QTest::newRow("bottom-up, run-length encoded") << 11 << 0x08;
    QTest::newRow("top-down, run-length encoded") << 11 << 0x28;
}

void TestSips::readsGreyTargas() {
    QFETCH(int, type);
    QFETCH(int, descriptor);
    const int width = 13, height = 7;
    // Grey in runs of three across the rows, alpha by row.
    auto greyAt = [](int x, int y) { return char((x / 3 * 40 + y * 11) % 256); };
    auto alphaAt = [](int, int y) { return char(y * 40); };

    QByteArray stored;
    for (int row = 0; row < height; ++row) {
        const int y = descriptor & 0x20 ? row : height - 1 - row;
        for (int column = 0; column < width; ++column) {
            const int x = descriptor & 0x10 ? width - 1 - column : column;
            stored += greyAt(x, y);
            stored += alphaAt(x, y);
        }
    }
    QByteArray data;
    if (type == 11) {
        // Repeated pixels as run packets, the others as raw packets; runs go across rows.
        for (int at = 0; at < stored.size();) {
            int run = 1;
            while (at + 2 * run < stored.size() && run < 128 &&
                   stored.mid(at + 2 * run, 2) == stored.mid(at, 2))
                ++run;
            if (run > 1) {
                data += char(0x80 | (run - 1));
                data += stored.mid(at, 2);
            } else {
                data += char(0);
                data += stored.mid(at, 2);
            }
            at += 2 * run;
        }
    } else {
        data = stored;
    }
    QByteArray header(18, '\0');
    header[2] = char(type);
    header[12] = char(width);
    header[14] = char(height);
    header[16] = 16;
    header[17] = char(descriptor);

    const QString d = dir_.path() + "/targa";
    QVERIFY(QDir().mkpath(d));
    const QString input = d + "/" + QTest::currentDataTag() + ".tga";
    QVERIFY(writeBytes(input, header + data));
    const QString output = input + ".png";
    QFile::remove(output);
    Run run = runTool({"-s", "format", "png", input, "-o", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));

    const VImage actual = VImage::new_from_file(output.toUtf8().constData());
    QCOMPARE(actual.width(), width);
    QCOMPARE(actual.height(), height);
    QCOMPARE(actual.bands(), 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::vector<double> pixel = actual.getpoint(x, y);
            QCOMPARE(pixel[0], double(quint8(greyAt(x, y))));
            QCOMPARE(pixel[1], double(quint8(alphaAt(x, y))));
        }
    }
}

void TestSips::readsWhatOnlyImageMagickReads() {
    const QString d = dir_.path() + "/magick";
    QVERIFY(QDir().mkpath(d));
    const QString input = d + "/float64.tif";
    const VImage xy = VImage::xyz(40, 30);
    const VImage shade =
        VImage::bandjoin(std::vector<VImage>{xy[0] / 39.0, xy[1] / 29.0, xy[0] * 0 + 0.5})
            .cast(VIPS_FORMAT_DOUBLE)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    shade.tiffsave(input.toUtf8().constData());
    // libvips's own TIFF loader refuses 64-bit floating-point samples.
    QVERIFY_THROWS_EXCEPTION(vips::VError,
                             VImage::tiffload(input.toUtf8().constData()).copy_memory());
    vips_error_clear();

    const QString output = d + "/float64.png";
    Run run = runTool({"-s", "format", "png", input, "-o", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    VImage actual = VImage::new_from_file(output.toUtf8().constData());
    if (actual.format() == VIPS_FORMAT_USHORT)
        actual = actual.cast(VIPS_FORMAT_UCHAR, VImage::option()->set("shift", true));
    const VImage expected = (shade * 255).rint();
    QCOMPARE(actual.width(), 40);
    QCOMPARE(actual.bands(), 3);
    QVERIFY((actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().max() <= 1);
}

QTEST_GUILESS_MAIN(TestSips)
#include "tst_sips.moc"
