#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <libimagequant.h>
#include <memory>
#include <new>
#include <vector>

#include "core/failure.h"
#include "core/output_file.h"
#include "core/strips.h"
#include "writers/writers.h"

using vips::VImage;

namespace sips {
namespace {

constexpr int kMaxColours = 256;
constexpr unsigned kOpaqueFrom = 128; // alpha below this is stored as transparent
// About this many pixels are quantised: enough for a 256-colour palette of a photo, and a
// quantising time that does not grow with the picture.
constexpr std::uint64_t kSamplePixels = 600000;
constexpr int kQuantiseSpeed = 5; // libimagequant's 1-10, one step quicker than its default
// Floyd-Steinberg at three quarters of its strength: between the grain of full strength
// (about 2 dB less PSNR on a photo) and the bands weaker diffusion leaves in gradients.
constexpr int kDitherPercent = 75;
constexpr int kCodeBits = 8; // GIF's minimum LZW code size for 256 colours
constexpr unsigned kClearCode = 1u << kCodeBits;
constexpr unsigned kEndCode = kClearCode + 1;
constexpr unsigned kMaxCode = 4096; // LZW codes are at most 12 bits
constexpr size_t kFlushBytes = 1 << 20;

struct Colour {
    unsigned char r, g, b;
};

bool hasAlphaBand(int bands) {
    return bands == 2 || bands == 4;
}

bool transparentAt(const unsigned char* pixel, int bands) {
    return hasAlphaBand(bands) && pixel[bands - 1] < kOpaqueFrom;
}

Colour colourAt(const unsigned char* pixel, int bands) {
    if (bands < 3)
        return {pixel[0], pixel[0], pixel[0]};
    return {pixel[0], pixel[1], pixel[2]};
}

std::uint32_t keyOf(Colour c) {
    return std::uint32_t(c.r) | c.g << 8 | c.b << 16;
}

// The distinct colours of a picture that has few, each with its palette index.
class ColourSet {
public:
    // False when the set already holds kMaxColours others.
    bool add(std::uint32_t key) {
        size_t slot = find(key);
        if (slots_[slot] != 0)
            return true;
        if (colours_.size() == kMaxColours)
            return false;
        slots_[slot] = key + 1;
        indices_[slot] = static_cast<unsigned char>(colours_.size());
        colours_.push_back(Colour{static_cast<unsigned char>(key),
                                  static_cast<unsigned char>(key >> 8),
                                  static_cast<unsigned char>(key >> 16)});
        return true;
    }
    // The colour's palette index, or -1.
    int indexOf(std::uint32_t key) const {
        size_t slot = find(key);
        return slots_[slot] != 0 ? indices_[slot] : -1;
    }
    const std::vector<Colour>& colours() const { return colours_; }

private:
    static constexpr size_t kSlots = 1024; // a quarter full at most: short probes

    size_t find(std::uint32_t key) const {
        size_t slot = (key * 2654435761u) >> 22;
        while (slots_[slot] != 0 && slots_[slot] != key + 1)
            slot = (slot + 1) % kSlots;
        return slot;
    }

