#include "input/readers.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/convert.h"
#include "core/failure.h"
#include "core/paths.h"

using vips::VImage;

namespace sips {
namespace {

bool hasTgaExtension(const std::string& path) {
    const std::string extension = lowerCaseExtension(path);
    // The names ImageMagick knows Targa files by: the format has no signature of its own.
    return extension == "tga" || extension == "icb" || extension == "vda" || extension == "vst";
}

// Reads `count` two-byte pixels in file order, unpacking run-length packets when `rle`.
bool readTgaPixels(FileReader& file, bool rle, size_t count, unsigned char* to) {
    if (!rle)
        return file.readExactly(to, 2 * count);
    size_t done = 0;
    while (done < count) {
        const int packet = file.get();
        if (packet < 0)
            return false;
        size_t length = size_t(packet & 0x7f) + 1;
        if (length > count - done)
            return false;
        unsigned char* at = to + 2 * done;
        if (packet & 0x80) {
            if (!file.readExactly(at, 2))
                return false;
            for (size_t i = 1; i < length; ++i)
                std::memcpy(at + 2 * i, at, 2);
        } else if (!file.readExactly(at, 2 * length)) {
            return false;
        }
        done += length;
    }
    return true;
}

// The sRGB encoding of linear light from 0 to 1.
VImage srgbEncoded(const VImage& light) {
    return (light <= 0.0031308).ifthenelse(light * 12.92, light.pow(1 / 2.4) * 1.055 - 0.055);
}

} // namespace

std::optional<VImage> readGreyTga(const SourceFile& source) {
    const std::string& path = source.path();
    if (!hasTgaExtension(path))
        return std::nullopt;
    FileReader file(source);
    unsigned char header[18];
    if (!file.readExactly(header, sizeof header))
        return std::nullopt;
    const unsigned type = header[2];
    const bool greyWithoutPalette = header[1] == 0 && (type == 3 || type == 11);
    const bool eightAlphaBits = (header[17] & 0x0f) == 8;
    if (!greyWithoutPalette || header[16] != 16 || !eightAlphaBits)
        return std::nullopt;

    const int width = int(littleEndian16(header + 12));
    const int height = int(littleEndian16(header + 14));
    if (width == 0 || height == 0)
        throw Failure("the image data is damaged or cut short", path);
    checkPixelCount(width, height, path);
    const bool fromTop = header[17] & 0x20;
    const bool fromRight = header[17] & 0x10;

    const size_t pixels = size_t(width) * size_t(height);
    std::vector<unsigned char> stored(2 * pixels);
    if (!file.skip(header[0]) || !readTgaPixels(file, type == 11, pixels, stored.data()))
        throw Failure("the image data is damaged or cut short", path);

    auto* shown = static_cast<unsigned char*>(std::malloc(2 * pixels));
    if (!shown)
        throw std::bad_alloc();
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = stored.data() + 2 * size_t(fromTop ? y : height - 1 - y) * width;
        unsigned char* to = shown + 2 * size_t(y) * width;
        for (int x = 0; x < width; ++x)
            std::memcpy(to + 2 * size_t(x), row + 2 * size_t(fromRight ? width - 1 - x : x), 2);
    }
    VImage image =
        VImage::new_from_memory_steal(shown, 2 * pixels, width, height, 2, VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    image.set(VIPS_META_LOADER, "tgaload");
    return image;
}

VImage withPngGamma(const VImage& image, double gamma) {
    // Within 1% of sRGB's 1/2.2: the samples are already what an sRGB screen shows.
    if (gamma <= 0 || std::fabs(gamma * 2.2 - 1) < 0.01)
        return image;
    const bool sixteenBit = image.format() == VIPS_FORMAT_USHORT;
    const double full = sixteenBit ? 65535 : 255;
    // A sample is light to the power of the file's gamma.
    VImage light =
        (VImage::identity(VImage::option()->set("ushort", sixteenBit)) / full).pow(1 / gamma);
    VImage table = (srgbEncoded(light) * full).rint().cast(image.format());

    const int colours = image.has_alpha() ? image.bands() - 1 : image.bands();
    VImage encoded = image.extract_band(0, VImage::option()->set("n", colours)).maplut(table);
    if (colours < image.bands())
        encoded = encoded.bandjoin(
            image.extract_band(colours, VImage::option()->set("n", image.bands() - colours)));
    return encoded.copy(VImage::option()->set("interpretation", image.interpretation()));
}

} // namespace sips
