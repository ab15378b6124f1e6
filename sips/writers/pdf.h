#pragma once

#include <vips/vips8>

namespace sips {

class OutputFile;

// Writes a one-page PDF the size of the image at its resolution (72 dpi when it has none),
// with the pixels stored losslessly as one Flate-compressed image, 8 or 16 bits per sample,
// grey or RGB with the image's ICC profile, and alpha as a soft mask. The picture streams
// through in strips; `again` is a second, independent pipeline of the same picture, read
// for the soft mask when there is alpha. Pages wider or taller than readers allow are
// drawn at a larger user unit, with a smaller page and the same pixels.
void writePdf(const vips::VImage& image, const vips::VImage& again, OutputFile& out);

} // namespace sips
