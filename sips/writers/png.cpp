#include "writers/png.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "core/failure.h"
#include "core/output_file.h"
#include "core/strips.h"
#include "writers/deflate_parallel.h"

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

// A row and the one above it with `pixelBytes` zeros before each, where filters see the
// pixel to the left of the first as 0.
struct RowPair {
    const unsigned char* row;
    const unsigned char* up;
    size_t bpp;
};

// The filters' predictions of one byte from the bytes to its left (a), above (b) and above
// left (c).
inline unsigned char paeth(unsigned char a, unsigned char b, unsigned char c) {
    const int toA = std::abs(int(b) - c);
    const int toB = std::abs(int(a) - c);
    const int toC = std::abs(int(a) + b - 2 * c);
    if (toA <= toB && toA <= toC)
        return a;
    return toB <= toC ? b : c;
}

inline unsigned char filtered(Filter filter, const RowPair& rows, size_t i) {
    const unsigned char x = rows.row[i], a = rows.row[i - rows.bpp], b = rows.up[i],
                        c = rows.up[i - rows.bpp];
    switch (filter) {
    case kNone:
        return x;
    case kSub:
        return static_cast<unsigned char>(x - a);
    case kUp:
        return static_cast<unsigned char>(x - b);
    case kAverage:
        return static_cast<unsigned char>(x - ((unsigned(a) + b) >> 1));
    default:
        return static_cast<unsigned char>(x - paeth(a, b, c));
    }
}

// The sum libpng's heuristic minimises: every byte taken as a signed number.
inline unsigned magnitude(unsigned char byte) {
    return byte < 128 ? byte : 256u - byte;
}

#ifdef __SSE2__
// Sixteen bytes at a time: the encoder's filters depend only on the unfiltered bytes, so
// every lane is independent.
struct Lanes {
    __m128i x, a, b, c;
    Lanes(const RowPair& rows, size_t i)
        : x(load(rows.row + i)), a(load(rows.row + i - rows.bpp)), b(load(rows.up + i)),
          c(load(rows.up + i - rows.bpp)) {}
    static __m128i load(const unsigned char* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
};

inline __m128i average(const Lanes& in) {
    // pavgb rounds up; the filter rounds down.
    const __m128i odd = _mm_and_si128(_mm_xor_si128(in.a, in.b), _mm_set1_epi8(1));
    return _mm_sub_epi8(in.x, _mm_sub_epi8(_mm_avg_epu8(in.a, in.b), odd));
}

inline __m128i absolute16(__m128i value) {
    return _mm_max_epi16(value, _mm_sub_epi16(_mm_setzero_si128(), value));
}

// Paeth's choice for eight pixels' bytes widened to 16 bits.
inline __m128i paeth16(__m128i a, __m128i b, __m128i c) {
    const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
    const __m128i toA = absolute16(bc), toB = absolute16(ac);
    const __m128i toC = absolute16(_mm_add_epi16(bc, ac));
    const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(toA, toB), _mm_cmpgt_epi16(toA, toC));
    const __m128i notB = _mm_cmpgt_epi16(toB, toC);
    const __m128i bOrC = _mm_or_si128(_mm_and_si128(notB, c), _mm_andnot_si128(notB, b));
    return _mm_or_si128(_mm_and_si128(notA, bOrC), _mm_andnot_si128(notA, a));
}

inline __m128i paeth(const Lanes& in) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = paeth16(_mm_unpacklo_epi8(in.a, zero), _mm_unpacklo_epi8(in.b, zero),
                                _mm_unpacklo_epi8(in.c, zero));
    const __m128i high = paeth16(_mm_unpackhi_epi8(in.a, zero), _mm_unpackhi_epi8(in.b, zero),
                                 _mm_unpackhi_epi8(in.c, zero));
    return _mm_sub_epi8(in.x, _mm_packus_epi16(low, high));
}

inline __m128i filtered(Filter filter, const Lanes& in) {
    switch (filter) {
    case kNone:
        return in.x;
    case kSub:
        return _mm_sub_epi8(in.x, in.a);
    case kUp:
        return _mm_sub_epi8(in.x, in.b);
    case kAverage:
        return average(in);
    default:
        return paeth(in);
    }
}

// The bytes' magnitudes, summed into the two halves of `sum`.
inline void addMagnitudes(__m128i bytes, __m128i& sum) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i folded = _mm_min_epu8(bytes, _mm_sub_epi8(zero, bytes));
    sum = _mm_add_epi64(sum, _mm_sad_epu8(folded, zero));
}

inline unsigned long total(__m128i sum) {
    std::uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sum);
    return static_cast<unsigned long>(halves[0] + halves[1]);
}
constexpr size_t kLaneBytes = sizeof(__m128i);
#endif

// Filters rows with the heuristic's choice, keeping the previous row for the next call.
class RowFilter {
public:
    RowFilter(size_t rowBytes, int pixelBytes)
        : rowBytes_(rowBytes), pixelBytes_(size_t(pixelBytes)), current_(pixelBytes_ + rowBytes, 0),
          previous_(pixelBytes_ + rowBytes, 0) {}

    // Appends the filter byte and the filtered row to `to`.
    void filter(const unsigned char* row, std::vector<unsigned char>& to) {
        std::memcpy(current_.data() + pixelBytes_, row, rowBytes_);
        const RowPair rows{current_.data() + pixelBytes_, previous_.data() + pixelBytes_,
                           pixelBytes_};
        const size_t n = rowBytes_;
        size_t lanes = 0; // the leading bytes done sixteen at a time
        unsigned long sums[kFilters] = {};
#ifdef __SSE2__
        lanes = n - n % kLaneBytes;
        __m128i laneSums[kFilters] = {};
        for (size_t i = 0; i < lanes; i += kLaneBytes) {
            const Lanes in(rows, i);
            addMagnitudes(in.x, laneSums[kNone]);
            addMagnitudes(_mm_sub_epi8(in.x, in.a), laneSums[kSub]);
            addMagnitudes(_mm_sub_epi8(in.x, in.b), laneSums[kUp]);
            addMagnitudes(average(in), laneSums[kAverage]);
            addMagnitudes(paeth(in), laneSums[kPaeth]);
        }
        for (Filter f : {kNone, kSub, kUp, kAverage, kPaeth})
            sums[f] = total(laneSums[f]);
#endif
        for (size_t i = lanes; i < n; ++i)
            for (Filter f : {kNone, kSub, kUp, kAverage, kPaeth})
                sums[f] += magnitude(filtered(f, rows, i));
        Filter best = kNone;
        for (Filter f : {kSub, kUp, kAverage, kPaeth})
            if (sums[f] < sums[best])
                best = f;

        const size_t start = to.size();
        to.resize(start + 1 + n);
        unsigned char* out = to.data() + start;
        *out++ = best;
#ifdef __SSE2__
        for (size_t i = 0; i < lanes; i += kLaneBytes)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), filtered(best, Lanes(rows, i)));
#endif
        for (size_t i = lanes; i < n; ++i)
            out[i] = filtered(best, rows, i);
        current_.swap(previous_);
    }

private:
    const size_t rowBytes_;
    const size_t pixelBytes_;
    std::vector<unsigned char> current_;
    std::vector<unsigned char> previous_;
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
