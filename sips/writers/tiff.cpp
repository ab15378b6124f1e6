#include "writers/tiff.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/ordered_work.h"
#include "core/output_file.h"
#include "core/parallel.h"
#include "core/strips.h"

using vips::VImage;

namespace sips {
namespace {

using Buffer = std::vector<unsigned char>;

// Tags of a baseline TIFF, its extensions and the metadata blocks we keep.
enum Tag : unsigned {
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kStripOffsets = 273,
    kOrientation = 274,
    kSamplesPerPixel = 277,
    kRowsPerStrip = 278,
    kStripByteCounts = 279,
    kXResolution = 282,
    kYResolution = 283,
    kPlanarConfiguration = 284,
    kResolutionUnit = 296,
    kPredictor = 317,
    kInkSet = 332,
    kExtraSamples = 338,
    kSampleFormat = 339,
    kXmp = 700,
    kIptc = 33723,
    kPhotoshop = 34377,
    kIccProfile = 34675,
};

enum Type : unsigned { kByte = 1, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7 };

constexpr unsigned kLzw = 5;
constexpr unsigned kHorizontalDifferencing = 2;
// A strip is the unit that one thread compresses. A quarter of a megabyte keeps the strips in
// flight, and so the peak memory, where libvips's own writer has it, for 0.02% in size (the
// LZW table fills and starts again every few kilobytes anyway); libvips's 128 rows is the most.
constexpr int kMostRowsPerStrip = 128;
constexpr size_t kStripBytesWanted = size_t(256) << 10;

// TIFF's LZW: codes of 9 to 12 bits, most significant bit first, the code width growing one
// code early, a clear code at the start and whenever the table fills, as libtiff writes it.
class LzwEncoder {
public:
    // Each thread keeps one encoder: its table is made once, and emptied entry by entry.
    static LzwEncoder& forThisThread() {
        thread_local LzwEncoder encoder;
        return encoder;
    }

    // The codes of `data`, from a clear code to the end-of-information code, as `out`'s
    // first written() bytes.
    void encode(const unsigned char* data, size_t size, Buffer& out) {
        // At worst every byte takes a 12-bit code, with a clear code every 3836 of them.
        const size_t room = size + size / 2 + size / 1024 + 16;
        if (out.size() < room)
            out.resize(room);
        next_byte_ = out.data();
        bits_ = 0;
        bitCount_ = 0;
        width_ = 9;
        clearTable();
        put(kClear);
        unsigned prefix = data[0];
        std::uint16_t* const child = child_.data();
        for (size_t i = 1; i < size; ++i) {
            const unsigned index = (prefix << 8) | data[i];
            const unsigned code = child[index];
            if (code != 0) {
                prefix = code;
                continue;
            }
            put(prefix);
            prefix = data[i];
            child[index] = static_cast<std::uint16_t>(next_);
            used_[usedCount_++] = index;
            growAfterNewCode();
        }
        put(prefix);
        growAfterNewCode();
        put(kEndOfInformation);
        while (bitCount_ >= 8) {
            bitCount_ -= 8;
            *next_byte_++ = static_cast<unsigned char>(bits_ >> bitCount_);
        }
        if (bitCount_ > 0)
            *next_byte_++ = static_cast<unsigned char>(bits_ << (8 - bitCount_));
        written_ = size_t(next_byte_ - out.data());
    }

    size_t written() const { return written_; }

    static constexpr size_t kTableBytes = 4096 * 256 * sizeof(std::uint16_t);

private:
    static constexpr unsigned kClear = 256;
    static constexpr unsigned kEndOfInformation = 257;
    static constexpr unsigned kFirstCode = 258;
    static constexpr unsigned kTableFull = 4094;

    void clearTable() {
        for (unsigned i = 0; i < usedCount_; ++i)
            child_[used_[i]] = 0;
        usedCount_ = 0;
        next_ = kFirstCode;
    }

