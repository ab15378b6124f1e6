// How the tool reads its sources: bad and damaged files refused with one line that says why,
// unusual but whole ones converted exactly, names that look like load options, SVG kept to
// the picture alone, PNG gamma, grey Targas, and what only ImageMagick reads.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <cmath>
#include <vips/vips8>
#include <zlib.h>

#include "sipscheck.h"

using namespace sipscheck;
using vips::VImage;

namespace {

quint32 crc32Of(const QByteArray& bytes) {
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    writeBytes(path, bytes);
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

// The sRGB encoding of linear light from 0 to 1.
double srgbEncoded(double light) {
    return light <= 0.0031308 ? light * 12.92 : 1.055 * std::pow(light, 1 / 2.4) - 0.055;
}

} // namespace

class TestReading : public QObject, sipscheck::Fixture {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
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
    void showsPngGammaAsMeant_data();
    void showsPngGammaAsMeant();
    void readsGreyTargas_data();
    void readsGreyTargas();
    void readsWhatOnlyImageMagickReads();
};

void TestReading::initTestCase() {
    QVERIFY(VIPS_INIT("tst_reading") == 0);
    QVERIFY(dir_.isValid());
}

void TestReading::refusesBadInput_data() {
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

void TestReading::refusesBadInput() {
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

void TestReading::refusesDamagedInput_data() {
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

void TestReading::refusesDamagedInput() {
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

void TestReading::convertsUnusualButWholeInput_data() {
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

void TestReading::convertsUnusualButWholeInput() {
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

void TestReading::readsNamesEndingInBrackets_data() {
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

void TestReading::readsNamesEndingInBrackets() {
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

void TestReading::svgReadsNothingBeyondThePicture_data() {
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

void TestReading::svgReadsNothingBeyondThePicture() {
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

void TestReading::showsPngGammaAsMeant_data() {
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

void TestReading::showsPngGammaAsMeant() {
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

void TestReading::readsGreyTargas_data() {
    QTest::addColumn<int>("type");       // 3 uncompressed, 11 run-length encoded
    QTest::addColumn<int>("descriptor"); // alpha bits and where the first stored pixel goes
    QTest::newRow("bottom-up") << 3 << 0x08;
    QTest::newRow("top-down") << 3 << 0x28;
    QTest::newRow("top-down, right to left") << 3 << 0x38;
    QTest::newRow("bottom-up, run-length encoded") << 11 << 0x08;
    QTest::newRow("top-down, run-length encoded") << 11 << 0x28;
}

void TestReading::readsGreyTargas() {
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

void TestReading::readsWhatOnlyImageMagickReads() {
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

QTEST_GUILESS_MAIN(TestReading)
#include "tst_reading.moc"
