#include <cstdint>
#include <limits>
#include <vector>

#include "core/failure.h"
#include "core/output_file.h"
#include "core/strips.h"
#include "writers/writers.h"

using vips::VImage;

namespace sips {
namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kInfoHeaderBytes = 40;   // BITMAPINFOHEADER
constexpr std::uint32_t kV4HeaderBytes = 108;    // BITMAPV4HEADER, for the alpha mask
constexpr std::uint32_t kBitFields = 3;          // BI_BITFIELDS
constexpr std::uint32_t kSrgbSpace = 0x73524742; // 'sRGB', LCS_sRGB

} // namespace

void writeBmp(const VImage& picture, OutputFile& out) {
    VImage image = greyOrRgb(picture);
    if (image.bands() == 2) // BMP has no grey with alpha
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    const int bands = image.bands();
    const std::uint64_t width = std::uint64_t(image.width());
    const std::uint64_t height = std::uint64_t(image.height());
    const bool alpha = bands == 4;
    const std::uint32_t headerBytes = alpha ? kV4HeaderBytes : kInfoHeaderBytes;
    const std::uint32_t paletteBytes = bands == 1 ? 256 * 4 : 0;
    const std::uint32_t dataStart = kFileHeaderBytes + headerBytes + paletteBytes;
    const std::uint64_t stride = (width * bands + 3) & ~std::uint64_t(3);
    const std::uint64_t fileBytes = dataStart + stride * height;
    if (fileBytes > std::numeric_limits<std::uint32_t>::max() ||
        width > std::uint64_t(std::numeric_limits<std::int32_t>::max()))
        throw Failure("the image is too large for a BMP file", out.target());

    Bytes header;
    header.text("BM", 2);
    header.le32(static_cast<std::uint32_t>(fileBytes));
    header.le32(0);
    header.le32(dataStart);
    header.le32(headerBytes);
    header.le32(static_cast<std::uint32_t>(width));
    header.le32(static_cast<std::uint32_t>(height)); // positive: bottom-up rows
    header.le16(1);
    header.le16(bands * 8);
    header.le32(alpha ? kBitFields : 0);
    header.le32(static_cast<std::uint32_t>(stride * height));
    header.le32(pixelsPerMetre(image.xres()));
    header.le32(pixelsPerMetre(image.yres()));
    header.le32(bands == 1 ? 256 : 0);
    header.le32(0);
    if (alpha) {
        header.le32(0x00ff0000);
        header.le32(0x0000ff00);
        header.le32(0x000000ff);
        header.le32(0xff000000);
        header.le32(kSrgbSpace);
        header.zeros(36 + 12); // end points and gamma, unused for sRGB
    }
    for (unsigned level = 0; bands == 1 && level < 256; ++level) {
        header.u8(level);
        header.u8(level);
        header.u8(level);
        header.u8(0);
    }
    out.writeAt(0, header.data(), header.size());

    std::vector<unsigned char> rows;
    forEachStrip(image, [&](const Strip& strip) {
        rows.assign(stride * strip.height, 0);
        // The strip's rows go into the file bottom-up, so its lowest row comes first.
        for (int y = 0; y < strip.height; ++y)
            copyAsBgr(strip.row(strip.top + strip.height - 1 - y), rows.data() + stride * y, width,
                      bands);
        const std::uint64_t lowestRow = height - std::uint64_t(strip.top + strip.height);
        out.writeAt(dataStart + stride * lowestRow, rows.data(), rows.size());
    });
}

} // namespace sips
