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
#include "input/input.h"

using vips::VImage;

namespace sips {
namespace {

const char kCutShort[] = "the image data is cut short";
const char kFewerPixels[] = "the image data is cut short (fewer pixels than its header says)";
const char kChecksum[] = "the image data is damaged (a checksum does not match)";
const char kCompressed[] = "the image data is damaged (its compressed pixels are corrupt)";
const char kPalette[] = "the image data is damaged (its colour palette is broken)";
const char kHeader[] = "the image data is damaged (its header is broken)";

// Buffered reading of a file from its start; a short read means the file ends there.
class FileReader {
public:
    explicit FileReader(const std::string& path) : path_(path) {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw Failure(std::string("cannot open this file (") + std::strerror(errno) + ")",
                          path);
        posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~FileReader() { close(fd_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Up to `size` bytes; fewer only at the end of the file.
    size_t read(void* into, size_t size) {
        auto* out = static_cast<unsigned char*>(into);
        size_t done = 0;
        while (done < size) {
            if (next_ == end_ && !refill())
                break;
            size_t n = std::min(size - done, end_ - next_);
            std::memcpy(out + done, buffer_.data() + next_, n);
            next_ += n;
            done += n;
        }
        return done;
    }

    bool readExactly(void* into, size_t size) { return read(into, size) == size; }

    // Passes over `size` bytes without reading them; false when the file ends before.
    bool skip(std::uint64_t size) {
        const std::uint64_t buffered = end_ - next_;
        if (size <= buffered) {
            next_ += size_t(size);
            return true;
        }
        const off_t target = lseek(fd_, 0, SEEK_CUR) + off_t(size - buffered);
        struct stat info;
        if (fstat(fd_, &info) != 0 || target > info.st_size)
            return false;
        lseek(fd_, target, SEEK_SET);
        next_ = end_ = 0;
        return true;
    }

    // The next byte, or -1 at the end of the file.
    int get() {
        if (next_ == end_ && !refill())
            return -1;
        return buffer_[next_++];
    }

    void unget() { --next_; }

    // Moves on to the next `byte`, which is read next; false when the file ends first.
    bool skipUntil(unsigned char byte) {
        for (;;) {
            if (next_ == end_ && !refill())
                return false;
            const void* found = std::memchr(buffer_.data() + next_, byte, end_ - next_);
            if (found) {
                next_ = size_t(static_cast<const unsigned char*>(found) - buffer_.data());
                return true;
            }
            next_ = end_;
        }
    }

    // How far into the file the next byte is.
    std::int64_t position() const {
        return std::int64_t(lseek(fd_, 0, SEEK_CUR)) - std::int64_t(end_ - next_);
    }

    const std::string& path() const { return path_; }

private:
    bool refill() {
        ssize_t n;
        do
            n = ::read(fd_, buffer_.data(), buffer_.size());
        while (n < 0 && errno == EINTR);
        if (n < 0)
            throw Failure(std::string("cannot read this file (") + std::strerror(errno) + ")",
                          path_);
        next_ = 0;
        end_ = size_t(n);
        return n > 0;
    }

    std::string path_;
    int fd_ = -1;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(256 * 1024);
    size_t next_ = 0;
    size_t end_ = 0;
};

// PNG: chunk by chunk, every checksum, the end chunk the decoder stops short of, and the
// whole compressed stream inflated (into a small window): libpng's own error about broken
// pixel data is lost now and then inside libvips's threaded read, and it lets a wrong zlib
// checksum through. Palette rows are unfiltered on the way where the palette is shorter
// than its indices' range, to look at every index.
class PngCheck {
public:
    explicit PngCheck(FileReader& file) : file_(file) {}
    ~PngCheck() {
        if (inflating_)
            inflateEnd(&stream_);
    }
    PngCheck(const PngCheck&) = delete;
    PngCheck& operator=(const PngCheck&) = delete;

    void run() {
        unsigned char signature[8];
        if (!file_.readExactly(signature, sizeof signature))
            fail(kCutShort);
        for (bool ended = false; !ended;) {
            unsigned char head[8];
            size_t got = file_.read(head, sizeof head);
            if (got == 0 && sawData_)
                fail("the image data is cut short (its end chunk is missing)");
            if (got < sizeof head)
                fail(kCutShort);
            std::uint32_t length = bigEndian32(head);
            if (length > 0x7fffffffu)
                fail("the image data is damaged");
            const std::string type(reinterpret_cast<char*>(head + 4), 4);
            ended = type == "IEND";
            chunk(type, length, head + 4);
        }
        if (!sawData_)
            fail("the image data is damaged (it holds no pixels)");
        if (received_ < expected_)
            fail(kFewerPixels);
        if (expected_ > 0 && !streamEnded_)
            fail(kCutShort);
    }

private:
    [[noreturn]] void fail(const char* what) { throw Failure(what, file_.path()); }

    void chunk(const std::string& type, std::uint32_t length, const unsigned char* typeBytes) {
        uLong crc = crc32(0, typeBytes, 4);
        const bool small = type == "IHDR" || type == "PLTE" || type == "tRNS";
        std::vector<unsigned char> content;
        unsigned char block[64 * 1024];
        for (std::uint32_t left = length; left > 0;) {
            size_t n = std::min<size_t>(left, sizeof block);
            if (!file_.readExactly(block, n))
                fail(kCutShort);
            crc = crc32(crc, block, uInt(n));
            if (type == "IDAT")
                inflateSome(block, n);
            else if (small)
                content.insert(content.end(), block, block + n);
            left -= std::uint32_t(n);
        }
        if (type == "IDAT")
            sawData_ = true;
        unsigned char stored[4];
        if (!file_.readExactly(stored, sizeof stored))
            fail(kCutShort);
        if (bigEndian32(stored) != crc)
            fail(kChecksum);
        if (type == "IHDR")
            header(content);
        else if (type == "PLTE")
            palette(content);
        else if (type == "tRNS" && colourType_ == 3 && content.size() > paletteEntries_)
            fail(kPalette);
    }

    void header(const std::vector<unsigned char>& ihdr) {
        // A malformed header is the decoder's to refuse; only a sound one is followed here.
        if (ihdr.size() != 13)
            return;
        width_ = bigEndian32(ihdr.data());
        height_ = bigEndian32(ihdr.data() + 4);
        depth_ = ihdr[8];
        colourType_ = ihdr[9];
        interlaced_ = ihdr[12] == 1;
        static const int kChannels[] = {1, 0, 3, 1, 2, 0, 4};
        const int channels = colourType_ <= 6 ? kChannels[colourType_] : 0;
        bitsPerPixel_ = channels * depth_;
        for (int pass = 0; pass < (interlaced_ ? 7 : 1); ++pass) {
            const int which = interlaced_ ? pass : -1;
            const std::uint64_t w = passSize(width_, which, true);
            const std::uint64_t h = passSize(height_, which, false);
            if (w > 0 && h > 0) {
                expected_ += h * (1 + rowBytes(w));
                passRows_.push_back({1 + rowBytes(w), h});
            }
        }
    }

    void palette(const std::vector<unsigned char>& plte) {
        if (plte.size() % 3 != 0 || plte.empty() || plte.size() > 3 * 256)
            fail(kPalette);
        paletteEntries_ = plte.size() / 3;
        if (colourType_ == 3 && paletteEntries_ > (size_t(1) << std::min(depth_, 8)))
            fail(kPalette);
        // Only a palette shorter than the indices' range can be pointed past.
        checkIndices_ = colourType_ == 3 && depth_ >= 1 && depth_ <= 8 && 8 % depth_ == 0 &&
                        paletteEntries_ < (size_t(1) << std::min(depth_, 8));
    }

    // Pixels across or down in one of Adam7's seven passes; pass -1 is the whole picture.
    static std::uint64_t passSize(std::uint64_t size, int pass, bool across) {
        static const int kStartX[] = {0, 4, 0, 2, 0, 1, 0}, kStepX[] = {8, 8, 4, 4, 2, 2, 1};
        static const int kStartY[] = {0, 0, 4, 0, 2, 0, 1}, kStepY[] = {8, 8, 8, 4, 4, 2, 2};
        if (pass < 0)
            return size;
        const std::uint64_t start = across ? kStartX[pass] : kStartY[pass];
        const std::uint64_t step = across ? kStepX[pass] : kStepY[pass];
        return size > start ? (size - start + step - 1) / step : 0;
    }

    std::uint64_t rowBytes(std::uint64_t pixels) const {
        return (pixels * std::uint64_t(bitsPerPixel_) + 7) / 8;
    }

    void inflateSome(const unsigned char* data, size_t size) {
        // Bytes after the stream's end are the decoder's to ignore.
        if (expected_ == 0 || streamEnded_)
            return;
        if (!inflating_) {
            if (inflateInit(&stream_) != Z_OK)
                throw std::bad_alloc();
            inflating_ = true;
        }
        stream_.next_in = const_cast<unsigned char*>(data);
        stream_.avail_in = uInt(size);
        unsigned char window[64 * 1024];
        for (;;) {
            stream_.next_out = window;
            stream_.avail_out = sizeof window;
            int status = ::inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_DATA_ERROR && stream_.msg &&
                std::strcmp(stream_.msg, "incorrect data check") == 0)
                fail(kChecksum);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                fail(kCompressed);
            const size_t produced = sizeof window - stream_.avail_out;
            checkFilters(window, produced);
            if (checkIndices_)
                walkRows(window, produced);
            received_ += produced;
            streamEnded_ = status == Z_STREAM_END;
            // A full window may leave output inside zlib even when all input is taken.
            if (streamEnded_ || (stream_.avail_in == 0 && stream_.avail_out > 0) ||
                (status == Z_BUF_ERROR && produced == 0))
                break;
        }
    }

    // The filter type that starts each row, which libpng refuses past 4: looked at by where
    // the rows start, not byte by byte.
    void checkFilters(const unsigned char* data, size_t size) {
        const std::uint64_t end = received_ + size;
        while (filterPass_ < passRows_.size() && filterAt_ < end) {
            if (data[filterAt_ - received_] > 4)
                fail(kCompressed);
            filterAt_ += passRows_[filterPass_].length;
            if (++filterRow_ == passRows_[filterPass_].count) {
                ++filterPass_;
                filterRow_ = 0;
            }
        }
    }

    // Unfilters palette rows as they arrive and looks at every index.
    void walkRows(const unsigned char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            while (pass_ < 7 && rowLength_ == 0)
                startPass();
            if (pass_ >= 7)
                return;
            row_[column_++] = data[i];
            if (column_ == rowLength_)
                endRow();
        }
    }

    void startPass() {
        if (started_)
            ++pass_;
        started_ = true;
        if (!interlaced_ && pass_ > 0)
            pass_ = 7;
        if (pass_ >= 7)
            return;
        const int pass = interlaced_ ? pass_ : -1;
        const std::uint64_t w = passSize(width_, pass, true);
        const std::uint64_t h = passSize(height_, pass, false);
        passWidth_ = w;
        rowsLeft_ = w > 0 ? h : 0;
        rowLength_ = rowsLeft_ > 0 ? size_t(1 + rowBytes(w)) : 0;
        row_.assign(rowLength_, 0);
        previous_.assign(rowLength_, 0);
        column_ = 0;
    }

    void endRow() {
        unfilter();
        const int perByte = 8 / depth_;
        for (std::uint64_t x = 0; x < passWidth_; ++x) {
            const unsigned char byte = row_[1 + x / perByte];
            const int shift = 8 - depth_ * int(x % perByte + 1);
            const unsigned index = (byte >> shift) & ((1u << depth_) - 1);
            if (index >= paletteEntries_)
                fail(kPalette);
        }
        std::swap(row_, previous_);
        column_ = 0;
        if (--rowsLeft_ == 0)
            rowLength_ = 0;
    }

    // Palette samples are at most one byte per pixel, so the filters look one byte back.
    void unfilter() {
        unsigned char* row = row_.data() + 1;
        const unsigned char* up = previous_.data() + 1;
        const size_t n = rowLength_ - 1;
        switch (row_[0]) {
        case 0:
            break;
        case 1:
            for (size_t i = 1; i < n; ++i)
                row[i] = static_cast<unsigned char>(row[i] + row[i - 1]);
            break;
        case 2:
            for (size_t i = 0; i < n; ++i)
                row[i] = static_cast<unsigned char>(row[i] + up[i]);
            break;
        case 3:
            for (size_t i = 0; i < n; ++i)
                row[i] =
                    static_cast<unsigned char>(row[i] + ((i > 0 ? row[i - 1] : 0) + up[i]) / 2);
            break;
        case 4:
            for (size_t i = 0; i < n; ++i) {
                const int a = i > 0 ? row[i - 1] : 0, b = up[i], c = i > 0 ? up[i - 1] : 0;
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b),
                          pc = std::abs(p - c);
                row[i] = static_cast<unsigned char>(row[i] + (pa <= pb && pa <= pc ? a
                                                              : pb <= pc           ? b
                                                                                   : c));
            }
            break;
        default:
            fail(kCompressed);
        }
    }