    std::array<std::uint32_t, kSlots> slots_{}; // key + 1; 0 is an empty slot
    std::array<unsigned char, kSlots> indices_{};
    std::vector<Colour> colours_;
};

// What one read of the whole picture tells about its colours: all of them where there are
// few, a regular sample otherwise, and whether any pixel is transparent.
struct Survey {
    ColourSet exact;
    bool tooManyColours = false;
    bool transparency = false;
    std::vector<unsigned char> sample; // RGBA, opaque pixels only
};

Survey survey(const VImage& image) {
    const int bands = image.bands();
    const int width = image.width();
    const double pixels = double(image.width()) * image.height();
    const int step = std::max(1, int(std::sqrt(pixels / kSamplePixels)));
    Survey found;
    forEachStrip(image, [&](const Strip& strip) {
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            const bool sampled = y % step == 0;
            // Once there are too many colours, only transparency needs every pixel.
            if (!sampled && found.tooManyColours && (!hasAlphaBand(bands) || found.transparency))
                continue;
            const unsigned char* pixel = strip.row(y);
            for (int x = 0; x < width; ++x, pixel += bands) {
                if (transparentAt(pixel, bands)) {
                    found.transparency = true;
                    continue;
                }
                const Colour c = colourAt(pixel, bands);
                if (!found.tooManyColours && !found.exact.add(keyOf(c)))
                    found.tooManyColours = true;
                if (sampled && x % step == 0)
                    found.sample.insert(found.sample.end(), {c.r, c.g, c.b, 255});
            }
        }
    });
    return found;
}

template <typename T, void (*Destroy)(T*)> struct Deleter {
    void operator()(T* p) const { Destroy(p); }
};
template <typename T, void (*Destroy)(T*)> using Owned = std::unique_ptr<T, Deleter<T, Destroy>>;

std::vector<Colour> quantise(const std::vector<unsigned char>& sample, int colours,
                             const std::string& target) {
    const int pixels = int(sample.size() / 4);
    if (pixels == 0)
        return {Colour{0, 0, 0}};
    // libimagequant wants a rectangle; the sample's tail that does not fill a row is dropped.
    const int width = std::min(pixels, 1024);
    const int height = pixels / width;
    // libimagequant returns no object only when an allocation failed.
    Owned<liq_attr, liq_attr_destroy> attr(liq_attr_create());
    if (!attr)
        throw std::bad_alloc();
    if (liq_set_max_colors(attr.get(), colours) != LIQ_OK ||
        liq_set_speed(attr.get(), kQuantiseSpeed) != LIQ_OK)
        throw Failure("cannot choose the colours of the GIF file", target);
    Owned<liq_image, liq_image_destroy> image(
        liq_image_create_rgba(attr.get(), sample.data(), width, height, 0));
    liq_result* made = nullptr;
    const liq_error quantised =
        image ? liq_image_quantize(image.get(), attr.get(), &made) : LIQ_OUT_OF_MEMORY;
    if (quantised == LIQ_OUT_OF_MEMORY)
        throw std::bad_alloc();
    if (quantised != LIQ_OK)
        throw Failure("cannot choose the colours of the GIF file", target);
    Owned<liq_result, liq_result_destroy> result(made);
    const liq_palette* palette = liq_get_palette(result.get());
    std::vector<Colour> chosen;
    for (unsigned i = 0; i < palette->count; ++i)
        chosen.push_back(
            Colour{palette->entries[i].r, palette->entries[i].g, palette->entries[i].b});
    return chosen;
}

// Turns rows of pixels into rows of palette indices: exactly where the palette holds every
// colour, else the nearest colour with the error diffused onward, also into the next
// strip's first row.
class Mapper {
public:
    Mapper(std::vector<Colour> palette, const ColourSet* exact, int width, int bands,
           int transparentIndex)
        : palette_(std::move(palette)), exact_(exact), width_(width), bands_(bands),
          transparentIndex_(transparentIndex) {
        if (!exact_) {
            nearest_.assign(size_t(1) << 18, -1);
            below_.assign(size_t(width + 2) * 3, 0);
            next_.assign(size_t(width + 2) * 3, 0);
        }
    }

    void map(const unsigned char* pixel, unsigned char* indices) {
        if (exact_)
            mapExactly(pixel, indices);
        else
            mapDithered(pixel, indices);
    }

private:
    void mapExactly(const unsigned char* pixel, unsigned char* indices) const {
        for (int x = 0; x < width_; ++x, pixel += bands_) {
            if (transparentAt(pixel, bands_)) {
                indices[x] = static_cast<unsigned char>(transparentIndex_);
                continue;
            }
            const Colour c = colourAt(pixel, bands_);
            const int index = exact_->indexOf(keyOf(c));
            // A decoder that gives other colours the second time still gets a fair picture.
            indices[x] = static_cast<unsigned char>(index >= 0 ? index : closest(c.r, c.g, c.b));
        }
    }

