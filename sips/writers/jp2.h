#pragma once

#include <vips/vips8>

namespace sips {

class OutputFile;

// Lossless JPEG 2000 (a JP2 file) as libvips writes it (reversible wavelet, colour transform
// for three bands or more, 8 or 16 bits, extra bands as alpha), but in 256-pixel tiles encoded
// on all cores: the picture streams through one row of tiles at a time and the tiles are
// written in order.
void writeLosslessJp2(const vips::VImage& image, OutputFile& out);

} // namespace sips
