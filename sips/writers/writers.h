#pragma once

#include <vips/vips8>

namespace sips {

class OutputFile;

// Our own writers for the uncompressed formats and GIF: they stream the picture in strips straight
// into the file, so a large picture costs little more memory than its decoder needs. The
// image is 8-bit (PSD: 8- or 16-bit) grey, grey and alpha, RGB or RGBA, in sRGB.
// The conversion hands each only a picture within its format's largest side.

// BMP: 8-bit grey with a grey palette, 24-bit BGR, or 32-bit BGRA with a BITMAPV4HEADER
// whose masks say where alpha is. Rows bottom-up, as every reader expects.
void writeBmp(const vips::VImage& image, OutputFile& out);

// TGA: uncompressed, 8-bit grey (type 3) or 24/32-bit BGR(A) (type 2) with the alpha bits
// in the descriptor, rows top-down, and the TGA 2.0 footer.
void writeTga(const vips::VImage& image, OutputFile& out);

// PSD: 8 or 16 bits per channel, grey or RGB, uncompressed, with the ICC profile when there
// is one. Alpha is an extra channel of the flat image, whose colours are then matted onto
// white as Photoshop's readers expect, and the picture is also stored as one layer with
// straight colours, which readers take as the exact transparent picture.
void writePsd(const vips::VImage& image, OutputFile& out);

// GIF89a: one frame of at most 256 colours, one of them transparent where alpha is below
// half. `again` is a second, independent pipeline of the same picture: it is read first to
// choose the palette, which then must be in the file before the first row. Pictures of few
// colours keep them exactly; others get a palette from a sample and error diffusion.
void writeGif(const vips::VImage& image, const vips::VImage& again, OutputFile& out);

} // namespace sips