    void mapDithered(const unsigned char* pixel, unsigned char* indices) {
        // below_ holds the error carried into this row, in sixteenths; next_ gathers the
        // error for the row after. Both have a spare pixel at either end.
        std::fill(next_.begin(), next_.end(), 0);
        int* here = below_.data() + 3;
        int* under = next_.data() + 3;
        for (int x = 0; x < width_; ++x, pixel += bands_, here += 3, under += 3) {
            if (transparentAt(pixel, bands_)) {
                indices[x] = static_cast<unsigned char>(transparentIndex_);
                continue;
            }
            const Colour c = colourAt(pixel, bands_);
            const int want[3] = {std::clamp(c.r + here[0] / 16, 0, 255),
                                 std::clamp(c.g + here[1] / 16, 0, 255),
                                 std::clamp(c.b + here[2] / 16, 0, 255)};
            const size_t cell =
                size_t(want[0] >> 2) << 12 | size_t(want[1] >> 2) << 6 | size_t(want[2] >> 2);
            if (nearest_[cell] < 0)
                nearest_[cell] = std::int16_t(
                    closest((want[0] & ~3) | 2, (want[1] & ~3) | 2, (want[2] & ~3) | 2));
            const int index = nearest_[cell];
            indices[x] = static_cast<unsigned char>(index);
            const Colour& got = palette_[size_t(index)];
            const int gotten[3] = {got.r, got.g, got.b};
            for (int k = 0; k < 3; ++k) {
                const int error = (want[k] - gotten[k]) * kDitherPercent / 100;
                here[k + 3] += error * 7;
                under[k - 3] += error * 3;
                under[k] += error * 5;
                under[k + 3] += error;
            }
        }
        std::swap(below_, next_);
    }

    int closest(int r, int g, int b) const {
        int best = 0, bestDistance = 1 << 30;
        for (size_t i = 0; i < palette_.size(); ++i) {
            const int dr = r - palette_[i].r, dg = g - palette_[i].g, db = b - palette_[i].b;
            const int distance = dr * dr + dg * dg + db * db;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = int(i);
            }
        }
        return best;
    }

    std::vector<Colour> palette_;
    const ColourSet* exact_;
    int width_;
    int bands_;
    int transparentIndex_;
    std::vector<std::int16_t> nearest_; // by 6 bits of each channel; -1 until first needed
    std::vector<int> below_;
    std::vector<int> next_;
};

// GIF's variable-length LZW, written as it goes in sub-blocks of up to 255 bytes.
class LzwWriter {
public:
    explicit LzwWriter(OutputFile& out) : out_(out) {
        buffer_.push_back(kCodeBits);
        reset();
        put(kClearCode);
    }

    void add(const unsigned char* indices, size_t count) {
        size_t i = 0;
        if (prefix_ < 0 && count > 0)
            prefix_ = indices[i++];
        for (; i < count; ++i) {
            const unsigned next = indices[i];
            const std::uint32_t key = std::uint32_t(prefix_) << 8 | next;
            size_t slot = slotOf(key);
            if (keys_[slot] == key + 1) {
                prefix_ = codes_[slot];
                continue;
            }
            put(unsigned(prefix_));
            prefix_ = int(next);
            if (nextCode_ < kMaxCode) {
                keys_[slot] = key + 1;
                codes_[slot] = static_cast<std::uint16_t>(nextCode_++);
            } else {
                // A full table: start again, which suits a picture whose colours change.
                reset();
                put(kClearCode);
            }
        }
    }

    void finish() {
        if (prefix_ >= 0)
            put(unsigned(prefix_));
        put(kEndCode);
        if (bitCount_ > 0)
            byte(static_cast<unsigned char>(bits_));
        if (blockFill_ > 0)
            endBlock();
        buffer_.push_back(0); // the empty sub-block that ends the image data
        flush();
    }

