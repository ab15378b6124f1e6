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

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

File openFile(const std::string& path) {
    return File(std::fopen(path.c_str(), "rbe"), &std::fclose);
}

bool hasTgaExtension(const std::string& path) {
    auto dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The names ImageMagick knows Targa files by: the format has no signature of its own.
    return extension == "tga" || extension == "icb" || extension == "vda" || extension == "vst";
}

unsigned le16(const unsigned char* bytes) {
    return bytes[0] | unsigned(bytes[1]) << 8;
}

// Reads `count` two-byte pixels in file order, unpacking run-length packets when `rle`.
bool readTgaPixels(std::FILE* file, bool rle, size_t count, unsigned char* to) {
    if (!rle)
        return std::fread(to, 2, count, file) == count;
    size_t done = 0;
    while (done < count) {
        int packet = std::fgetc(file);
        if (packet == EOF)
            return false;
        size_t length = size_t(packet & 0x7f) + 1;
        if (length > count - done)
            return false;
        unsigned char* at = to + 2 * done;
        if (packet & 0x80) {
            if (std::fread(at, 2, 1, file) != 1)
                return false;
            for (size_t i = 1; i < length; ++i)
                std::memcpy(at + 2 * i, at, 2);
        } else if (std::fread(at, 2, length, file) != length) {
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

// The PNG's gamma from its gAMA chunk, or 0 when it has none or its colours are described
// otherwise (sRGB, iCCP).
double pngGamma(const std::string& path) {
    File file = openFile(path);
    unsigned char head[8];
    if (!file || std::fread(head, 1, 8, file.get()) != 8)
        return 0;
    double gamma = 0;
    unsigned char chunk[8];
    while (std::fread(chunk, 1, 8, file.get()) == 8) {
        std::uint32_t length = bigEndian32(chunk);
        const char* type = reinterpret_cast<const char*>(chunk + 4);
        if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0)
            break;
        if (std::memcmp(type, "sRGB", 4) == 0 || std::memcmp(type, "iCCP", 4) == 0)
            return 0;
        if (std::memcmp(type, "gAMA", 4) == 0 && length == 4) {
            unsigned char value[4];
            if (std::fread(value, 1, 4, file.get()) != 4)
                return 0;
            gamma = bigEndian32(value) / 100000.0;
            length = 0;
        }
        if (std::fseek(file.get(), long(length) + 4, SEEK_CUR) != 0)
            return 0;
    }
    return gamma;
}

} // namespace

std::optional<VImage> readGreyTga(const std::string& path) {
    if (!hasTgaExtension(path))
        return std::nullopt;
    File file = openFile(path);
    unsigned char header[18];
    if (!file || std::fread(header, 1, sizeof header, file.get()) != sizeof header)
        return std::nullopt;
    const unsigned type = header[2];
    const bool greyWithoutPalette = header[1] == 0 && (type == 3 || type == 11);
    const bool eightAlphaBits = (header[17] & 0x0f) == 8;
    if (!greyWithoutPalette || header[16] != 16 || !eightAlphaBits)
        return std::nullopt;

    const int width = int(le16(header + 12));
    const int height = int(le16(header + 14));
    if (width == 0 || height == 0)
        throw Failure("the image data is damaged or cut short", path);
    checkPixelCount(width, height, path);
    const bool fromTop = header[17] & 0x20;
    const bool fromRight = header[17] & 0x10;

    const size_t pixels = size_t(width) * size_t(height);
    std::vector<unsigned char> stored(2 * pixels);
    if (std::fseek(file.get(), header[0], SEEK_CUR) != 0 ||
        !readTgaPixels(file.get(), type == 11, pixels, stored.data()))
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

VImage withPngGamma(const VImage& image, const std::string& path) {
    const double gamma = pngGamma(path);
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