    void growAfterNewCode() {
        ++next_;
        if (next_ == kTableFull) {
            put(kClear);
            clearTable();
            width_ = 9;
        } else if (next_ > (1u << width_) - 1) {
            ++width_;
        }
    }

    // Codes gather in a 64-bit word and leave it four bytes at a time.
    void put(unsigned code) {
        bits_ = (bits_ << width_) | code;
        bitCount_ += width_;
        if (bitCount_ >= 32) {
            bitCount_ -= 32;
            const std::uint32_t word = static_cast<std::uint32_t>(bits_ >> bitCount_);
            next_byte_[0] = static_cast<unsigned char>(word >> 24);
            next_byte_[1] = static_cast<unsigned char>(word >> 16);
            next_byte_[2] = static_cast<unsigned char>(word >> 8);
            next_byte_[3] = static_cast<unsigned char>(word);
            next_byte_ += 4;
        }
    }

    size_t written_ = 0;
    unsigned char* next_byte_ = nullptr;
    // The code of each string and byte after it, by the string's code and the byte; 0 where
    // the table has no such string (no code below 258 is ever added).
    std::vector<std::uint16_t> child_ =
        std::vector<std::uint16_t>(kTableBytes / sizeof(std::uint16_t), 0);
    std::vector<unsigned> used_ = std::vector<unsigned>(kTableFull, 0);
    unsigned usedCount_ = 0;
    unsigned next_ = kFirstCode;
    unsigned width_ = 9;
    std::uint64_t bits_ = 0;
    unsigned bitCount_ = 0;
};

struct Layout {
    int width;
    int height;
    int samples;
    bool sixteenBit;
    size_t rowBytes;
};

// Horizontal differencing, row by row, in place; 16-bit samples come out little-endian.
void differenceRows(unsigned char* rows, int count, const Layout& layout) {
    const size_t values = size_t(layout.width) * layout.samples;
    for (int y = 0; y < count; ++y) {
        unsigned char* row = rows + size_t(y) * layout.rowBytes;
        if (layout.sixteenBit) {
            std::vector<std::uint16_t> before(size_t(layout.samples), 0);
            for (size_t i = 0; i < values; ++i) {
                std::uint16_t value;
                std::memcpy(&value, row + 2 * i, 2);
                const int s = int(i % size_t(layout.samples));
                const std::uint16_t delta = static_cast<std::uint16_t>(value - before[s]);
                before[s] = value;
                row[2 * i] = static_cast<unsigned char>(delta & 0xff);
                row[2 * i + 1] = static_cast<unsigned char>(delta >> 8);
            }
        } else {
            for (size_t i = values - 1; i >= size_t(layout.samples); --i)
                row[i] = static_cast<unsigned char>(row[i] - row[i - layout.samples]);
        }
    }
}

Buffer compressStrip(Buffer rows, int count, const Layout& layout) {
    differenceRows(rows.data(), count, layout);
    // Room for the worst case once per thread; each strip keeps only what it needs.
    thread_local Buffer scratch;
    LzwEncoder& encoder = LzwEncoder::forThisThread();
    encoder.encode(rows.data(), rows.size(), scratch);
    return Buffer(scratch.begin(), scratch.begin() + long(encoder.written()));
}

// One image file directory: entries in tag order, values that do not fit in four bytes in
// an area after them.
class Directory {
public:
    void add(unsigned tag, unsigned type, std::uint32_t count, const void* values) {
        entries_.push_back({tag, type, count, bytesOf(type, values, count)});
    }
    void shorts(unsigned tag, const std::vector<unsigned>& values) {
        Bytes data;
        for (unsigned value : values)
            data.le16(value);
        entries_.push_back({tag, kShort, std::uint32_t(values.size()), asBuffer(data)});
    }
    void shortValue(unsigned tag, unsigned value) { shorts(tag, {value}); }
    void longs(unsigned tag, const std::vector<std::uint64_t>& values) {
        Bytes data;
        for (std::uint64_t value : values)
            data.le32(static_cast<std::uint32_t>(value));
        entries_.push_back({tag, kLong, std::uint32_t(values.size()), asBuffer(data)});
    }
    void rational(unsigned tag, double value) {
        // libvips's own default, 1 pixel per millimetre, where the value makes no sense.
        if (!std::isfinite(value) || value <= 0 || value > 1e9)
            value = 25.4;
        const std::uint32_t denominator = value < 4e5 ? 10000 : 1;
        Bytes data;
        data.le32(static_cast<std::uint32_t>(std::lround(value * denominator)));
        data.le32(denominator);
        entries_.push_back({tag, kRational, 1, asBuffer(data)});
    }

