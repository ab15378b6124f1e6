#include "sipscheck.h"

#include <QDir>
#include <QFile>
#include <QProcess>

using vips::VImage;

namespace sipscheck {

Run runTool(const QStringList& args, const QString& shellPrefix) {
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

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

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
    VImage alpha =
        (xy[0] < rgb.width() / 3).ifthenelse(0, (xy[0] < 2 * rgb.width() / 3).ifthenelse(128, 255));
    return rgb.bandjoin(alpha.cast(VIPS_FORMAT_UCHAR));
}

VImage asRgba(VImage image) {
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (!image.has_alpha())
        image = image.bandjoin(255);
    return image.cast(VIPS_FORMAT_UCHAR);
}

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

double largestDifference(const VImage& a, const VImage& b) {
    return (a.cast(VIPS_FORMAT_INT) - b.cast(VIPS_FORMAT_INT)).abs().max();
}

void Fixture::writeSources() {
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

QString Fixture::source(const QString& kind) {
    if (sources_.isEmpty())
        writeSources();
    return sources_.value(kind);
}

QString Fixture::freshFolder(const QString& name) const {
    const QString path = dir_.filePath(name);
    QDir(path).removeRecursively();
    return QDir().mkpath(path) ? path : QString();
}

} // namespace sipscheck
