#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/output_file.h"
#include "core/strips.h"
#include "writers/writers.h"

using vips::VImage;

namespace sips {
namespace {

constexpr unsigned kGreyMode = 1;
constexpr unsigned kRgbMode = 3;
constexpr unsigned kResolutionResource = 0x03ed;
constexpr unsigned kIccProfileResource = 0x040f;
constexpr char kLayerName[] = "\007Picture"; // Pascal string, 8 bytes: a multiple of 4

struct Layout {
    std::uint64_t width, height;
    int bands;
    int sampleBytes;
    bool alpha;
    std::uint64_t rowBytes() const { return width * sampleBytes; }
    std::uint64_t planeBytes() const { return rowBytes() * height; }
};

// Photoshop's flat image holds colours as they show on white; its alpha is separate.
std::uint64_t onWhite(std::uint64_t colour, std::uint64_t alpha, std::uint64_t full) {
    return (colour * alpha + full * (full - alpha) + full / 2) / full;
}

// One channel of a strip's rows, big-endian, as PSD stores a plane.
template <typename Sample>
void extractPlane(const Strip& strip, const Layout& layout, int band, bool matte,
                  unsigned char* to) {
    const std::uint64_t full = sizeof(Sample) == 1 ? 0xff : 0xffff;
    for (int y = 0; y < strip.height; ++y) {
        const Sample* from = reinterpret_cast<const Sample*>(strip.row(strip.top + y));
        for (std::uint64_t x = 0; x < layout.width; ++x, from += layout.bands) {
            std::uint64_t value = from[band];
            if (matte)
                value = onWhite(value, from[layout.bands - 1], full);
            if (sizeof(Sample) == 2)
                *to++ = static_cast<unsigned char>(value >> 8);
            *to++ = static_cast<unsigned char>(value);
        }
    }
}

// One image resource: its kind, an empty name padded to an even length, and its data.
void appendResource(Bytes& bytes, unsigned kind, const void* data, size_t size) {
    bytes.text("8BIM", 4);
    bytes.be16(kind);
    bytes.be16(0);
    bytes.be32(static_cast<std::uint32_t>(size));
    bytes.text(static_cast<const char*>(data), size);
    bytes.zeros(size & 1);
}

// The resolution in dots per inch as 16.16 fixed-point numbers, each shown in inches.
Bytes resolutionInfo(const VImage& image) {
    Bytes info;
    for (double pixelsPerMillimetre : {image.xres(), image.yres()}) {
        const double dpi = std::clamp(pixelsPerMillimetre * 25.4, 1.0, 32767.0);
        info.be32(static_cast<std::uint32_t>(std::lround(dpi * 65536)));
        info.be16(1); // pixels per inch
        info.be16(1); // inches
    }
    return info;
}

void appendResources(Bytes& bytes, const VImage& image) {
    Bytes resources;
    const Bytes resolution = resolutionInfo(image);
    appendResource(resources, kResolutionResource, resolution.data(), resolution.size());
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        size_t size = 0;
        const void* profile = image.get_blob(VIPS_META_ICC_NAME, &size);
        appendResource(resources, kIccProfileResource, profile, size);
    }
    bytes.be32(static_cast<std::uint32_t>(resources.size()));
    bytes.text(reinterpret_cast<const char*>(resources.data()), resources.size());
}

struct LayerPlacement {
    std::uint64_t channels; // where the first channel's data starts
    std::uint64_t tail;     // the even-length padding and the empty global mask after them
    std::uint64_t tailBytes;
};

// One layer holding the whole picture, with straight colours.
LayerPlacement appendLayer(Bytes& bytes, const Layout& layout) {
    const std::uint64_t channelBytes = 2 + layout.planeBytes();
    const std::uint64_t recordBytes = 16 + 2 + 6 * layout.bands + 4 + 4 + 4 + 4 + 16;
    const std::uint64_t contentBytes = 2 + recordBytes + layout.bands * channelBytes;
    const std::uint64_t padding = contentBytes & 1;
    const std::uint64_t infoBytes = contentBytes + padding;
    bytes.be32(static_cast<std::uint32_t>(4 + infoBytes + 4));
    bytes.be32(static_cast<std::uint32_t>(infoBytes));
    // Negative: the flat image's first alpha channel is its transparency.
    bytes.be16(0xffff);
    bytes.be32(0);
    bytes.be32(0);
    bytes.be32(static_cast<std::uint32_t>(layout.height));
    bytes.be32(static_cast<std::uint32_t>(layout.width));
    bytes.be16(layout.bands);
    for (int band = 0; band < layout.bands; ++band) {
        const bool isAlpha = band == layout.bands - 1;
        bytes.be16(isAlpha ? 0xffff : band); // -1 is the transparency mask
        bytes.be32(static_cast<std::uint32_t>(channelBytes));
    }
    bytes.text("8BIMnorm", 8);
    bytes.u8(255); // opacity
    bytes.u8(0);   // clipping: base
    bytes.u8(0);   // flags: visible
    bytes.u8(0);
    bytes.be32(4 + 4 + 8);
    bytes.be32(0); // no layer mask
    bytes.be32(0); // no blending ranges
    bytes.text(kLayerName, 8);
    const std::uint64_t channels = bytes.size();
    return {channels, channels + layout.bands * channelBytes, padding + 4};
}

} // namespace

