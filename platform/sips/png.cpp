#include "png.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "deflate_parallel.h"
#include "failure.h"
#include "output_file.h"
#include "strips.h"

using vips::VImage;

namespace sips {
namespace {

constexpr int kLevel = 6;
constexpr size_t kIdatBytes = 64 * 1024;
constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint64_t kLargestSide = 0x7fffffff;
constexpr char kExifHeader[] = "Exif\0\0"; // how libvips's loaders begin the EXIF block

enum Filter : unsigned char { kNone, kSub, kUp, kAverage, kPaeth, kFilters };

class ChunkWriter {
public:
    explicit ChunkWriter(OutputFile& out) : out_(out) {}

    void write(const char type[4], const unsigned char* data, size_t size) {
        write(type, data, size, nullptr, 0);
    }
    // One chunk whose data is two pieces, one after the other.
    void write(const char type[4], const unsigned char* first, size_t firstSize,
               const unsigned char* second, size_t secondSize) {
        Bytes head;
        head.be32(static_cast<std::uint32_t>(firstSize + secondSize));
        head.text(type, 4);
        uLong crc = crc32(0, head.data() + 4, 4);
        // A null buffer would restart the CRC.
        if (firstSize > 0)
            crc = crc32_z(crc, first, firstSize);
        if (secondSize > 0)
            crc = crc32_z(crc, second, secondSize);
        out_.write(head.data(), head.size());
        out_.write(first, firstSize);
        out_.write(second, secondSize);
        Bytes tail;
        tail.be32(static_cast<std::uint32_t>(crc));
        out_.write(tail.data(), tail.size());
    }
    void write(const char type[4], const Bytes& bytes) { write(type, bytes.data(), bytes.size()); }

private:
    OutputFile& out_;
};

unsigned colourType(int bands) {
    switch (bands) {
    case 1:
        return 0; // grey
    case 2:
        return 4; // grey and alpha
    case 3:
        return 2; // RGB
    default:
        return 6; // RGBA
    }
}

// The picture is written turned as it is shown, so an EXIF orientation must now say so: it
// is set to 1 in the first IFD, where the tag lives.
void markUpright(std::vector<unsigned char>& tiff) {
    if (tiff.size() < 8 || (tiff[0] != 'I' && tiff[0] != 'M') || tiff[1] != tiff[0])
        return;
    const bool little = tiff[0] == 'I';
    auto read = [&](size_t at, int bytes) {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= std::uint32_t(tiff[at + (little ? i : bytes - 1 - i)]) << (8 * i);
        return value;
    };
    const size_t ifd = read(4, 4);
    if (ifd + 2 > tiff.size())
        return;
    const size_t entries = read(ifd, 2);
    constexpr unsigned kOrientationTag = 0x0112, kShort = 3;
    for (size_t i = 0; i < entries && ifd + 2 + 12 * (i + 1) <= tiff.size(); ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        if (read(entry, 2) == kOrientationTag && read(entry + 2, 2) == kShort) {
            tiff[entry + 8] = little ? 1 : 0;
            tiff[entry + 9] = little ? 0 : 1;
        }
    }
}

void writeMetadata(const VImage& image, ChunkWriter& chunks) {
    size_t size = 0;
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        const void* profile = image.get_blob(VIPS_META_ICC_NAME, &size);
        Bytes iccp;
        iccp.text("icc", 4); // the profile's name, with its closing NUL
        iccp.u8(0);          // deflate
        std::vector<unsigned char> packed = deflated(profile, size);
        iccp.text(reinterpret_cast<const char*>(packed.data()), packed.size());
        chunks.write("iCCP", iccp);
    }
    const std::uint32_t xres = pixelsPerMetre(image.xres());
    const std::uint32_t yres = pixelsPerMetre(image.yres());
    if (xres != 0 && yres != 0) {
        Bytes phys;
        phys.be32(xres);
        phys.be32(yres);
        phys.u8(1); // per metre
        chunks.write("pHYs", phys);
    }
    if (image.get_typeof(VIPS_META_EXIF_NAME) != 0) {
        auto exif = static_cast<const unsigned char*>(image.get_blob(VIPS_META_EXIF_NAME, &size));
        const size_t headerBytes = sizeof kExifHeader - 1;
        if (size > headerBytes && std::memcmp(exif, kExifHeader, headerBytes) == 0) {
            exif += headerBytes;
            size -= headerBytes;
        }
        if (size > 0) {
            std::vector<unsigned char> upright(exif, exif + size);
            markUpright(upright);
            chunks.write("eXIf", upright.data(), upright.size());
        }
    }
    if (image.get_typeof(VIPS_META_XMP_NAME) != 0) {
        const void* xmp = image.get_blob(VIPS_META_XMP_NAME, &size);
        Bytes itxt;
        itxt.text("XML:com.adobe.xmp", 18); // keyword and its NUL
        itxt.zeros(4);                      // uncompressed; no language tag, no translated keyword
        itxt.text(static_cast<const char*>(xmp), size);
        chunks.write("iTXt", itxt);
    }
}

// The sum libpng's heuristic minimises: every byte taken as a signed number.
inline unsigned magnitude(unsigned char byte) {
    return byte < 128 ? byte : 256u - byte;
}

inline unsigned char paeth(unsigned char left, unsigned char up, unsigned char upLeft) {
    const int estimate = int(left) + up - upLeft;
    const int toLeft = std::abs(estimate - left);
    const int toUp = std::abs(estimate - up);
    const int toUpLeft = std::abs(estimate - upLeft);
    if (toLeft <= toUp && toLeft <= toUpLeft)
        return left;
    return toUp <= toUpLeft ? up : upLeft;
}

// Filters rows with the heuristic's choice, keeping the previous row for the next call.
class RowFilter {
public:
    RowFilter(size_t rowBytes, int pixelBytes)
        : rowBytes_(rowBytes), pixelBytes_(pixelBytes), previous_(rowBytes, 0) {
        for (auto& trial : trials_)
            trial.resize(rowBytes);
    }

