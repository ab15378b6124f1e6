#include "writers/pdf.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <zlib.h>

#include "core/output_file.h"
#include "core/strips.h"
#include "writers/deflate_parallel.h"

using vips::VImage;

namespace sips {
namespace {

constexpr int kLevel = 6;
// Acrobat's and most readers' largest page side, in (user) units.
constexpr double kLargestPageSide = 14400;
// Poppler draws images through cairo, whose surfaces stop at 32,767 pixels a side; it left an
// image of 32,767 rows blank here but draws this many. A larger picture is stored as several
// images side by side.
constexpr int kLargestImageSide = 16384;
// Where the picture is cut into columns, the compressed rows of one band of tiles are held
// until the band is complete: about this many bytes of samples.
constexpr std::uint64_t kBandBytes = 16 << 20;

constexpr int kCatalog = 1, kPages = 2, kPage = 3, kContents = 4, kProfile = 5;

// libvips keeps resolution in pixels per millimetre, and 1 when a file gives none.
double dotsPerInch(double pixelsPerMillimetre) {
    if (!std::isfinite(pixelsPerMillimetre) || pixelsPerMillimetre <= 0 ||
        std::fabs(pixelsPerMillimetre - 1.0) < 1e-6)
        return 72.0;
    return pixelsPerMillimetre * 25.4;
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string written = text;
    while (written.back() == '0')
        written.pop_back();
    if (written.back() == '.')
        written.pop_back();
    return written;
}

std::string reference(int object) {
    return std::to_string(object) + " 0 R";
}

// The file written front to back, with where each object starts for the cross-reference
// table.
class PdfFile {
public:
    PdfFile(OutputFile& out, int objects) : out_(out), offsets_(size_t(objects), 0) {}

    void write(const void* data, size_t size) {
        out_.write(data, size);
        written_ += size;
    }
    void write(const std::string& text) { write(text.data(), text.size()); }

    void begin(int object) {
        offsets_[object] = written_;
        write(std::to_string(object) + " 0 obj\n");
    }
    void object(int object, const std::string& body) {
        begin(object);
        write(body + "\nendobj\n");
    }
    std::uint64_t written() const { return written_; }

    void finish() {
        const std::uint64_t xref = written_;
        const std::string size = std::to_string(offsets_.size());
        std::string table = "xref\n0 " + size + "\n0000000000 65535 f \n";
        for (size_t object = 1; object < offsets_.size(); ++object) {
            char entry[32];
            std::snprintf(entry, sizeof entry, "%010llu 00000 n \n",
                          static_cast<unsigned long long>(offsets_[object]));
            table += entry;
        }
        table += "trailer\n<< /Size " + size + " /Root " + reference(kCatalog) +
                 " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
        write(table);
    }

private:
    OutputFile& out_;
    std::uint64_t written_ = 0;
    std::vector<std::uint64_t> offsets_;
};

// The ICC profile when it describes the picture's colours: a grey picture cannot use an RGB
// profile left over from its source.
bool profileFits(const VImage& image, int colours) {
    if (image.get_typeof(VIPS_META_ICC_NAME) == 0)
        return false;
    size_t size = 0;
    auto profile = static_cast<const char*>(image.get_blob(VIPS_META_ICC_NAME, &size));
    if (size < 128)
        return false;
    return std::memcmp(profile + 16, colours == 1 ? "GRAY" : "RGB ", 4) == 0;
}

// How the picture is cut into images no reader refuses: columns where it is too wide, and
// bands of rows, each band written as soon as its last row has come.
struct Grid {
    int width, height;
    int columns, tileWidth;
    int bandHeight, bands;

    Grid(int width, int height, int pixelBytes) : width(width), height(height) {
        columns = (width + kLargestImageSide - 1) / kLargestImageSide;
        tileWidth = (width + columns - 1) / columns;
        bandHeight = std::min(height, kLargestImageSide);
        if (columns > 1)
            bandHeight = int(std::clamp<std::uint64_t>(
                kBandBytes / (std::uint64_t(width) * pixelBytes), 1, std::uint64_t(bandHeight)));
        bands = (height + bandHeight - 1) / bandHeight;
    }
    int tiles() const { return columns * bands; }
    int left(int column) const { return column * tileWidth; }
    int widthOf(int column) const { return std::min(tileWidth, width - left(column)); }
    int top(int band) const { return band * bandHeight; }
    int heightOf(int band) const { return std::min(bandHeight, height - top(band)); }
};

// Object numbers: the fixed ones, the profile when there is one, then for every tile its image,
// the image's length, and with alpha its soft mask and the mask's length.
struct Numbers {
    int firstTile;
    int perTile;
    int image(int tile) const { return firstTile + tile * perTile; }
    int mask(int tile) const { return image(tile) + 2; }
    int objects(const Grid& grid) const { return firstTile + grid.tiles() * perTile; }
};

// One tile's samples, compressed as they come: straight into the file when the tile is as
// wide as the picture, into memory when other tiles of its band come in between.
class TileStream {
public:
    TileStream(PdfFile& pdf, int object, std::string dictionary, std::uint64_t expectedBytes,
               bool direct, int threads)
        : pdf_(pdf), object_(object), dictionary_(std::move(dictionary)), direct_(direct),
          deflater_(
              kLevel, expectedBytes,
              [this](const unsigned char* data, size_t size) {
                  if (direct_)
                      pdf_.write(data, size);
                  else
                      held_.insert(held_.end(), data, data + size);
              },
              threads) {
        if (direct_)
            open();
    }