    // The directory as it goes at `offset`, which must be even.
    Bytes at(std::uint64_t offset) {
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
        Bytes ifd;
        ifd.le16(static_cast<unsigned>(entries_.size()));
        std::uint64_t extra = offset + 2 + 12 * entries_.size() + 4;
        Bytes area;
        for (const Entry& entry : entries_) {
            ifd.le16(entry.tag);
            ifd.le16(entry.type);
            ifd.le32(entry.count);
            if (entry.data.size() <= 4) {
                ifd.text(reinterpret_cast<const char*>(entry.data.data()), entry.data.size());
                ifd.zeros(4 - entry.data.size());
            } else {
                ifd.le32(static_cast<std::uint32_t>(extra + area.size()));
                area.text(reinterpret_cast<const char*>(entry.data.data()), entry.data.size());
                if (area.size() % 2)
                    area.zeros(1);
            }
        }
        ifd.le32(0); // no further directory
        ifd.text(reinterpret_cast<const char*>(area.data()), area.size());
        return ifd;
    }

private:
    struct Entry {
        unsigned tag;
        unsigned type;
        std::uint32_t count;
        Buffer data;
    };

    static Buffer asBuffer(const Bytes& bytes) {
        return Buffer(bytes.data(), bytes.data() + bytes.size());
    }
    static Buffer bytesOf(unsigned type, const void* values, std::uint32_t count) {
        const size_t size = type == kLong ? size_t(count) * 4 : count;
        const auto* first = static_cast<const unsigned char*>(values);
        return Buffer(first, first + size);
    }

