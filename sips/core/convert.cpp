#include "core/convert.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "core/failure.h"
#include "core/modules.h"
#include "core/output_file.h"
#include "core/parallel.h"
#include "core/paths.h"
#include "core/run_limits.h"
#include "core/strips.h"
#include "input/input.h"
#include "input/intact.h"
#include "input/readers.h"

using vips::VError;
using vips::VImage;

namespace sips {
namespace {

// libvips's own words for what went wrong, on one line: its last message, without the name
// of the part of libvips that gave it.
std::string libvipsReason(std::string message) {
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())))
        message.pop_back();
    message.erase(0, message.rfind('\n') + 1);
    auto colon = message.find(": ");
    if (colon != std::string::npos && message.find(' ') > colon)
        message.erase(0, colon + 2);
    // libheif ends its words with its error's numbers, "(2.100)", and may give nothing else.
    message = std::regex_replace(message, std::regex(R"(\s*\(\d+\.\d+\)$)"), "");
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.front())))
        message.erase(0, 1);
    return message;
}

bool readThroughImageMagick(const SourceFile& file, const char* refused, const std::string& reason,
                            VipsAccess access, VImage& image) {
    // Only a TIFF that libvips's loader finds sound but cannot lay out (64-bit floating-point
    // samples): given damaged files, ImageMagick fills what it cannot decode and succeeds.
    const bool unsupported = reason == "samples out of range" ||
                             reason.find("unsupported") != std::string::npos ||
                             reason.find("not supported") != std::string::npos;
    if (std::strncmp(refused, "tiffload", 8) != 0 || !unsupported)
        return false;
    loadOptionalModules();
    if (vips_type_find("VipsOperation", "magickload") == 0)
        return false;
    try {
        image = loadFile(file, "magickload", access);
        return true;
    } catch (const VError&) {
        vips_error_clear();
        return false;
    }
}

int orientationOf(const VImage& image) {
    if (image.get_typeof(VIPS_META_ORIENTATION) == 0)
        return 1;
    int orientation = image.get_int(VIPS_META_ORIENTATION);
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

VImage withInterpretation(const VImage& image, VipsInterpretation interpretation) {
    return image.copy(VImage::option()->set("interpretation", interpretation));
}

VImage withoutProfile(const VImage& image) {
    if (image.get_typeof(VIPS_META_ICC_NAME) == 0)
        return image;
    VImage copy = image.copy();
    copy.remove(VIPS_META_ICC_NAME);
    return copy;
}

// sRGB through the image's own profile where it has one; libvips's CMYK profile for
// CMYK without one. The profile attached afterwards describes sRGB.
VImage toSrgb(const VImage& image, bool cmyk, bool keepSixteenBit) {
    try {
        return image.icc_transform("srgb", VImage::option()
                                               ->set("embedded", true)
                                               ->set("input_profile", cmyk ? "cmyk" : "srgb")
                                               ->set("intent", VIPS_INTENT_RELATIVE)
                                               ->set("depth", keepSixteenBit ? 16 : 8));
    } catch (const VError&) {
        // A damaged profile: the colour numbers are still closer to right than nothing.
        vips_error_clear();
        return withoutProfile(image.colourspace(keepSixteenBit ? VIPS_INTERPRETATION_RGB16
                                                               : VIPS_INTERPRETATION_sRGB));
    }
}

// Opens a source the way its conversion reads it.
SourceImage openToConvert(const std::shared_ptr<SourceFile>& file) {
    setTileHeight(kStreamingTileHeight);
    SourceImage image = openSource(file, VIPS_ACCESS_SEQUENTIAL);
    if (image.orientation != 1) {
        // Turning a picture reads it out of order, which a streaming load cannot do. The
        // whole picture is then in memory anyway, and libvips's own tiles turn it faster.
        setTileHeight(kLibvipsTileHeight);
        image = openSource(file, VIPS_ACCESS_RANDOM);
    }
    return image;
}

void save(const SourceImage& source, const OutputFormat& format, const Quality& quality,
          OutputFile& out) {
    const bool pngWithoutResolution =
        formatWord(source) == "png" && !source.file->pngFacts().statesResolution;
    Picture picture{
        withStatedResolution(prepareFor(source, format), pngWithoutResolution), {}, quality};
    if (format.readsTwice)
        picture.again = [&] { return prepareFor(openToConvert(source.file), format); };
    if (!(quality.best && format.losslessKeepsBufferLimit))
        returnLargeBuffersAtOnce();
    format.write(picture, out);
}

// What the rest of the conversion needs to know of a loaded picture.
SourceImage described(const std::shared_ptr<SourceFile>& file, const VImage& image) {
    const std::string& path = file->path();
    SourceImage source;
    source.path = path;
    source.file = file;
    source.image = image;
    const char* nickname = nullptr;
    if (source.image.get_typeof(VIPS_META_LOADER) != 0)
        nickname = source.image.get_string(VIPS_META_LOADER);
    source.loader = nickname ? nickname : "";
    checkPixelCount(source.image.width(), source.image.height(), path);
    source.orientation = orientationOf(source.image);
    bool turned = source.orientation >= 5;
    source.shownWidth = turned ? source.image.height() : source.image.width();
    source.shownHeight = turned ? source.image.width() : source.image.height();
    return source;
}

// A PNG's stream is checked beside the conversion; first, where no thread can be started.
std::future<void> checkStreamBeside(const SourceImage& image) {
    try {
        return std::async(std::launch::async, checkStream, std::cref(image));
    } catch (const std::system_error&) {
        checkStream(image);
        return {};
    }
}

} // namespace