void writePsd(const VImage& picture, OutputFile& out) {
    const VImage image = greyOrRgb(picture);
    Layout layout{std::uint64_t(image.width()), std::uint64_t(image.height()), image.bands(),
                  image.format() == VIPS_FORMAT_USHORT ? 2 : 1,
                  image.bands() == 2 || image.bands() == 4};
    const int colours = layout.alpha ? layout.bands - 1 : layout.bands;

    Bytes head;
    head.text("8BPS", 4);
    head.be16(1);
    head.zeros(6);
    head.be16(layout.bands);
    head.be32(static_cast<std::uint32_t>(layout.height));
    head.be32(static_cast<std::uint32_t>(layout.width));
    head.be16(layout.sampleBytes * 8);
    head.be16(colours == 1 ? kGreyMode : kRgbMode);
    head.be32(0); // no colour mode data
    appendResources(head, image);

    const std::uint64_t channelBytes = 2 + layout.planeBytes();
    LayerPlacement layer{};
    if (layout.alpha)
        layer = appendLayer(head, layout);
    else
        head.be32(0); // no layers
    const std::uint64_t flatStart = layout.alpha ? layer.tail + layer.tailBytes : head.size();
    out.writeAt(0, head.data(), head.size());

    const unsigned char zeros[5] = {}; // kRaw, and the layer section's tail
    for (int band = 0; layout.alpha && band < layout.bands; ++band)
        out.writeAt(layer.channels + band * channelBytes, zeros, 2);
    if (layout.alpha)
        out.writeAt(layer.tail, zeros, layer.tailBytes);
    out.writeAt(flatStart, zeros, 2);

    std::vector<unsigned char> plane;
    forEachStrip(image, [&](const Strip& strip) {
        plane.resize(layout.rowBytes() * strip.height);
        const std::uint64_t rowOffset = layout.rowBytes() * std::uint64_t(strip.top);
        for (int band = 0; band < layout.bands; ++band) {
            const bool matte = layout.alpha && band < colours;
            for (bool inLayer : {false, true}) {
                if (inLayer && !layout.alpha)
                    continue;
                if (layout.sampleBytes == 2)
                    extractPlane<std::uint16_t>(strip, layout, band, matte && !inLayer,
                                                plane.data());
                else
                    extractPlane<std::uint8_t>(strip, layout, band, matte && !inLayer,
                                               plane.data());
                const std::uint64_t start = inLayer ? layer.channels + band * channelBytes + 2
                                                    : flatStart + 2 + band * layout.planeBytes();
                out.writeAt(start + rowOffset, plane.data(), plane.size());
            }
        }
    });
}

} // namespace sips