    void write(const std::vector<unsigned char>& samples) {
        deflater_.write(samples.data(), samples.size());
    }

    void close() {
        deflater_.finish();
        if (!direct_) {
            open();
            pdf_.write(held_.data(), held_.size());
            held_.clear();
        }
        const std::uint64_t length = pdf_.written() - start_;
        pdf_.write("\nendstream\nendobj\n");
        pdf_.object(object_ + 1, std::to_string(length));
    }

private:
    void open() {
        pdf_.begin(object_);
        pdf_.write(dictionary_ + "\nstream\n");
        start_ = pdf_.written();
    }

    PdfFile& pdf_;
    const int object_;
    const std::string dictionary_;
    const bool direct_;
    std::vector<unsigned char> held_;
    std::uint64_t start_ = 0;
    ParallelDeflate deflater_;
};

// Samples `first` to `first + count` of the pixels `left` to `left + width` of one row,
// big-endian, as PDF holds them.
void appendSamples(const unsigned char* row, int bands, int sampleBytes, int left, int width,
                   int first, int count, std::vector<unsigned char>& to) {
    const unsigned char* pixel = row + size_t(left) * bands * sampleBytes;
    if (sampleBytes == 1 && count == bands) {
        to.insert(to.end(), pixel, pixel + size_t(width) * bands);
        return;
    }
    for (int x = 0; x < width; ++x, pixel += bands * sampleBytes) {
        for (int band = first; band < first + count; ++band) {
            if (sampleBytes == 1) {
                to.push_back(pixel[band]);
            } else {
                std::uint16_t sample;
                std::memcpy(&sample, pixel + band * 2, 2);
                to.push_back(static_cast<unsigned char>(sample >> 8));
                to.push_back(static_cast<unsigned char>(sample));
            }
        }
    }
}

// Writes every tile of one image, the colours or the soft mask, in one read of the picture.
// `dictionary` gives a tile's entries beyond its size and samples.
void writeTiles(PdfFile& pdf, const Grid& grid, const VImage& image, int first, int count,
                const std::function<int(int)>& objectOf,
                const std::function<std::string(int)>& dictionary) {
    const int bands = image.bands();
    const int sampleBytes = image.format() == VIPS_FORMAT_USHORT ? 2 : 1;
    const int threads = std::max(1, workerThreads() / grid.columns);
    std::vector<std::unique_ptr<TileStream>> open;
    std::vector<unsigned char> samples;
    int band = -1;
    auto startBand = [&](int next) {
        band = next;
        for (int column = 0; column < grid.columns; ++column) {
            const int tile = band * grid.columns + column;
            const std::uint64_t bytes = std::uint64_t(grid.widthOf(column)) *
                                        std::uint64_t(grid.heightOf(band)) * count * sampleBytes;
            const std::string entries =
                "<< /Type /XObject /Subtype /Image /Width " + std::to_string(grid.widthOf(column)) +
                " /Height " + std::to_string(grid.heightOf(band)) + " /BitsPerComponent " +
                std::to_string(sampleBytes * 8) + " " + dictionary(tile) +
                " /Filter /FlateDecode /Length " + reference(objectOf(tile) + 1) + " >>";
            open.push_back(std::make_unique<TileStream>(pdf, objectOf(tile), entries, bytes,
                                                        grid.columns == 1, threads));
        }
    };
    auto endBand = [&] {
        for (auto& stream : open)
            stream->close();
        open.clear();
    };
    forEachStrip(image, [&](const Strip& strip) {
        int y = strip.top;
        while (y < strip.top + strip.height) {
            if (band < 0 || y == grid.top(band) + grid.heightOf(band)) {
                if (band >= 0)
                    endBand();
                startBand(band + 1);
            }
            const int rows =
                std::min(strip.top + strip.height, grid.top(band) + grid.heightOf(band)) - y;
            for (int column = 0; column < grid.columns; ++column) {
                samples.clear();
                for (int row = y; row < y + rows; ++row)
                    appendSamples(strip.row(row), bands, sampleBytes, grid.left(column),
                                  grid.widthOf(column), first, count, samples);
                open[size_t(column)]->write(samples);
            }
            y += rows;
        }
    });
    endBand();
}

} // namespace

void writePdf(const VImage& picture, const VImage& again, OutputFile& out) {
    const VImage image = greyOrRgb(picture);
    const bool alpha = image.bands() == 2 || image.bands() == 4;
    const int colours = alpha ? image.bands() - 1 : image.bands();
    const bool profile = profileFits(image, colours);
    const int sampleBytes = image.format() == VIPS_FORMAT_USHORT ? 2 : 1;
    const Grid grid(image.width(), image.height(), image.bands() * sampleBytes);
    const Numbers numbers{profile ? kProfile + 1 : kProfile, alpha ? 4 : 2};

    // The page in points at the picture's resolution; past the readers' limit, in larger
    // units so that the pixels stay as they are.
    const double width = image.width() * 72.0 / dotsPerInch(image.xres());
    const double height = image.height() * 72.0 / dotsPerInch(image.yres());
    const double unit = std::max(1.0, std::ceil(std::max(width, height) / kLargestPageSide));
    const double perColumn = width / unit / image.width();
    const double perRow = height / unit / image.height();

    PdfFile pdf(out, numbers.objects(grid));
    // The second line's bytes above 127 tell transfer programs that the file is binary.
    pdf.write("%PDF-1.6\n%\xe2\xe3\xcf\xd3\n");
    pdf.object(kCatalog, "<< /Type /Catalog /Pages " + reference(kPages) + " >>");
    pdf.object(kPages, "<< /Type /Pages /Kids [" + reference(kPage) + "] /Count 1 >>");
    std::string names, drawing;
    for (int band = 0; band < grid.bands; ++band) {
        for (int column = 0; column < grid.columns; ++column) {
            const int tile = band * grid.columns + column;
            const std::string name = "/Im" + std::to_string(tile);
            names += " " + name + " " + reference(numbers.image(tile));
            const int bottom = image.height() - grid.top(band) - grid.heightOf(band);
            drawing += "q " + number(grid.widthOf(column) * perColumn) + " 0 0 " +
                       number(grid.heightOf(band) * perRow) + " " +
                       number(grid.left(column) * perColumn) + " " + number(bottom * perRow) +
                       " cm " + name + " Do Q\n";
        }
    }
    pdf.object(kPage, "<< /Type /Page /Parent " + reference(kPages) + " /MediaBox [0 0 " +
                          number(width / unit) + " " + number(height / unit) + "]" +
                          (unit > 1 ? " /UserUnit " + number(unit) : "") +
                          " /Resources << /XObject <<" + names + " >> >> /Contents " +
                          reference(kContents) + " >>");
    pdf.object(kContents, "<< /Length " + std::to_string(drawing.size()) + " >>\nstream\n" +
                              drawing + "endstream");
    if (profile) {
        size_t size = 0;
        const void* data = image.get_blob(VIPS_META_ICC_NAME, &size);
        const std::vector<unsigned char> packed = deflated(data, size);
        pdf.begin(kProfile);
        pdf.write("<< /N " + std::to_string(colours) + " /Alternate " +
                  (colours == 1 ? "/DeviceGray" : "/DeviceRGB") + " /Filter /FlateDecode /Length " +
                  std::to_string(packed.size()) + " >>\nstream\n");
        pdf.write(packed.data(), packed.size());
        pdf.write("\nendstream\nendobj\n");
    }

    const std::string space = profile        ? "[/ICCBased " + reference(kProfile) + "]"
                              : colours == 1 ? "/DeviceGray"
                                             : "/DeviceRGB";
    writeTiles(
        pdf, grid, image, 0, colours, [&](int tile) { return numbers.image(tile); },
        [&](int tile) {
            return "/ColorSpace " + space +
                   (alpha ? " /SMask " + reference(numbers.mask(tile)) : "");
        });
    if (alpha)
        writeTiles(
            pdf, grid, greyOrRgb(again), colours, 1, [&](int tile) { return numbers.mask(tile); },
            [](int) { return std::string("/ColorSpace /DeviceGray"); });
    pdf.finish();
}

} // namespace sips
