#include "core/strips.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

#include "core/paths.h"

namespace sips {
namespace {

struct Sink {
    const std::function<void(const Strip&)>* write;
    std::exception_ptr failure;
};

// A failure is kept for the caller, and the strips after it are passed over unwritten: the
// picture is computed to its end, because libvips's disc sink can deadlock, now and then,
// when its write callback reports an error.
int writeRegion(VipsRegion* region, VipsRect* area, void* closure) {
    auto* sink = static_cast<Sink*>(closure);
    if (sink->failure)
        return 0;
    try {
        (*sink->write)(Strip{
            area->top, area->height,
            reinterpret_cast<const unsigned char*>(VIPS_REGION_ADDR(region, area->left, area->top)),
            size_t(VIPS_REGION_LSKIP(region))});
    } catch (...) {
        sink->failure = std::current_exception();
    }
    return 0;
}

// libvips gives 1 pixel per millimetre where a file states no resolution, 0 where ImageMagick
// read it, and 2.834 (71.98 dpi) for a PNG without a pHYs chunk. A JPEG without one comes
// as 72 dpi exactly already.
bool statesNone(double pixelsPerMillimetre, bool pngWithoutResolution) {
    if (!std::isfinite(pixelsPerMillimetre) || pixelsPerMillimetre <= 0 ||
        std::fabs(pixelsPerMillimetre - 1.0) < 1e-9)
        return true;
    return pngWithoutResolution && pixelsPerMillimetre == 2.834;
}

} // namespace

void forEachStrip(const vips::VImage& image, const std::function<void(const Strip&)>& write) {
    Sink sink{&write, nullptr};
    int status = vips_sink_disc(image.get_image(), writeRegion, &sink);
    if (sink.failure)
        std::rethrow_exception(sink.failure);
    if (status != 0)
        throw vips::VError();
}

void setTileHeight(int rows) {
    static int current = 0;
    if (rows == current)
        return;
    current = rows;
    // libvips has no public call for this setting, only one of its command-line options;
    // tst_libvips fails the day that changes.
    GOptionContext* context = g_option_context_new(nullptr);
    GOptionGroup* group = g_option_group_new("vips", "", "", nullptr, nullptr);
    vips_add_option_entries(group);
    g_option_context_set_main_group(context, group);
    char name[] = "sips";
    std::string option = "--vips-tile-height=" + std::to_string(rows);
    char* arguments[] = {name, option.data(), nullptr};
    char** argv = arguments;
    int argc = 2;
    g_option_context_parse(context, &argc, &argv, nullptr);
    g_option_context_free(context);
}

vips::VImage greyOrRgb(const vips::VImage& image) {
    if (image.bands() <= 4)
        return image;
    return image.extract_band(0, vips::VImage::option()->set("n", 3));
}

void copyAsBgr(const unsigned char* from, unsigned char* to, std::uint64_t width, int bands) {
    if (bands == 1) {
        std::copy(from, from + width, to);
        return;
    }
    for (std::uint64_t x = 0; x < width; ++x, from += bands, to += bands) {
        to[0] = from[2];
        to[1] = from[1];
        to[2] = from[0];
        if (bands == 4)
            to[3] = from[3];
    }
}

void Bytes::text(const char* chars, size_t size) {
    for (size_t i = 0; i < size; ++i)
        u8(static_cast<unsigned char>(chars[i]));
}

void Bytes::le16(unsigned value) {
    u8(value & 0xff);
    u8((value >> 8) & 0xff);
}

void Bytes::le32(std::uint32_t value) {
    le16(value & 0xffff);
    le16(value >> 16);
}

void Bytes::be16(unsigned value) {
    u8((value >> 8) & 0xff);
    u8(value & 0xff);
}

void Bytes::be32(std::uint32_t value) {
    be16(value >> 16);
    be16(value & 0xffff);
}

std::uint32_t pixelsPerMetre(double pixelsPerMillimetre) {
    if (!std::isfinite(pixelsPerMillimetre) || pixelsPerMillimetre <= 0 ||
        std::fabs(pixelsPerMillimetre - 1.0) < 1e-6 || pixelsPerMillimetre > 1e6)
        return 0;
    return static_cast<std::uint32_t>(std::lround(pixelsPerMillimetre * 1000));
}

vips::VImage withStatedResolution(const vips::VImage& image, bool pngWithoutResolution) {
    const bool noX = statesNone(image.xres(), pngWithoutResolution);
    const bool noY = statesNone(image.yres(), pngWithoutResolution);
    if (!noX && !noY)
        return image;
    return image.copy(vips::VImage::option()
                          ->set("xres", noX ? kPlainResolution : image.xres())
                          ->set("yres", noY ? kPlainResolution : image.yres()));
}

} // namespace sips