    std::vector<Entry> entries_;
};

// A metadata block that libvips read from the source, kept as it is.
void addBlob(Directory& directory, const VImage& image, const char* field, unsigned tag,
             unsigned type) {
    if (image.get_typeof(field) == 0)
        return;
    size_t size = 0;
    const void* data = image.get_blob(field, &size);
    if (size == 0 || size > std::numeric_limits<std::uint32_t>::max())
        return;
    if (type == kLong && size % 4 != 0)
        type = kUndefined;
    directory.add(tag, type, std::uint32_t(type == kLong ? size / 4 : size), data);
}

void describe(Directory& directory, const VImage& image, const Layout& layout,
              const std::vector<std::uint64_t>& offsets, const std::vector<std::uint64_t>& counts,
              int rowsPerStrip) {
    const bool cmyk = image.interpretation() == VIPS_INTERPRETATION_CMYK && layout.samples >= 4;
    const int colours = cmyk ? 4 : layout.samples >= 3 ? 3 : 1;
    const unsigned bits = layout.sixteenBit ? 16 : 8;
    directory.longs(kImageWidth, {std::uint64_t(layout.width)});
    directory.longs(kImageLength, {std::uint64_t(layout.height)});
    directory.shorts(kBitsPerSample, std::vector<unsigned>(size_t(layout.samples), bits));
    directory.shortValue(kCompression, kLzw);
    directory.shortValue(kPhotometric, cmyk ? 5 : colours == 3 ? 2 : 1);
    directory.longs(kStripOffsets, offsets);
    directory.shortValue(kOrientation, 1);
    directory.shortValue(kSamplesPerPixel, unsigned(layout.samples));
    directory.longs(kRowsPerStrip, {std::uint64_t(rowsPerStrip)});
    directory.longs(kStripByteCounts, counts);
    // libvips holds pixels per millimetre; TIFF readers expect inches.
    directory.rational(kXResolution, image.xres() * 25.4);
    directory.rational(kYResolution, image.yres() * 25.4);
    directory.shortValue(kPlanarConfiguration, 1);
    directory.shortValue(kResolutionUnit, 2);
    directory.shortValue(kPredictor, kHorizontalDifferencing);
    if (cmyk)
        directory.shortValue(kInkSet, 1);
    if (layout.samples > colours) {
        // The first extra sample is straight alpha, any others are unspecified.
        std::vector<unsigned> extra(size_t(layout.samples - colours), 0);
        if (image.has_alpha())
            extra[0] = 2;
        directory.shorts(kExtraSamples, extra);
    }
    directory.shorts(kSampleFormat, std::vector<unsigned>(size_t(layout.samples), 1));
    addBlob(directory, image, VIPS_META_XMP_NAME, kXmp, kByte);
    addBlob(directory, image, VIPS_META_IPTC_NAME, kIptc, kLong);
    addBlob(directory, image, VIPS_META_PHOTOSHOP_NAME, kPhotoshop, kByte);
    addBlob(directory, image, VIPS_META_ICC_NAME, kIccProfile, kUndefined);
}

} // namespace

void writeTiff(const VImage& picture, OutputFile& out) {
    VImage image = picture;
    if (image.format() != VIPS_FORMAT_UCHAR && image.format() != VIPS_FORMAT_USHORT)
        image = image.cast(VIPS_FORMAT_UCHAR);
    Layout layout{image.width(), image.height(), image.bands(),
                  image.format() == VIPS_FORMAT_USHORT, 0};
    layout.rowBytes = size_t(layout.width) * layout.samples * (layout.sixteenBit ? 2 : 1);
    const int rowsPerStrip =
        int(std::clamp<size_t>(kStripBytesWanted / layout.rowBytes, 1, kMostRowsPerStrip));

    const unsigned char header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
    out.write(header, sizeof header);
    std::uint64_t offset = sizeof header;
    std::vector<std::uint64_t> offsets, counts;
    // Each thread keeps its LZW table and scratch room for one and a half strips, and has two
    // strips in flight, each with its compressed bytes.
    const size_t stripBytes = layout.rowBytes * size_t(rowsPerStrip);
    const int threads = workerThreadsWithin(LzwEncoder::kTableBytes + stripBytes * 11 / 2);
    OrderedWork<Buffer> work(threads, [&](Buffer& packed) {
        offsets.push_back(offset);
        counts.push_back(packed.size());
        out.write(packed.data(), packed.size());
        offset += packed.size();
    });

    Buffer rows;
    int stripTop = 0;
    auto submitStrip = [&](int count) {
        work.submit([rows = std::move(rows), count, &layout]() mutable {
            return compressStrip(std::move(rows), count, layout);
        });
        rows = Buffer();
        stripTop += count;
    };
    forEachStrip(image, [&](const Strip& strip) {
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            if (rows.empty())
                rows.reserve(layout.rowBytes * size_t(rowsPerStrip));
            const unsigned char* row = strip.row(y);
            rows.insert(rows.end(), row, row + layout.rowBytes);
            if (y + 1 - stripTop == rowsPerStrip)
                submitStrip(rowsPerStrip);
        }
    });
    if (!rows.empty())
        submitStrip(layout.height - stripTop);
    work.finishAll();

    // The directory starts on a word boundary.
    if (offset % 2) {
        out.write("", 1);
        ++offset;
    }
    Directory directory;
    describe(directory, image, layout, offsets, counts, rowsPerStrip);
    Bytes ifd = directory.at(offset);
    // Offsets are 32 bits: a file past 4 GB would be unreadable.
    if (offset + ifd.size() > std::numeric_limits<std::uint32_t>::max())
        throw Failure("the image is too large for a TIFF file", out.target());
    out.write(ifd.data(), ifd.size());
    Bytes first;
    first.le32(static_cast<std::uint32_t>(offset));
    out.writeAt(4, first.data(), first.size());
}

} // namespace sips