    FileReader& file_;
    z_stream stream_{};
    bool inflating_ = false;
    bool streamEnded_ = false;
    bool sawData_ = false;
    std::uint64_t width_ = 0, height_ = 0;
    int depth_ = 8;
    int colourType_ = -1;
    bool interlaced_ = false;
    int bitsPerPixel_ = 0;
    std::uint64_t expected_ = 0;
    std::uint64_t received_ = 0;
    // Row length and rows of each pass, and the next row's filter type.
    struct PassRows {
        std::uint64_t length, count;
    };
    std::vector<PassRows> passRows_;
    size_t filterPass_ = 0;
    std::uint64_t filterRow_ = 0;
    std::uint64_t filterAt_ = 0;
    size_t paletteEntries_ = 0;
    bool checkIndices_ = false;
    // Row walk of a palette picture.
    int pass_ = 0;
    bool started_ = false;
    std::uint64_t passWidth_ = 0;
    std::uint64_t rowsLeft_ = 0;
    size_t rowLength_ = 0;
    size_t column_ = 0;
    std::vector<unsigned char> row_, previous_;
};

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

unsigned littleEndian16(const unsigned char* bytes) {
    return bytes[0] | unsigned(bytes[1]) << 8;
}

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

// The markers a scan may end with: tables, another scan, comments, application data and the
// end. Damage can forge any other marker inside the compressed data.
bool followsScan(unsigned char marker) {
    return (marker >= 0xc0 && marker <= 0xcf) || marker == 0xd9 || marker == 0xda ||
           marker == 0xdb || marker == 0xdc || marker == 0xdd || marker >= 0xe0;
}

// Where the picture's own end marker starts: the first EOI after the compressed scans, with
// every segment before them skipped by its length (an EXIF thumbnail holds markers of its own)
// and nothing after it looked at (phones append videos and other data). -1 when not found.
// Read through the reader's buffer rather than mapped: the pages of a mapped file would count
// against the conversion's memory.
std::int64_t jpegPictureEnd(FileReader& file) {
    if (!file.skip(2))
        return -1;
    int marker = -1; // one that the scan below has read already
    for (;;) {
        if (marker < 0) {
            if (file.get() != 0xff)
                return -1;
            while ((marker = file.get()) == 0xff) {
            }
            if (marker < 0)
                return -1;
        }
        const int current = marker;
        marker = -1;
        if (current == 0xd9)
            return file.position() - 2;
        if (current == 0x01 || (current >= 0xd0 && current <= 0xd7))
            continue;
        const int high = file.get();
        const int low = file.get();
        if (high < 0 || low < 0)
            return -1;
        const int length = high << 8 | low;
        if (length < 2 || !file.skip(std::uint64_t(length - 2)))
            return -1;
        if (current != 0xda)
            continue;
        // Compressed data runs to the next marker that is neither a stuffed byte nor a restart.
        for (;;) {
            if (!file.skipUntil(0xff))
                return -1;
            file.get();
            const int next = file.get();
            if (next < 0)
                return -1;
            if (next == 0xff) {
                file.unget(); // fill bytes: the last one starts the marker
            } else if (followsScan(static_cast<unsigned char>(next))) {
                marker = next;
                break;
            }
            // otherwise a stuffed byte, a restart, or garbage the decoder warns about
        }
    }
}

std::int64_t jpegPictureEnd(const std::string& path) {
    try {
        FileReader file(path);
        return jpegPictureEnd(file);
    } catch (const Failure&) {
        return -1;
    }
}

} // namespace

void checkIntact(const SourceImage& source) {
    if (isLoader(source, "ppmload")) {
        FileReader file(source.path);
        PnmCheck(file).run();
    } else if (isLoader(source, "gifload")) {
        FileReader file(source.path);
        GifCheck(file).run();
    }
}

void checkStream(const SourceImage& source) {
    if (isLoader(source, "pngload")) {
        FileReader file(source.path);
        PngCheck(file).run();
    }
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

void checkHeader(const std::string& path, const char* loader) {
    if (std::strncmp(loader, "ppmload", 7) == 0) {
        FileReader file(path);
        PnmCheck(file).header();
    } else if (std::strncmp(loader, "pngload", 7) == 0) {
        FileReader file(path);
        unsigned char start[8 + 8 + 8];
        if (!file.readExactly(start, sizeof start) || std::memcmp(start + 12, "IHDR", 4) != 0)
            return;
        const std::uint32_t width = bigEndian32(start + 16), height = bigEndian32(start + 20);
        if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu)
            throw Failure(kHeader, path);
        checkPixelCount(width, height, path);
    } else if (std::strncmp(loader, "tiffload", 8) == 0) {
        // libvips calls a side over its own limit out of range, as if the file were damaged.
        FileReader file(path);
        const auto [width, height] = tiffSize(file);
        checkPixelCount(width, height, path);
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
    const std::int64_t end = jpegPictureEnd(source.path);
    if (end >= 0 && read < end)
        throw Failure("the image data is damaged (its compressed data does not fit the picture)",
                      source.path);
}

bool decodesWhole(const SourceImage& source) {
    try {
        const std::string loader = source.loader.substr(0, source.loader.find('_'));
        VImage image = loadFile(source.path, loader.c_str(), VIPS_ACCESS_SEQUENTIAL);
        image.avg();
        return true;
    } catch (const vips::VError&) {
        vips_error_clear();
        return false;
    }
}

} // namespace sips
