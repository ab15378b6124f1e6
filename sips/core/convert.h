#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vips/vips8>

#include "core/formats.h"
#include "input/source_file.h"

namespace sips {

// No photograph comes near this many pixels; a file that claims more is treated as a
// decompression bomb and refused from its header, before any pixel is decoded.
constexpr std::uint64_t kMaxPixels = std::uint64_t(1) << 28;

// Refuses a picture over kMaxPixels, from the size its header gives.
void checkPixelCount(std::uint64_t width, std::uint64_t height, const std::string& path);

struct SourceImage {
    std::string path;
    std::shared_ptr<SourceFile> file;
    vips::VImage image; // the first page or frame, as stored
    std::string loader; // the libvips loader, e.g. "jpegload"
    int orientation = 1;
    int shownWidth = 0;
    int shownHeight = 0;
};

// Opens a file's header with checks that the file can be converted at all. Throws
// Failure with a plain reason.
SourceImage openSource(const std::string& path, VipsAccess access = VIPS_ACCESS_SEQUENTIAL);
// The same for a file already open, which its checks go on reading.
SourceImage openSource(const std::shared_ptr<SourceFile>& file, VipsAccess access);

// The short name of the file's format, e.g. "jpeg", "png", "bmp".
std::string formatWord(const SourceImage& source);

// The pixels as the source is shown, reduced to what `format` can hold.
vips::VImage prepareFor(const SourceImage& source, const OutputFormat& format);

// Where a conversion writes: `out` itself, or inside `out` when that is a folder.
std::string outputPathFor(const std::string& source, const std::string& out,
                          const OutputFormat& format);

// Converts one file; the output exists afterwards only if everything worked. Throws
// Failure otherwise.
void convertFile(const std::string& source, const std::string& target, const OutputFormat& format,
                 const Quality& quality);

} // namespace sips
