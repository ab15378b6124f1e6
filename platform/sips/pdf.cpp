#include "pdf.h"

#include "output_file.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <cmath>
#include <exception>
#include <memory>

using vips::VImage;

namespace sips {
namespace {

struct Stream {
    OutputFile* out;
    std::exception_ptr failure;
};

cairo_status_t writeToStream(void* closure, const unsigned char* data, unsigned int length) {
    auto* stream = static_cast<Stream*>(closure);
    try {
        stream->out->write(data, length);
        return CAIRO_STATUS_SUCCESS;
    } catch (...) {
        stream->failure = std::current_exception();
        return CAIRO_STATUS_WRITE_ERROR;
    }
}

// libvips keeps resolution in pixels per millimetre, and 1 when a file gives none.
double dotsPerInch(double pixelsPerMillimetre) {
    if (!std::isfinite(pixelsPerMillimetre) || pixelsPerMillimetre <= 0 ||
        std::fabs(pixelsPerMillimetre - 1.0) < 1e-6)
        return 72.0;
    return pixelsPerMillimetre * 25.4;
}

// cairo's 32-bit pixels are native-endian words, premultiplied by alpha.
VImage toCairoPixels(const VImage& rgb) {
    VImage pixels = rgb;
    if (rgb.has_alpha())
        pixels = rgb.premultiply().rint().cast(VIPS_FORMAT_UCHAR);
    else
        pixels = rgb.bandjoin_const({255});
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return VImage::bandjoin(std::vector<VImage>{pixels[2], pixels[1], pixels[0], pixels[3]});
#else
    return VImage::bandjoin(std::vector<VImage>{pixels[3], pixels[0], pixels[1], pixels[2]});
#endif
}

struct CairoDeleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

} // namespace

void writePdf(const VImage& image, OutputFile& out) {
    const int width = image.width();
    const int height = image.height();
    const bool alpha = image.has_alpha();
    size_t size = 0;
    std::unique_ptr<void, decltype(&g_free)> pixels(toCairoPixels(image).write_to_memory(&size),
                                                    g_free);

    std::unique_ptr<cairo_surface_t, CairoDeleter> picture(cairo_image_surface_create_for_data(
        static_cast<unsigned char*>(pixels.get()), alpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24,
        width, height, width * 4));

    const double xScale = 72.0 / dotsPerInch(image.xres());
    const double yScale = 72.0 / dotsPerInch(image.yres());
    Stream stream{&out, nullptr};
    std::unique_ptr<cairo_surface_t, CairoDeleter> pdf(cairo_pdf_surface_create_for_stream(
        writeToStream, &stream, width * xScale, height * yScale));
    {
        std::unique_ptr<cairo_t, CairoDeleter> cr(cairo_create(pdf.get()));
        cairo_scale(cr.get(), xScale, yScale);
        cairo_set_source_surface(cr.get(), picture.get(), 0, 0);
        cairo_paint(cr.get());
    }
    cairo_surface_finish(pdf.get());
    if (stream.failure)
        std::rethrow_exception(stream.failure);
    cairo_status_t status = cairo_surface_status(pdf.get());
    if (status != CAIRO_STATUS_SUCCESS)
        throw vips::VError(std::string("cairo write failed: ") + cairo_status_to_string(status));
}

} // namespace sips
