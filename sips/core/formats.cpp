#include "core/formats.h"

#include <array>
#include <cctype>
#include <charconv>
#include <exception>
#include <memory>

#include "core/output_file.h"
#include "writers/jp2.h"
#include "writers/pdf.h"
#include "writers/png.h"
#include "writers/tiff.h"
#include "writers/writers.h"

namespace sips {
namespace {

using vips::VImage;

struct JpegSink {
    OutputFile* out;
    std::exception_ptr failure; // the write the output file refused
};

gint64 writeToOutput(VipsTargetCustom*, const void* data, gint64 length, void* closure) {
    auto* sink = static_cast<JpegSink*>(closure);
    try {
        sink->out->write(data, size_t(length));
        return length;
    } catch (...) {
        sink->failure = std::current_exception();
        return -1;
    }
}

void writeJpeg(const Picture& picture, OutputFile& out) {
    // libvips's encoder writes through the output file, as every other writer does: a write
    // it refuses fails the save with the output file's own words for why.
    JpegSink sink{&out, nullptr};
    vips::VTarget target(VIPS_TARGET(vips_target_custom_new()));
    g_signal_connect(target.get_target(), "write", G_CALLBACK(writeToOutput), &sink);
    try {
        picture.image.jpegsave_target(
            target,
            VImage::option()
                ->set("Q", picture.quality.percent)
                ->set("subsample_mode", picture.quality.best ? VIPS_FOREIGN_SUBSAMPLE_OFF
                                                             : VIPS_FOREIGN_SUBSAMPLE_AUTO));
    } catch (const vips::VError&) {
        if (!sink.failure)
            throw;
        vips_error_clear();
        std::rethrow_exception(sink.failure);
    }
}

void writeJp2(const Picture& picture, OutputFile& out) {
    if (picture.quality.best) {
        writeLosslessJp2(picture.image, out);
        return;
    }
    // Through memory: libvips's JPEG 2000 writer hangs when the disk refuses a write.
    VipsBlob* blob = picture.image.jp2ksave_buffer(
        VImage::option()->set("lossless", false)->set("Q", picture.quality.percent));
    std::unique_ptr<VipsArea, decltype(&vips_area_unref)> owned(VIPS_AREA(blob), vips_area_unref);
    size_t size = 0;
    const void* data = vips_blob_get(blob, &size);
    out.write(data, size);
}

// The GIF palette is chosen from a first reading of the picture, before the first row is
// written.
void writeGifTwice(const Picture& picture, OutputFile& out) {
    writeGif(picture.image, picture.again(), out);
}

// With alpha, PDF's soft mask is a second stream, read from a second pipeline.
void writePdfTwice(const Picture& picture, OutputFile& out) {
    writePdf(picture.image, picture.image.has_alpha() ? picture.again() : picture.image, out);
}

template <void (*writer)(const VImage&, OutputFile&)>
void writeOnce(const Picture& picture, OutputFile& out) {
    writer(picture.image, out);
}

// The largest sides: libjpeg's limit, the 16-bit sides of GIF and TGA, PSD's below its
// large-document variant. BMP's 4 GB, PNG's, TIFF's and JPEG 2000's limits lie beyond the
// pixels any source may have.
// clang-format off
const std::array<OutputFormat, 10> kFormats{{
    // word  ext     name         alpha  16-bit icc    cmyk   side   twice  lossless keeps
    {"jpeg", "jpeg", "JPEG",      false, false, true,  true,  65500, false, false, writeJpeg},
    {"jpg",  "jpg",  "JPEG",      false, false, true,  true,  65500, false, false, writeJpeg},
    {"gif",  "gif",  "GIF",       true,  false, false, false, 65535, true,  false, writeGifTwice},
    {"png",  "png",  "PNG",       true,  true,  true,  false, 0,     false, false, writeOnce<writePng>},
    {"tiff", "tiff", "TIFF",      true,  true,  true,  true,  0,     false, false, writeOnce<writeTiff>},
    {"bmp",  "bmp",  "BMP",       true,  false, false, false, 0,     false, false, writeOnce<writeBmp>},
    {"tga",  "tga",  "TGA",       true,  false, false, false, 65535, false, false, writeOnce<writeTga>},
    {"psd",  "psd",  "PSD",       true,  true,  true,  false, 30000, false, false, writeOnce<writePsd>},
    {"jp2",  "jp2",  "JPEG 2000", true,  true,  false, false, 0,     false, true,  writeJp2},
    {"pdf",  "pdf",  "PDF",       true,  true,  true,  false, 0,     true,  false, writePdfTwice},
}};
// clang-format on

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

} // namespace

const OutputFormat* findFormat(std::string_view word) {
    for (const OutputFormat& format : kFormats) {
        if (equalsIgnoringCase(word, format.word))
            return &format;
    }
    return nullptr;
}

std::string formatList() {
    std::string list;
    for (const OutputFormat& format : kFormats) {
        list += format.word;
        list += std::string(8 - std::string_view(format.word).size(), ' ');
        list += ".";
        list += format.extension;
        list += "\n";
    }
    return list;
}

std::string sizeProblem(const OutputFormat& format, int width, int height) {
    const int side = format.largestSide;
    if (side == 0 || (width <= side && height <= side))
        return {};
    return std::string(format.name) + " cannot hold pictures wider or taller than " +
           std::to_string(side) + " pixels, and this one is " + std::to_string(width) + " x " +
           std::to_string(height);
}

bool parseQuality(std::string_view word, Quality& quality) {
    struct Named {
        const char* word;
        int percent;
    };
    static const Named kNamed[] = {
        {"default", 85}, {"low", 40}, {"normal", 65}, {"high", 85}, {"best", 100}};
    for (const Named& named : kNamed) {
        if (equalsIgnoringCase(word, named.word)) {
            quality.percent = named.percent;
            quality.best = named.percent == 100;
            return true;
        }
    }
    if (!word.empty() && word.back() == '%')
        word.remove_suffix(1);
    int percent = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), percent);
    if (word.empty() || error != std::errc() || end != word.data() + word.size() || percent < 1 ||
        percent > 100)
        return false;
    quality.percent = percent;
    quality.best = percent == 100;
    return true;
}

} // namespace sips
