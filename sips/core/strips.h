#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <vips/vips8>

namespace sips {

// A band of consecutive rows of an image's pixels, as libvips holds them: band-interleaved,
// native-endian samples.
struct Strip {
    int top;
    int height;
    const unsigned char* first; // the first pixel of the top row
    size_t rowBytes;            // from one row's start to the next
    const unsigned char* row(int y) const { return first + size_t(y - top) * rowBytes; }
};

// Computes the image top to bottom in strips, with libvips's worker threads running ahead,
// and hands each strip to `write` in order on one thread: the whole picture is never in
// memory. An exception from `write` stops the run and is rethrown here; a failure to
// compute the pixels is thrown as vips::VError.
void forEachStrip(const vips::VImage& image, const std::function<void(const Strip&)>& write);

// How many rows high libvips makes its tiles from now on. It sizes by this the buffers that a
// picture passes through on its way to a writer (the line cache behind a streaming decoder,
// each worker's region, the two strips of the disc sink): at its default of 128 rows they hold
// about 10 MB for a picture 5000 pixels wide, at 16 a quarter of that, with no loss of speed
// where the picture is read top to bottom. Turning a picture is slower in short tiles.
constexpr int kStreamingTileHeight = 16;
constexpr int kLibvipsTileHeight = 128;
void setTileHeight(int rows);

// The picture as grey, grey and alpha, RGB or RGBA (1 to 4 bands): the layouts that BMP, TGA
// and PSD store. Extra bands of multispectral images are dropped.
vips::VImage greyOrRgb(const vips::VImage& image);

// One row as BMP and TGA store it: grey as it is, RGB(A) as BGR(A).
void copyAsBgr(const unsigned char* from, unsigned char* to, std::uint64_t width, int bands);

// Little- and big-endian numbers for file headers.
class Bytes {
public:
    void u8(unsigned value) { data_.push_back(static_cast<unsigned char>(value)); }
    void le16(unsigned value);
    void le32(std::uint32_t value);
    void be16(unsigned value);
    void be32(std::uint32_t value);
    void text(const char* chars, size_t size);
    void zeros(size_t count) { data_.insert(data_.end(), count, 0); }
    const unsigned char* data() const { return data_.data(); }
    size_t size() const { return data_.size(); }

private:
    std::vector<unsigned char> data_;
};

// Resolution in pixels per metre, or 0 where libvips says it is unknown (1 pixel/mm).
std::uint32_t pixelsPerMetre(double pixelsPerMillimetre);

// 72 dpi in pixels per millimetre, the resolution of a picture whose file states none.
constexpr double kPlainResolution = 72 / 25.4;

// The picture with the resolution its file states, or exactly 72 dpi where it states none;
// `pngWithoutResolution` for a PNG without a pHYs chunk.
vips::VImage withStatedResolution(const vips::VImage& image, bool pngWithoutResolution);

} // namespace sips
