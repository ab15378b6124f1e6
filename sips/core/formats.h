#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vips/vips8>

namespace sips {

class OutputFile;

// How hard to compress: a quality from 1 to 100 for the lossy formats; `best` also asks
// for no chroma subsampling in JPEG and lossless JPEG 2000.
struct Quality {
    int percent = 85;
    bool best = false;
};

// What a format's writer is given: the picture as the format can hold it and, for a writer
// that reads the picture twice, a second, independent pipeline of the same picture.
struct Picture {
    vips::VImage image;
    std::function<vips::VImage()> again;
    Quality quality;
};

// Everything the tool knows of one output format. What it can hold decides how far a
// picture is reduced before it is written: anything the format cannot carry is converted,
// never silently dropped.
struct OutputFormat {
    const char* word;      // as given to --setProperty format
    const char* extension; // without the dot
    const char* name;      // as a message names it
    bool alpha;            // keeps transparency (GIF: one bit)
    bool sixteenBit;       // keeps 16 bits per sample
    bool icc;              // carries an embedded ICC profile
    bool cmyk;             // can store CMYK pixels as they are
    int largestSide;       // the widest and tallest picture it holds; 0: no limit of its own
    bool readsTwice;       // its writer is given Picture::again
    // Lossless, it keeps the C library's adaptive buffer limit (see returnLargeBuffersAtOnce).
    bool losslessKeepsBufferLimit;
    void (*write)(const Picture& picture, OutputFile& out);
};

// The format for a --setProperty format word, or nullptr when there is none.
const OutputFormat* findFormat(std::string_view word);

// One line per output format, for --formats.
std::string formatList();

// Why `format` cannot hold a picture of this size, in plain words; empty when it can.
std::string sizeProblem(const OutputFormat& format, int width, int height);

// Reads a --setProperty formatOptions value; false when the word is not one of ours.
bool parseQuality(std::string_view word, Quality& quality);

} // namespace sips
