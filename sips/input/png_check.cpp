#include "input/png_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/convert.h"
#include "core/paths.h"
#include "input/damage.h"

namespace sips {
namespace {

// A header the conversion is refused for at once, before the decoder reads it.
struct HeaderRefused : Failure {
    using Failure::Failure;
};

} // namespace

PngCheck::~PngCheck() {
    if (inflating_)
        inflateEnd(&stream_);
}

void PngCheck::walkHeader() {
    if (walkedHeader_)
        return;
    walkedHeader_ = true;
    try {
        unsigned char signature[8];
        if (!file_.readExactly(signature, sizeof signature))
            fail(kCutShort);
        for (readChunkHead(); type_ != "IDAT" && type_ != "IEND"; readChunkHead()) {
            chunk();
            if (type_ == "sRGB" || type_ == "iCCP") {
                describedOtherwise_ = true;
                facts_.gamma = 0;
            } else if (type_ == "gAMA" && content_.size() == 4 && !describedOtherwise_) {
                facts_.gamma = bigEndian32(content_.data()) / 100000.0;
            } else if (type_ == "pHYs") {
                facts_.statesResolution = true;
            }
        }
    } catch (const HeaderRefused&) {
        throw;
    } catch (const Failure& failure) {
        // Found before the decoder has had its say; reported where the stream check would
        // have found it.
        pending_ = failure;
    }
}

void PngCheck::walkRest() {
    walkHeader();
    if (pending_)
        throw *pending_;
    for (;;) {
        const bool ended = type_ == "IEND";
        chunk();
        if (ended)
            break;
        readChunkHead();
    }
    if (!sawData_)
        fail("the image data is damaged (it holds no pixels)");
    if (received_ < expected_)
        fail(kFewerPixels);
    if (expected_ > 0 && !streamEnded_)
        fail(kCutShort);
}

void PngCheck::readChunkHead() {
    const size_t got = file_.read(head_, sizeof head_);
    if (got == 0 && sawData_)
        fail("the image data is cut short (its end chunk is missing)");
    if (got < sizeof head_)
        fail(kCutShort);
    length_ = bigEndian32(head_);
    if (length_ > 0x7fffffffu)
        fail("the image data is damaged");
    type_.assign(reinterpret_cast<const char*>(head_ + 4), 4);
}

void PngCheck::chunk() {
    uLong crc = crc32(0, head_ + 4, 4);
    const bool small = type_ == "IHDR" || type_ == "PLTE" || type_ == "tRNS" || type_ == "gAMA";
    content_.clear();
    unsigned char block[64 * 1024];
    for (std::uint32_t left = length_; left > 0;) {
        size_t n = std::min<size_t>(left, sizeof block);
        if (!file_.readExactly(block, n))
            fail(kCutShort);
        crc = crc32(crc, block, uInt(n));
        if (type_ == "IDAT")
            inflateSome(block, n);
        else if (small)
            content_.insert(content_.end(), block, block + n);
        left -= std::uint32_t(n);
    }
    if (type_ == "IDAT")
        sawData_ = true;
    if (firstChunk_ && type_ == "IHDR" && content_.size() >= 8) {
        // The decoder would make a picture of a header without one, or refuse a large one
        // as damaged.
        const std::uint32_t width = bigEndian32(content_.data());
        const std::uint32_t height = bigEndian32(content_.data() + 4);
        if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu)
            throw HeaderRefused(kHeader, file_.path());
        try {
            checkPixelCount(width, height, file_.path());
        } catch (const Failure& failure) {
            throw HeaderRefused(failure.what(), failure.path());
        }
    }
    firstChunk_ = false;
    unsigned char stored[4];
    if (!file_.readExactly(stored, sizeof stored))
        fail(kCutShort);
    if (bigEndian32(stored) != crc)
        fail(kChecksum);
    if (type_ == "IHDR")
        header(content_);
    else if (type_ == "PLTE")
        palette(content_);
    else if (type_ == "tRNS" && colourType_ == 3 && content_.size() > paletteEntries_)
        fail(kPalette);
}

void PngCheck::header(const std::vector<unsigned char>& ihdr) {
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

void PngCheck::palette(const std::vector<unsigned char>& plte) {
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
std::uint64_t PngCheck::passSize(std::uint64_t size, int pass, bool across) {
    static const int kStartX[] = {0, 4, 0, 2, 0, 1, 0}, kStepX[] = {8, 8, 4, 4, 2, 2, 1};
    static const int kStartY[] = {0, 0, 4, 0, 2, 0, 1}, kStepY[] = {8, 8, 8, 4, 4, 2, 2};
    if (pass < 0)
        return size;
    const std::uint64_t start = across ? kStartX[pass] : kStartY[pass];
    const std::uint64_t step = across ? kStepX[pass] : kStepY[pass];
    return size > start ? (size - start + step - 1) / step : 0;
}

std::uint64_t PngCheck::rowBytes(std::uint64_t pixels) const {
    return (pixels * std::uint64_t(bitsPerPixel_) + 7) / 8;
}

void PngCheck::inflateSome(const unsigned char* data, size_t size) {
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
void PngCheck::checkFilters(const unsigned char* data, size_t size) {
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
void PngCheck::walkRows(const unsigned char* data, size_t size) {
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

void PngCheck::startPass() {
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

void PngCheck::endRow() {
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
void PngCheck::unfilter() {
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
            row[i] = static_cast<unsigned char>(row[i] + ((i > 0 ? row[i - 1] : 0) + up[i]) / 2);
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

} // namespace sips
