#pragma once

#include <vips/vips8>

namespace sips {

class OutputFile;

// Writes a one-page PDF the size of the image at its resolution (72 dpi when it has
// none), with the pixels stored losslessly. `image` is 8-bit grey or sRGB, with or
// without alpha.
void writePdf(const vips::VImage& image, OutputFile& out);

} // namespace sips