void checkPixelCount(std::uint64_t width, std::uint64_t height, const std::string& path) {
    // Either side alone may be past the limit, and the product past 64 bits.
    if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels)
        throw Failure("the image is too large to convert safely (" + std::to_string(width) + " x " +
                          std::to_string(height) + " pixels)",
                      path);
}

std::string formatWord(const SourceImage& source);

SourceImage openSource(const std::string& path, VipsAccess access) {
    return openSource(std::make_shared<SourceFile>(path), access);
}

SourceImage openSource(const std::shared_ptr<SourceFile>& file, VipsAccess access) {
    const std::string& path = file->path();
    if (std::optional<VImage> tga = readGreyTga(*file))
        return described(file, *tga);
    const char* loader = findLoader(path);
    if (!loader && loadOptionalModules()) {
        // BMP, PSD, PDF, HEIC and the like are read by modules that are loaded on demand.
        vips_error_clear();
        loader = findLoader(path);
    }
    if (!loader) {
        vips_error_clear();
        throw Failure("cannot read this file as an image", path);
    }
    checkHeader(*file, loader);
    const DecoderReports reports;
    VImage image;
    try {
        image = loadFile(*file, loader, access);
    } catch (const VError& error) {
        std::string reason = libvipsReason(error.what());
        vips_error_clear();
        // The first bytes were recognised, so the rest of the file is what is wrong, unless
        // ImageMagick reads what libvips's own loader refuses (64-bit floating-point TIFF).
        if (!readThroughImageMagick(*file, loader, reason, access, image))
            throw Failure(damagedBecause(reason), path);
    }
    reports.check(path);
    SourceImage source = described(file, image);
    if (formatWord(source) == "png")
        source.image = withPngGamma(source.image, file->pngFacts().gamma);
    return source;
}

std::string formatWord(const SourceImage& source) {
    std::string loader = source.loader;
    for (const char* tail : {"_source", "_buffer", "_file"})
        if (endsWith(loader, tail))
            loader.resize(loader.size() - std::strlen(tail));
    if (endsWith(loader, "load"))
        loader.resize(loader.size() - 4);
    if (loader == "jp2k")
        return "jp2";
    if (loader == "heif" && source.image.get_typeof("heif-compression") != 0 &&
        std::string(source.image.get_string("heif-compression")) == "av1")
        return "avif";
    if (loader != "magick")
        return loader;
    // ImageMagick does not say what it read, but these formats say it in their first bytes.
    const std::vector<unsigned char>& head = source.file->head();
    if (head.size() >= 2 && head[0] == 'B' && head[1] == 'M')
        return "bmp";
    if (head.size() >= 4 && std::memcmp(head.data(), "8BPS", 4) == 0)
        return "psd";
    const std::string extension = lowerCaseExtension(source.path);
    return baseName(source.path).find('.') == std::string::npos ? "unknown" : extension;
}