    // Appends the filter byte and the filtered row to `to`.
    void filter(const unsigned char* row, std::vector<unsigned char>& to) {
        const unsigned char* up = previous_.data();
        const size_t n = rowBytes_, bpp = size_t(pixelBytes_);
        unsigned char* sub = trials_[kSub].data();
        unsigned char* vertical = trials_[kUp].data();
        unsigned char* average = trials_[kAverage].data();
        unsigned char* predicted = trials_[kPaeth].data();
        for (size_t i = 0; i < bpp && i < n; ++i) {
            sub[i] = row[i];
            vertical[i] = row[i] - up[i];
            average[i] = row[i] - (up[i] >> 1);
            predicted[i] = row[i] - up[i];
        }
        for (size_t i = bpp; i < n; ++i) {
            sub[i] = row[i] - row[i - bpp];
            vertical[i] = row[i] - up[i];
            average[i] = row[i] - ((unsigned(row[i - bpp]) + up[i]) >> 1);
            predicted[i] = row[i] - paeth(row[i - bpp], up[i], up[i - bpp]);
        }
        unsigned long sums[kFilters] = {};
        for (size_t i = 0; i < n; ++i) {
            sums[kNone] += magnitude(row[i]);
            sums[kSub] += magnitude(sub[i]);
            sums[kUp] += magnitude(vertical[i]);
            sums[kAverage] += magnitude(average[i]);
            sums[kPaeth] += magnitude(predicted[i]);
        }
        Filter best = kNone;
        for (Filter f : {kSub, kUp, kAverage, kPaeth})
            if (sums[f] < sums[best])
                best = f;
        to.push_back(best);
        const unsigned char* chosen = best == kNone ? row : trials_[best].data();
        to.insert(to.end(), chosen, chosen + n);
        std::memcpy(previous_.data(), row, n);
    }

private:
    const size_t rowBytes_;
    const int pixelBytes_;
    std::vector<unsigned char> previous_;
    std::vector<unsigned char> trials_[kFilters];
};

// One row in PNG's byte order: 16-bit samples big-endian.
const unsigned char* inFileOrder(const unsigned char* row, size_t rowBytes, bool sixteenBit,
                                 std::vector<unsigned char>& swapped) {
    if (!sixteenBit)
        return row;
    swapped.resize(rowBytes);
    for (size_t i = 0; i < rowBytes; i += 2) {
        std::uint16_t sample;
        std::memcpy(&sample, row + i, 2);
        swapped[i] = static_cast<unsigned char>(sample >> 8);
        swapped[i + 1] = static_cast<unsigned char>(sample);
    }
    return swapped.data();
}

} // namespace

void writePng(const VImage& picture, OutputFile& out) {
    const VImage image = greyOrRgb(picture);
    const int bands = image.bands();
    const bool sixteenBit = image.format() == VIPS_FORMAT_USHORT;
    const int pixelBytes = bands * (sixteenBit ? 2 : 1);
    const std::uint64_t width = std::uint64_t(image.width());
    const std::uint64_t height = std::uint64_t(image.height());
    if (width > kLargestSide || height > kLargestSide)
        throw Failure("the image is too large for a PNG file", out.target());
    const size_t rowBytes = size_t(width) * size_t(pixelBytes);

    out.write(kSignature, sizeof kSignature);
    ChunkWriter chunks(out);
    Bytes ihdr;
    ihdr.be32(static_cast<std::uint32_t>(width));
    ihdr.be32(static_cast<std::uint32_t>(height));
    ihdr.u8(sixteenBit ? 16 : 8);
    ihdr.u8(colourType(bands));
    ihdr.zeros(3); // deflate, adaptive filtering, no interlace
    chunks.write("IHDR", ihdr);
    writeMetadata(image, chunks);

    // The compressed stream comes in pieces: the deflater's chunks, each about a hundred
    // kilobytes or more, go out as IDAT chunks of their own, straight from its buffer; the
    // small pieces (its header, a small picture's whole stream) gather here first.
    std::vector<unsigned char> idat;
    ParallelDeflate deflater(kLevel, (rowBytes + 1) * height,
                             [&](const unsigned char* data, size_t size) {
                                 if (idat.size() + size <= kIdatBytes) {
                                     idat.insert(idat.end(), data, data + size);
                                     return;
                                 }
                                 chunks.write("IDAT", idat.data(), idat.size(), data, size);
                                 idat.clear();
                             });
    RowFilter rows(rowBytes, pixelBytes);
    std::vector<unsigned char> filtered, swapped;
    // Row by row into the deflater, which copies it into its chunk: a strip's worth of
    // filtered rows would only be another copy of the strip in memory.
    forEachStrip(image, [&](const Strip& strip) {
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            filtered.clear();
            rows.filter(inFileOrder(strip.row(y), rowBytes, sixteenBit, swapped), filtered);
            deflater.write(filtered.data(), filtered.size());
        }
    });
    deflater.finish();
    if (!idat.empty())
        chunks.write("IDAT", idat.data(), idat.size());
    chunks.write("IEND", nullptr, 0);
}

} // namespace sips
