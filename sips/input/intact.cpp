#include "input/intact.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

#include "core/failure.h"
#include "core/paths.h"
#include "input/damage.h"
#include "input/input.h"
#include "input/png_check.h"

using vips::VImage;

namespace sips {
namespace {

// PNM: the header's numbers, then the data they promise. Binary data must be all there; text
// data must hold as many numbers as there are samples.
class PnmCheck {
public:
    explicit PnmCheck(FileReader& file) : file_(file) {}

    // The numbers of the header, which must describe a picture: libvips makes a 1 x 1 one
    // of a size of 0, with warnings, and reads a maximum of 0 as 255.
    bool header() {
        const int p = file_.get();
        kind_ = file_.get();
        if (p != 'P')
            return false;
        const bool floats = kind_ == 'f' || kind_ == 'F';
        if (!floats && (kind_ < '1' || kind_ > '6'))
            return false;
        number(width_);
        number(height_);
        if (kind_ != '1' && kind_ != '4' && !floats) {
            number(maxval_);
            if (maxval_ == 0 || maxval_ > 65535)
                fail(kHeader);
        }
        if (width_ == 0 || height_ == 0)
            fail(kHeader);
        if (floats && !skipToken())
            fail(kCutShort);
        checkPixelCount(width_, height_, file_.path());
        return true;
    }

    void run() {
        if (!header())
            return;
        const bool floats = kind_ == 'f' || kind_ == 'F';
        // One whitespace byte ends the header.
        if (file_.get() < 0)
            fail(kFewerPixels);
        const std::uint64_t channels = kind_ == '3' || kind_ == '6' || kind_ == 'F' ? 3 : 1;
        const std::uint64_t samples = width_ * height_ * channels;
        if (kind_ == '1' || kind_ == '2' || kind_ == '3') {
            file_.unget();
            textSamples(samples, kind_ == '1');
            return;
        }
        std::uint64_t bytes = floats         ? samples * 4
                              : kind_ == '4' ? (width_ + 7) / 8 * height_
                                             : samples * (maxval_ > 255 ? 2 : 1);
        unsigned char block[64 * 1024];
        while (bytes > 0) {
            const size_t n = size_t(std::min<std::uint64_t>(bytes, sizeof block));
            if (!file_.readExactly(block, n))
                fail(kFewerPixels);
            bytes -= n;
        }
    }

private:
    [[noreturn]] void fail(const char* what) { throw Failure(what, file_.path()); }

    // Skips blanks and comments; the first byte after them, or -1.
    int nextVisible() {
        for (int c = file_.get();; c = file_.get()) {
            if (c == '#') {
                while (c >= 0 && c != '\n' && c != '\r')
                    c = file_.get();
            }
            if (c < 0 || !std::isspace(c))
                return c;
        }
    }

    // A header number; a sign or other text in its place is a broken header.
    void number(std::uint64_t& value) {
        int c = nextVisible();
        if (c < 0)
            fail(kCutShort);
        if (c < '0' || c > '9')
            fail(kHeader);
        value = 0;
        for (; c >= '0' && c <= '9'; c = file_.get())
            value = std::min<std::uint64_t>(value * 10 + std::uint64_t(c - '0'), 1ull << 40);
        if (c < 0)
            fail(kCutShort);
        file_.unget();
    }

    bool skipToken() {
        int c = nextVisible();
        while (c >= 0 && !std::isspace(c))
            c = file_.get();
        if (c < 0)
            return false;
        file_.unget();
        return true;
    }

    // Bitmaps in text may run their 0s and 1s together.
    void textSamples(std::uint64_t samples, bool bits) {
        for (std::uint64_t seen = 0; seen < samples; ++seen) {
            int c = nextVisible();
            if (c < '0' || c > '9')
                fail(kFewerPixels);
            if (!bits)
                while (c >= '0' && c <= '9')
                    c = file_.get();
        }
    }

    FileReader& file_;
    int kind_ = 0;
    std::uint64_t width_ = 0, height_ = 0, maxval_ = 1;
};

// The LZW codes of one GIF frame, decoded only as far as how many pixels they stand for:
// each table entry is one pixel longer than the entry it extends.
class LzwCount {
public:
    explicit LzwCount(int minimumSize)
        : minimumSize_(minimumSize), clear_(1u << minimumSize), lengths_(4096, 1) {
        restart();
    }