VImage prepareFor(const SourceImage& source, const OutputFormat& format) {
    VImage image = source.image;
    if (source.orientation != 1)
        image = image.autorot();
    bool sixteenBit = image.format() == VIPS_FORMAT_USHORT && format.sixteenBit;

    VipsInterpretation space = image.guess_interpretation();
    bool hasProfile = image.get_typeof(VIPS_META_ICC_NAME) != 0;
    if (space == VIPS_INTERPRETATION_CMYK) {
        if (!format.cmyk)
            image = toSrgb(image, true, sixteenBit);
    } else if (hasProfile && !format.icc) {
        image = toSrgb(image, false, sixteenBit);
    } else if (space != VIPS_INTERPRETATION_sRGB && space != VIPS_INTERPRETATION_RGB16 &&
               space != VIPS_INTERPRETATION_B_W && space != VIPS_INTERPRETATION_GREY16) {
        // Lab, XYZ, scRGB and the like: the profile, if any, described the old numbers.
        image = withoutProfile(
            image.colourspace(sixteenBit ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB));
    }
    if (!format.icc)
        image = withoutProfile(image);

    if (image.format() != VIPS_FORMAT_UCHAR &&
        !(image.format() == VIPS_FORMAT_USHORT && sixteenBit)) {
        bool wasSixteen = image.format() == VIPS_FORMAT_USHORT;
        image = image.cast(VIPS_FORMAT_UCHAR, VImage::option()->set("shift", wasSixteen));
        VipsInterpretation eightBit =
            image.bands() >= 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
        if (image.guess_interpretation() != VIPS_INTERPRETATION_CMYK)
            image = withInterpretation(image, eightBit);
    }

    if (image.has_alpha() && !format.alpha) {
        bool cmyk = image.guess_interpretation() == VIPS_INTERPRETATION_CMYK;
        image = image
                    .flatten(VImage::option()->set("background",
                                                   std::vector<double>{cmyk ? 0.0 : 255.0}))
                    .cast(VIPS_FORMAT_UCHAR);
    }
    return image;
}

std::string outputPathFor(const std::string& source, const std::string& out,
                          const OutputFormat& format) {
    if (!isFolder(out))
        return out;
    std::string name = baseName(source);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    std::string folder = out;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return (folder == "/" ? "" : folder) + "/" + name + "." + format.extension;
}

void convertFile(const std::string& source, const std::string& target, const OutputFormat& format,
                 const Quality& quality) {
    struct stat sourceInfo, targetInfo;
    if (stat(source.c_str(), &sourceInfo) == 0 && stat(target.c_str(), &targetInfo) == 0 &&
        sourceInfo.st_dev == targetInfo.st_dev && sourceInfo.st_ino == targetInfo.st_ino)
        throw Failure("the output would overwrite the source", target);
    struct stat existing;
    if (lstat(target.c_str(), &existing) == 0)
        throw NameTaken(target);

    const DecoderReports reports;
    SourceImage image = openToConvert(std::make_shared<SourceFile>(source));
    // From the header, before a single pixel is decoded.
    std::string tooLarge = sizeProblem(format, image.shownWidth, image.shownHeight);
    if (!tooLarge.empty())
        throw Failure(tooLarge, source);
    checkIntact(image);
    std::future<void> stream = checkStreamBeside(image);
    // The check's answer is in before anything is given the output's name.
    auto streamChecked = [&stream] {
        if (stream.valid())
            stream.get();
    };
    OutputFile out(target);
    try {
        save(image, format, quality, out);
    } catch (const VError& error) {
        std::string message = error.what();
        vips_error_clear();
        if (memoryRanOut(message))
            throw Failure(kNotEnoughMemory, source);
        // A refused write of the output ends the save with the output file's own Failure,
        // never with libvips's error; this one is about the source. The stream check's
        // words name the damage; libvips's may only say a tile failed.
        streamChecked();
        throw Failure(damagedBecause(libvipsReason(message)), source);
    }
    streamChecked();
    reports.check(source);
    checkFullyRead(image);
    out.commit();
}

} // namespace sips
