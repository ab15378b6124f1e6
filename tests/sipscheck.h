#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <vips/vips8>

#include "runtimefolder.h"

// What the tool's test programs share: the real tool run on pictures made here with libvips,
// and its outputs read back in a form to compare with what was meant.
namespace sipscheck {

struct Run {
    int status = -1;
    QString out;
    QStringList errorLines;
};

// Runs the tool to its end; `shellPrefix`, where given, runs first in the shell that starts it.
Run runTool(const QStringList& args, const QString& shellPrefix = QString());

// The tool's hidden temporary files left in a folder.
QStringList leftovers(const QString& folder);

QByteArray bytesOf(const QString& path);
bool writeBytes(const QString& path, const QByteArray& bytes);

// A smooth picture with a corner marker, so that a turn or mirror shows in the pixels.
vips::VImage picture(int width, int height);
// The picture with fully transparent, half and fully opaque stripes.
vips::VImage withAlpha(const vips::VImage& rgb);
// sRGB with alpha, opaque where the image has none.
vips::VImage asRgba(vips::VImage image);

struct Loaded {
    vips::VImage image;
    QString loader;
};
// An output of the tool in this format, decoded, with the loader that read it; a PDF is
// rendered at `dpi`.
Loaded readBack(const QString& path, const QString& format, double dpi);

// A decoding in the band layout of the picture it is compared with. ImageMagick gives a grey
// picture as one band (two with alpha) in some releases and as three equal colour bands (four
// with alpha) in others, and not alike for every file type. Colour bands become one grey band
// only where they are equal everywhere; any others stay, and fail the comparison.
vips::VImage inLayoutOf(const vips::VImage& decoded, const vips::VImage& other);

// sRGB with alpha where there is one, at 8 or 16 bits, through any embedded profile.
vips::VImage comparable(vips::VImage image, bool sixteenBit);

// What shows of the picture on white.
vips::VImage colourOnWhite(const vips::VImage& image);

// The largest difference between two decoded pictures of the same layout.
double largestDifference(const vips::VImage& a, const vips::VImage& b);

// What each test class of the tool holds: a runtime folder of its own for the tool's helpers,
// a temporary folder, and there the source pictures of every kind.
class Fixture {
protected:
    // The source picture of this kind; the first call writes all of them, so that a data
    // function may ask for one before initTestCase() has run (as with -datatags).
    QString source(const QString& kind);
    // An empty folder of this name in the test's folder.
    QString freshFolder(const QString& name) const;

    const testsupport::RuntimeFolder runtime_;
    QTemporaryDir dir_;

private:
    void writeSources();

    QMap<QString, QString> sources_;
};

} // namespace sipscheck
