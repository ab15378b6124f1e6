#include "writers/tiff.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <tiffio.h>
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
        const size_t room = worstCase(size);
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

    // At worst every byte takes a 12-bit code, with a clear code every 3836 of them.
    static constexpr size_t worstCase(size_t size) { return size + size / 2 + size / 1024 + 16; }

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

// The strips' buffers go round, from the rows read to the bytes written and back, instead of
// coming from the system again, page by page, for every strip. No more are made than are in
// flight at once.
class BufferRound {
public:
    Buffer take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.empty())
            return Buffer();
        Buffer buffer = std::move(free_.back());
        free_.pop_back();
        buffer.clear();
        return buffer;
    }
    void give(Buffer&& buffer) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(buffer));
    }

private:
    std::mutex mutex_;
    std::vector<Buffer> free_;
};

Buffer compressStrip(Buffer rows, int count, const Layout& layout, BufferRound& round) {
    differenceRows(rows.data(), count, layout);
    // Room for the worst case once per thread; each strip keeps only what it needs.
    thread_local Buffer scratch;
    LzwEncoder& encoder = LzwEncoder::forThisThread();
    encoder.encode(rows.data(), rows.size(), scratch);
    round.give(std::move(rows));
    Buffer packed = round.take();
    packed.assign(scratch.begin(), scratch.begin() + long(encoder.written()));
    return packed;
}

// libtiff writes the header and the directory and places the strips, which it takes as they
// are (TIFFWriteRawStrip), through the output file's own writes: a full disk is reported as
// such.
struct Sink {
    explicit Sink(OutputFile& file) : out(file) {}
    OutputFile& out;
    std::uint64_t position = 0, size = 0;
    std::exception_ptr failure; // the first write that failed
    std::string problem;        // what libtiff said last
};

// Writing a new file's one directory, libtiff reads nothing back.
tmsize_t readNothing(thandle_t, void*, tmsize_t) {
    return 0;
}

tmsize_t writeAtPosition(thandle_t handle, void* data, tmsize_t size) {
    Sink& sink = *static_cast<Sink*>(handle);
    if (sink.failure)
        return -1;
    try {
        sink.out.writeAt(sink.position, data, size_t(size));
    } catch (...) {
        sink.failure = std::current_exception();
        return -1;
    }
    sink.position += std::uint64_t(size);
    sink.size = std::max(sink.size, sink.position);
    return size;
}

toff_t seek(thandle_t handle, toff_t offset, int whence) {
    Sink& sink = *static_cast<Sink*>(handle);
    sink.position = offset + (whence == SEEK_CUR   ? sink.position
                              : whence == SEEK_END ? sink.size
                                                   : 0);
    return sink.position;
}

toff_t fileSize(thandle_t handle) {
    return static_cast<Sink*>(handle)->size;
}

int keepOpen(thandle_t) {
    return 0;
}

int noteProblem(TIFF*, void* handle, const char*, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    static_cast<Sink*>(handle)->problem = text;
    return 1;
}

// Throws what stopped libtiff: the output's own write failure where there was one.
[[noreturn]] void fail(const Sink& sink) {
    if (sink.failure)
        std::rethrow_exception(sink.failure);
    throw Failure("cannot write the TIFF file (" + sink.problem + ")", sink.out.target());
}

// A metadata block that libvips read from the source, kept as it is.
void addBlob(TIFF* tiff, const VImage& image, const char* field, ttag_t tag) {
    if (image.get_typeof(field) == 0)
        return;
    size_t size = 0;
    const void* data = image.get_blob(field, &size);
    // Since libtiff 4.5, IPTC too is counted in bytes.
    if (size > 0 && size <= std::numeric_limits<std::uint32_t>::max())
        TIFFSetField(tiff, tag, std::uint32_t(size), data);
}

// libvips's own default, 1 pixel per millimetre, where the value makes no sense.
double resolution(double dotsPerInch) {
    return std::isfinite(dotsPerInch) && dotsPerInch > 0 && dotsPerInch <= 1e9 ? dotsPerInch : 25.4;
}

