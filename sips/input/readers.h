#pragma once

#include <optional>
#include <string>
#include <vips/vips8>

#include "input/source_file.h"

namespace sips {

// Reads what libvips's loaders get wrong or leave undone.

// A grey-with-alpha Targa (16 bits a pixel, 8 of them alpha as its header says), uncompressed
// or run-length encoded, which ImageMagick reads as one 16-bit grey sample. Nothing when the
// file is not one; throws Failure when it is too large or damaged. The whole picture is
// decoded here, after the header's size has passed the pixel limit.
std::optional<vips::VImage> readGreyTga(const SourceFile& source);

// The picture of a PNG as meant to be seen in sRGB: the file gamma of its gAMA chunk (see
// PngFacts), where it says other than sRGB's, is applied to the colour samples.
vips::VImage withPngGamma(const vips::VImage& image, double gamma);

} // namespace sips