    void feed(const unsigned char* data, size_t size) {
        for (size_t i = 0; i < size && !ended_ && !broken_; ++i) {
            bits_ |= std::uint32_t(data[i]) << count_;
            count_ += 8;
            while (count_ >= codeSize_ && !ended_ && !broken_) {
                // Taken off before the code is placed, which may widen the next one.
                const unsigned next = bits_ & ((1u << codeSize_) - 1);
                bits_ >>= codeSize_;
                count_ -= codeSize_;
                code(next);
            }
        }
    }

    bool broken() const { return broken_; }
    std::uint64_t pixels() const { return pixels_; }

private:
    void restart() {
        codeSize_ = minimumSize_ + 1;
        next_ = clear_ + 2;
        previous_ = -1;
    }

    void code(unsigned code) {
        if (code == clear_) {
            restart();
            return;
        }
        if (code == clear_ + 1) {
            ended_ = true;
            return;
        }
        if (previous_ < 0) {
            // After a clear code only a single pixel can follow.
            if (code > clear_) {
                broken_ = true;
                return;
            }
            pixels_ += 1;
            previous_ = int(code);
            return;
        }
        // A code may name at most the entry that it is itself about to make.
        if (code > next_) {
            broken_ = true;
            return;
        }
        pixels_ += code < next_ ? lengths_[code] : lengths_[size_t(previous_)] + 1u;
        if (next_ < 4096) {
            lengths_[next_] = std::uint16_t(lengths_[size_t(previous_)] + 1);
            ++next_;
            if (next_ == (1u << codeSize_) && codeSize_ < 12)
                ++codeSize_;
        }
        previous_ = int(code);
    }

    const int minimumSize_;
    const unsigned clear_;
    std::vector<std::uint16_t> lengths_;
    int codeSize_ = 0;
    unsigned next_ = 0;
    int previous_ = -1;
    std::uint32_t bits_ = 0;
    int count_ = 0;
    bool ended_ = false;
    bool broken_ = false;
    std::uint64_t pixels_ = 0;
};

// GIF: block by block, every frame's codes counted before a pixel is decoded. libvips's
// decoder fills what a frame's data leaves out, and where a code cannot be placed, with the
// background, and it would make a frame of millions of pixels from a few dozen bytes.
class GifCheck {
public:
    explicit GifCheck(FileReader& file) : file_(file) {}

    void run() {
        unsigned char screen[13];
        if (!file_.readExactly(screen, sizeof screen) || std::memcmp(screen, "GIF", 3) != 0)
            return;
        if (screen[10] & 0x80)
            skipOrFail(3u << ((screen[10] & 7) + 1));
        for (;;) {
            const int block = file_.get();
            if (block == 0x2c)
                frame();
            else if (block == 0x21 && file_.get() >= 0)
                subBlocks(nullptr);
            else // the trailer, the file's end or bytes that are the decoder's to judge
                return;
        }
    }

private:
    [[noreturn]] void fail(const char* what) { throw Failure(what, file_.path()); }

    void skipOrFail(std::uint64_t size) {
        if (!file_.skip(size))
            fail(kCutShort);
    }

    void frame() {
        unsigned char descriptor[9];
        if (!file_.readExactly(descriptor, sizeof descriptor))
            fail(kCutShort);
        const std::uint64_t pixels =
            std::uint64_t(littleEndian16(descriptor + 4)) * littleEndian16(descriptor + 6);
        if (descriptor[8] & 0x80)
            skipOrFail(3u << ((descriptor[8] & 7) + 1));
        const int minimumSize = file_.get();
        if (minimumSize < 0)
            fail(kCutShort);
        if (minimumSize > 11)
            fail(kCompressed);
        // A code size of 1 bit leaves no room for the clear and end codes: the decoder's call.
        if (minimumSize == 0) {
            subBlocks(nullptr);
            return;
        }
        LzwCount codes(minimumSize);
        subBlocks(&codes);
        if (codes.broken())
            fail(kCompressed);
        if (codes.pixels() < pixels)
            fail(kFewerPixels);
    }