void describe(TIFF* tiff, const VImage& image, const Layout& layout, int rowsPerStrip) {
    const bool cmyk = image.interpretation() == VIPS_INTERPRETATION_CMYK && layout.samples >= 4;
    const int colours = cmyk ? 4 : layout.samples >= 3 ? 3 : 1;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, std::uint32_t(layout.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, std::uint32_t(layout.height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.sixteenBit ? 16 : 8);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 cmyk           ? PHOTOMETRIC_SEPARATED
                 : colours == 3 ? PHOTOMETRIC_RGB
                                : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, std::uint32_t(rowsPerStrip));
    // libvips holds pixels per millimetre; TIFF readers expect inches.
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, resolution(image.xres() * 25.4));
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, resolution(image.yres() * 25.4));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (cmyk)
        TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
    if (layout.samples > colours) {
        // The first extra sample is straight alpha, any others are unspecified.
        std::vector<std::uint16_t> extra(size_t(layout.samples - colours), EXTRASAMPLE_UNSPECIFIED);
        if (image.has_alpha())
            extra[0] = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, std::uint16_t(extra.size()), extra.data());
    }
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    addBlob(tiff, image, VIPS_META_XMP_NAME, TIFFTAG_XMLPACKET);
    addBlob(tiff, image, VIPS_META_IPTC_NAME, TIFFTAG_RICHTIFFIPTC);
    addBlob(tiff, image, VIPS_META_PHOTOSHOP_NAME, TIFFTAG_PHOTOSHOP);
    addBlob(tiff, image, VIPS_META_ICC_NAME, TIFFTAG_ICCPROFILE);
}

// Whether the file could pass 4 GB, where a classic TIFF's offsets end: the strips at their
// worst, the metadata blocks and the directory. The header must say so before the first
// strip is written. Within the pixel limit, only pictures of more than 10 bytes a pixel (six
// 16-bit samples) come near.
bool mayPass4Gb(const VImage& image, const Layout& layout, int rowsPerStrip) {
    const std::uint64_t strips = (std::uint64_t(layout.height) + rowsPerStrip - 1) / rowsPerStrip;
    std::uint64_t bytes = strips * (LzwEncoder::worstCase(layout.rowBytes * rowsPerStrip) + 16);
    for (const char* field :
         {VIPS_META_XMP_NAME, VIPS_META_IPTC_NAME, VIPS_META_PHOTOSHOP_NAME, VIPS_META_ICC_NAME}) {
        size_t size = 0;
        if (image.get_typeof(field) != 0)
            image.get_blob(field, &size);
        bytes += size;
    }
    return bytes + 65536 > std::numeric_limits<std::uint32_t>::max();
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

    Sink sink(out);
    std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(),
                                                                             TIFFOpenOptionsFree);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), noteProblem, &sink);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), noteProblem, &sink);
    // BigTIFF only where a classic TIFF might not hold the picture: fewer readers take it. The
    // image length and rows per strip tell libtiff how many strips come.
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(
        TIFFClientOpenExt(out.target().c_str(),
                          mayPass4Gb(image, layout, rowsPerStrip) ? "w8" : "w", &sink, readNothing,
                          writeAtPosition, seek, keepOpen, fileSize, nullptr, nullptr,
                          options.get()),
        TIFFClose);
    if (!tiff)
        fail(sink);
    describe(tiff.get(), image, layout, rowsPerStrip);

    // Each thread keeps its LZW table and scratch room for one and a half strips, and has two
    // strips in flight, each with its compressed bytes.
    const size_t stripBytes = layout.rowBytes * size_t(rowsPerStrip);
    const int threads = workerThreadsWithin(LzwEncoder::kTableBytes + stripBytes * 11 / 2);
    std::uint32_t written = 0;
    BufferRound round;
    OrderedWork<Buffer> work(threads, [&](Buffer& packed) {
        if (TIFFWriteRawStrip(tiff.get(), written++, packed.data(), tmsize_t(packed.size())) < 0)
            fail(sink);
        round.give(std::move(packed));
    });

    Buffer rows;
    int stripTop = 0;
    auto submitStrip = [&](int count) {
        work.submit([rows = std::move(rows), count, &layout, &round]() mutable {
            return compressStrip(std::move(rows), count, layout, round);
        });
        rows = round.take();
        stripTop += count;
    };
    forEachStrip(image, [&](const Strip& strip) {
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            if (rows.empty())
                rows.reserve(stripBytes);
            const unsigned char* row = strip.row(y);
            rows.insert(rows.end(), row, row + layout.rowBytes);
            if (y + 1 - stripTop == rowsPerStrip)
                submitStrip(rowsPerStrip);
        }
    });
    if (!rows.empty())
        submitStrip(layout.height - stripTop);
    work.finishAll();
    if (!TIFFWriteDirectory(tiff.get()))
        fail(sink);
}

} // namespace sips