    void flush() {
        out_.write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

private:
    static constexpr size_t kSlots = 8192; // twice the codes: short probes

    static size_t slotOf(std::uint32_t key, const std::vector<std::uint32_t>& keys) {
        size_t slot = (key * 2654435761u) >> 19;
        while (keys[slot] != 0 && keys[slot] != key + 1)
            slot = (slot + 1) & (kSlots - 1);
        return slot;
    }
    size_t slotOf(std::uint32_t key) const { return slotOf(key, keys_); }

    void reset() {
        keys_.assign(kSlots, 0);
        codes_.resize(kSlots);
        nextCode_ = kEndCode + 1;
    }

    // The code goes out at the current width; the width grows once the decoder, one code
    // behind the encoder, will have filled its table to the current width's limit.
    void put(unsigned code) {
        bits_ |= std::uint64_t(code) << bitCount_;
        bitCount_ += codeSize_;
        while (bitCount_ >= 8) {
            byte(static_cast<unsigned char>(bits_));
            bits_ >>= 8;
            bitCount_ -= 8;
        }
        if (code == kClearCode)
            codeSize_ = kCodeBits + 1;
        else if (nextCode_ > (1u << codeSize_) - 1 && codeSize_ < 12) {
            ++codeSize_;
        }
    }

    void byte(unsigned char value) {
        block_[blockFill_++] = value;
        if (blockFill_ == block_.size())
            endBlock();
    }

    void endBlock() {
        buffer_.push_back(static_cast<unsigned char>(blockFill_));
        buffer_.insert(buffer_.end(), block_.begin(), block_.begin() + blockFill_);
        blockFill_ = 0;
        if (buffer_.size() >= kFlushBytes)
            flush();
    }

    OutputFile& out_;
    std::vector<std::uint32_t> keys_; // (prefix << 8 | index) + 1; 0 is an empty slot
    std::vector<std::uint16_t> codes_;
    unsigned nextCode_ = 0;
    unsigned codeSize_ = kCodeBits + 1;
    int prefix_ = -1; // the longest run of indices seen that the table has a code for
    std::uint64_t bits_ = 0;
    int bitCount_ = 0;
    std::array<unsigned char, 255> block_{};
    size_t blockFill_ = 0;
    std::vector<unsigned char> buffer_;
};

} // namespace

void writeGif(const VImage& picture, const VImage& again, OutputFile& out) {
    const VImage image = greyOrRgb(picture);
    const int width = image.width();
    const int bands = image.bands();

    const Survey found = survey(greyOrRgb(again));
    const bool exact = !found.tooManyColours &&
                       found.exact.colours().size() + found.transparency <= size_t(kMaxColours);
    std::vector<Colour> palette =
        exact ? found.exact.colours()
              : quantise(found.sample, kMaxColours - found.transparency, out.target());
    const int transparentIndex = int(palette.size());

    Bytes header;
    header.text("GIF89a", 6);
    header.le16(unsigned(width));
    header.le16(unsigned(image.height()));
    header.u8(0xf7); // a global table of 256 colours, 8 bits per primary
    header.u8(0);    // background: the first colour
    header.u8(0);    // square pixels
    for (int i = 0; i < kMaxColours; ++i) {
        const Colour c = i < int(palette.size()) ? palette[size_t(i)] : Colour{0, 0, 0};
        header.u8(c.r);
        header.u8(c.g);
        header.u8(c.b);
    }
    if (found.transparency) {
        // Graphic control extension: no delay, and which index is transparent.
        header.u8(0x21);
        header.u8(0xf9);
        header.u8(4);
        header.u8(1);
        header.le16(0);
        header.u8(unsigned(transparentIndex));
        header.u8(0);
    }
    header.u8(0x2c); // image descriptor: the whole screen, no local table, not interlaced
    header.le16(0);
    header.le16(0);
    header.le16(unsigned(width));
    header.le16(unsigned(image.height()));
    header.u8(0);
    out.write(header.data(), header.size());

    Mapper mapper(std::move(palette), exact ? &found.exact : nullptr, width, bands,
                  transparentIndex);
    LzwWriter lzw(out);
    std::vector<unsigned char> indices(static_cast<size_t>(width));
    forEachStrip(image, [&](const Strip& strip) {
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            mapper.map(strip.row(y), indices.data());
            lzw.add(indices.data(), indices.size());
        }
    });
    lzw.finish();
    const unsigned char trailer = 0x3b;
    out.write(&trailer, 1);
}

} // namespace sips
