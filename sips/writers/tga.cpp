#include <cstdint>
#include <vector>

#include "core/output_file.h"
#include "core/strips.h"
#include "writers/writers.h"

using vips::VImage;

namespace sips {
namespace {

constexpr std::uint64_t kHeaderBytes = 18;
constexpr unsigned kTrueColour = 2;
constexpr unsigned kGrey = 3;
constexpr unsigned kTopLeftOrigin = 0x20;

} // namespace

void writeTga(const VImage& picture, OutputFile& out) {
    VImage image = greyOrRgb(picture);
    if (image.bands() == 2) // grey with alpha is rarely read; RGBA always is
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    const int bands = image.bands();
    const std::uint64_t width = std::uint64_t(image.width());
    const std::uint64_t height = std::uint64_t(image.height());
    const bool alpha = bands == 4;

    Bytes header;
    header.u8(0); // no image ID
    header.u8(0); // no colour map
    header.u8(bands == 1 ? kGrey : kTrueColour);
    header.zeros(5); // no colour map: first entry, length, entry size
    header.le16(0);  // x origin
    header.le16(0);  // y origin
    header.le16(static_cast<unsigned>(width));
    header.le16(static_cast<unsigned>(height));
    header.u8(bands * 8);
    // Rows top-down: ImageMagick leaves bottom-up rows as they are and only reports them as
    // an orientation, which most of its users never apply.
    header.u8((alpha ? 8 : 0) | kTopLeftOrigin);
    out.writeAt(0, header.data(), header.size());

    const std::uint64_t rowBytes = width * bands;
    std::vector<unsigned char> rows;
    forEachStrip(image, [&](const Strip& strip) {
        rows.resize(rowBytes * strip.height);
        for (int y = 0; y < strip.height; ++y)
            copyAsBgr(strip.row(strip.top + y), rows.data() + rowBytes * y, width, bands);
        out.writeAt(kHeaderBytes + rowBytes * std::uint64_t(strip.top), rows.data(), rows.size());
    });

    Bytes footer;
    footer.le32(0); // no extension area
    footer.le32(0); // no developer directory
    static const char kSignature[] = "TRUEVISION-XFILE.";
    footer.text(kSignature, sizeof kSignature); // with its closing NUL
    out.writeAt(kHeaderBytes + rowBytes * height, footer.data(), footer.size());
}

} // namespace sips
