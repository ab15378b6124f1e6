#pragma once

#include <string>
#include <string_view>

namespace sips {

enum class Writer { Jpeg, Gif, Png, Tiff, Bmp, Tga, Psd, Jp2k, Pdf };

// What one output format can hold decides how far a picture is reduced before it is
// written: anything the format cannot carry is converted, never silently dropped.
struct OutputFormat {
    const char* word;      // as given to --setProperty format
    const char* extension; // without the dot
    Writer writer;
    bool alpha;      // keeps transparency (GIF: one bit)
    bool sixteenBit; // keeps 16 bits per sample
    bool icc;        // carries an embedded ICC profile
    bool cmyk;       // can store CMYK pixels as they are
};

// The format for a --setProperty format word, or nullptr when there is none.
const OutputFormat* findFormat(std::string_view word);

// One line per output format, for --formats.
std::string formatList();

// Why `format` cannot hold a picture of this size, in plain words; empty when it can.
std::string sizeProblem(const OutputFormat& format, int width, int height);

// How hard to compress: a quality from 1 to 100 for the lossy formats; `best` also asks
// for no chroma subsampling in JPEG and lossless JPEG 2000.
struct Quality {
    int percent = 85;
    bool best = false;
};

// Reads a --setProperty formatOptions value; false when the word is not one of ours.
bool parseQuality(std::string_view word, Quality& quality);

} // namespace sips
