#pragma once

#include <vips/vips8>

namespace sips {

class OutputFile;

// TIFF with LZW and horizontal differencing, as libvips writes it, but with the strips
// compressed on all cores: the picture streams through in strips of about a quarter of a megabyte,
// each strip is compressed by a worker thread and handed in order to libtiff, which writes the
// header, places the strips and puts the directory after them; BigTIFF where the file could pass
// 4 GB. 8 or 16 bits, grey, RGB or CMYK with alpha as straight alpha, the resolution, and the ICC
// profile, XMP, IPTC and Photoshop blocks that the image carries.
void writeTiff(const vips::VImage& image, OutputFile& out);

} // namespace sips
