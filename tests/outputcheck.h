#pragma once

#include <QByteArray>
#include <QString>

class QImage;

// Checks on the tool's outputs by programs and readers that share no code with the libraries
// the tool writes through, so that a fault both sides would make alike still shows.
namespace outputcheck {

// What qpdf finds wrong in a PDF's structure (cross-reference table, objects, streams), in
// its own words; empty when it finds nothing.
QString pdfStructureFaults(const QString& pdf);

// Decodes a JPEG 2000 file with Grok into a PNG beside it and returns the PNG's path; on
// failure, an empty path and Grok's words in `error`.
QString decodeWithGrok(const QString& jp2, QString& error);

// A little-endian TIFF of LZW strips with horizontal differencing, as the tool writes it,
// read here without libtiff: its samples row by row, little-endian as in the file.
struct TiffPixels {
    int width = 0, height = 0, samples = 0, bits = 0;
    QByteArray data;
    QString fault; // what is wrong with the file, among it a strip without its end code
};
TiffPixels readLzwTiff(const QString& path);

// A BMP or TGA file read by Qt's own image readers, as 8-bit RGBA; null when unreadable.
QImage readWithQt(const QString& path);

} // namespace outputcheck

// Fails the running test, in qpdf's words, when the PDF's structure is faulty.
#define VERIFY_PDF_STRUCTURE(pdf)                                                                  \
    do {                                                                                           \
        const QString pdfFaults = outputcheck::pdfStructureFaults(pdf);                            \
        QVERIFY2(pdfFaults.isEmpty(), qPrintable(pdfFaults));                                      \
    } while (false)