    // Data sub-blocks up to their terminator, each into `codes` when given.
    void subBlocks(LzwCount* codes) {
        unsigned char data[255];
        for (;;) {
            const int size = file_.get();
            if (size < 0)
                fail(kCutShort);
            if (size == 0)
                return;
            if (!codes) {
                skipOrFail(size_t(size));
            } else {
                if (!file_.readExactly(data, size_t(size)))
                    fail(kCutShort);
                codes->feed(data, size_t(size));
            }
        }
    }

    FileReader& file_;
};

bool isLoader(const SourceImage& source, const char* loader) {
    return source.loader.rfind(loader, 0) == 0;
}

} // namespace

void checkIntact(const SourceImage& source) {
    if (isLoader(source, "ppmload")) {
        FileReader file(*source.file);
        PnmCheck(file).run();
    } else if (isLoader(source, "gifload")) {
        FileReader file(*source.file);
        GifCheck(file).run();
    }
}

void checkStream(const SourceImage& source) {
    if (isLoader(source, "pngload"))
        source.file->png().walkRest();
}

// The size in a TIFF's first directory, or 0 x 0 where it cannot be found there.
std::pair<std::uint32_t, std::uint32_t> tiffSize(FileReader& file) {
    unsigned char head[8];
    if (!file.readExactly(head, sizeof head) || (head[0] != 'I' && head[0] != 'M'))
        return {0, 0};
    const bool little = head[0] == 'I';
    auto number = [little](const unsigned char* bytes, int size) {
        std::uint32_t value = 0;
        for (int i = 0; i < size; ++i)
            value |= std::uint32_t(bytes[little ? i : size - 1 - i]) << (8 * i);
        return value;
    };
    if (number(head + 2, 2) != 42 || !file.skip(number(head + 4, 4) - 8))
        return {0, 0};
    unsigned char count[2], entry[12];
    if (!file.readExactly(count, sizeof count))
        return {0, 0};
    std::uint32_t width = 0, height = 0;
    for (std::uint32_t i = number(count, 2); i > 0 && file.readExactly(entry, sizeof entry); --i) {
        const std::uint32_t tag = number(entry, 2), type = number(entry + 2, 2);
        const std::uint32_t value = type == 3 ? number(entry + 8, 2) : number(entry + 8, 4);
        if (type == 3 || type == 4) {
            if (tag == 256)
                width = value;
            else if (tag == 257)
                height = value;
        }
    }
    return {width, height};
}

void checkHeader(SourceFile& source, const char* loader) {
    if (std::strncmp(loader, "ppmload", 7) == 0) {
        FileReader file(source);
        PnmCheck(file).header();
    } else if (std::strncmp(loader, "pngload", 7) == 0) {
        source.png().walkHeader();
    } else if (std::strncmp(loader, "tiffload", 8) == 0) {
        // libvips calls a side over its own limit out of range, as if the file were damaged.
        FileReader file(source);
        const auto [width, height] = tiffSize(file);
        checkPixelCount(width, height, source.path());
    }
}

void checkFullyRead(const SourceImage& source) {
    if (!isLoader(source, "jpegload"))
        return;
    // Where the header gave warnings, those of the pixels are only left in libvips's errors;
    // of them, libjpeg's words for damaged data, not those for an unknown JFIF version.
    const std::string warnings = vips_error_buffer();
    for (const char* damage : {"Corrupt JPEG data", "Premature end of JPEG file",
                               "Inconsistent progression sequence", "Invalid SOS parameters"}) {
        const auto start = warnings.find(damage);
        if (start == std::string::npos)
            continue;
        std::string reason = warnings.substr(start, warnings.find('\n', start) - start);
        vips_error_clear();
        throw Failure(damagedBecause(reason), source.path);
    }
    const std::int64_t read = bytesDecoded(source.image);
    if (read < 0)
        return;
    // The last codes end just before the end marker; the decoder reads in blocks, never less.
    const std::int64_t end = jpegPictureEnd(source.image, *source.file);
    if (end >= 0 && read < end)
        throw Failure("the image data is damaged (its compressed data does not fit the picture)",
                      source.path);
}

} // namespace sips
