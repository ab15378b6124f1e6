#include "core/formats.h"

#include <array>
#include <cctype>
#include <charconv>

namespace sips {
namespace {

// clang-format off
const std::array<OutputFormat, 10> kFormats{{
    // word    ext     writer         alpha  16-bit icc    cmyk
    {"jpeg",  "jpeg", Writer::Jpeg,   false, false, true,  true},
    {"jpg",   "jpg",  Writer::Jpeg,   false, false, true,  true},
    {"gif",   "gif",  Writer::Gif,    true,  false, false, false},
    {"png",   "png",  Writer::Png,    true,  true,  true,  false},
    {"tiff",  "tiff", Writer::Tiff,   true,  true,  true,  true},
    {"bmp",   "bmp",  Writer::Bmp,    true,  false, false, false},
    {"tga",   "tga",  Writer::Tga,    true,  false, false, false},
    {"psd",   "psd",  Writer::Psd,    true,  true,  true,  false},
    {"jp2",   "jp2",  Writer::Jp2k,   true,  true,  false, false},
    {"pdf",   "pdf",  Writer::Pdf,    true,  true,  true,  false},
}};
// clang-format on

struct SideLimit {
    Writer writer;
    const char* name;
    int side;
};

// The widest and tallest picture each format can hold: libjpeg's limit, the 16-bit sides of
// GIF and TGA, PSD's below its large-document variant. BMP's 4 GB, PNG's, TIFF's and JPEG
// 2000's limits lie beyond the pixels any source may have.
constexpr SideLimit kSideLimits[] = {
    {Writer::Jpeg, "JPEG", 65500},
    {Writer::Gif, "GIF", 65535},
    {Writer::Tga, "TGA", 65535},
    {Writer::Psd, "PSD", 30000},
};

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
    for (const SideLimit& limit : kSideLimits) {
        if (limit.writer == format.writer && (width > limit.side || height > limit.side))
            return std::string(limit.name) + " cannot hold pictures wider or taller than " +
                   std::to_string(limit.side) + " pixels, and this one is " +
                   std::to_string(width) + " x " + std::to_string(height);
    }
    return {};
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
