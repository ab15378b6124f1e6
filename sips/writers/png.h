#pragma once

#include <vips/vips8>

namespace sips {

class OutputFile;

// PNG: 8 or 16 bits per sample, grey, grey and alpha, RGB or RGBA as the picture has them,
// with its ICC profile (iCCP), EXIF (eXIf), XMP (iTXt) and resolution (pHYs) where it has
// them. Each row gets the filter that libpng's heuristic picks: the one whose bytes, taken as
// signed, have the smallest sum of magnitudes. The rows are deflated at libdeflate's level 6
// by all cores at once and written as IDAT chunks strip by strip.
void writePng(const vips::VImage& image, OutputFile& out);

} // namespace sips
