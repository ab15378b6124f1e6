#include "writers/deflate_blocks.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace sips {
namespace {

[[noreturn]] void refuse(const char* why) {
    throw std::logic_error(std::string("deflate chunk ") + why);
}

// The stream's bits, first bit lowest, as RFC 1951 packs them, read through a 64-bit
// buffer. Past the end they read as zeros; the walk checks its position against the end
// after every symbol.
class BitReader {
public:
    BitReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    // The next `count` bits, at most 32.
    std::uint32_t peek(unsigned count) {
        if (held_ < count)
            refill();
        return std::uint32_t(bits_ & ((std::uint64_t(1) << count) - 1));
    }
    // Only bits already peeked at.
    void skip(unsigned count) {
        bits_ >>= count;
        held_ -= count;
    }
    std::uint32_t take(unsigned count) {
        const std::uint32_t bits = peek(count);
        skip(count);
        return bits;
    }
    void toByte() { skip(held_ & 7); }
    // Goes on at a byte boundary, `bytes` bytes on from here.
    void skipBytes(size_t bytes) {
        next_ = size_t(at() / 8) + bytes;
        bits_ = 0;
        held_ = 0;
    }
    std::uint64_t at() const { return std::uint64_t(next_) * 8 - held_; }
    bool pastEnd() const { return at() > std::uint64_t(size_) * 8; }

private:
    // At least 56 bits held afterwards.
    void refill() {
        while (held_ <= 56) {
            const std::uint64_t byte = next_ < size_ ? data_[next_] : 0;
            bits_ |= byte << held_;
            ++next_;
            held_ += 8;
        }
    }

    const unsigned char* data_;
    size_t size_;
    size_t next_ = 0; // the next byte to go into the buffer, counting on past the end
    std::uint64_t bits_ = 0;
    unsigned held_ = 0;
};

constexpr unsigned kLongestCode = 15;
// Codes up to this length are found with one look-up; longer ones bit by bit.
constexpr unsigned kLookupBits = 10;

// A canonical Huffman code, as a block's code lengths describe it.
class HuffmanCode {
public:
    // False where the lengths ask for more codes than there are.
    bool build(const unsigned char* lengths, unsigned symbols) {
        std::memset(counts_, 0, sizeof counts_);
        for (unsigned s = 0; s < symbols; ++s)
            ++counts_[lengths[s]];
        counts_[0] = 0;
        int left = 1;
        unsigned offsets[kLongestCode + 2] = {};
        for (unsigned length = 1; length <= kLongestCode; ++length) {
            left = left * 2 - counts_[length];
            if (left < 0)
                return false;
            offsets[length + 1] = offsets[length] + counts_[length];
        }
        for (unsigned s = 0; s < symbols; ++s)
            if (lengths[s] != 0)
                symbols_[offsets[lengths[s]]++] = std::uint16_t(s);

        std::memset(lookup_, 0, sizeof lookup_);
        unsigned code = 0, index = 0;
        for (unsigned length = 1; length <= kLookupBits; ++length) {
            for (unsigned n = 0; n < counts_[length]; ++n, ++code, ++index) {
                // The stream holds a code's first bit lowest.
                unsigned reversed = 0;
                for (unsigned bit = 0; bit < length; ++bit)
                    reversed |= ((code >> bit) & 1) << (length - 1 - bit);
                const auto entry = std::uint16_t(symbols_[index] | length << 9);
                for (unsigned i = reversed; i < 1u << kLookupBits; i += 1u << length)
                    lookup_[i] = entry;
            }
            code <<= 1;
        }
        return true;
    }

    // The next symbol, or -1 where the bits are none of this code's.
    int decode(BitReader& in) const {
        const std::uint16_t entry = lookup_[in.peek(kLookupBits)];
        if (entry != 0) {
            in.skip(entry >> 9);
            return entry & 511;
        }
        // Canonical decoding, one bit at a time.
        std::uint32_t bits = in.peek(kLongestCode);
        int code = 0, first = 0, index = 0;
        for (unsigned length = 1; length <= kLongestCode; ++length) {
            code |= int(bits & 1);
            bits >>= 1;
            const int count = counts_[length];
            if (code - count < first) {
                in.skip(length);
                return symbols_[index + (code - first)];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    // Each entry a symbol and its code's length above it; 0 where the code is longer.
    std::uint16_t lookup_[1 << kLookupBits];
    std::uint16_t counts_[kLongestCode + 1];
    std::uint16_t symbols_[288];
};

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr unsigned char kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr unsigned char kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                              6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives its code-length code's lengths.
constexpr unsigned char kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};

struct BlockCodes {
    HuffmanCode literals;
    HuffmanCode distances;
};

const BlockCodes& fixedCodes() {
    static const BlockCodes codes = [] {
        BlockCodes made;
        unsigned char lengths[288];
        std::memset(lengths, 8, 144);
        std::memset(lengths + 144, 9, 112);
        std::memset(lengths + 256, 7, 24);
        std::memset(lengths + 280, 8, 8);
        made.literals.build(lengths, 288);
        std::memset(lengths, 5, 30);
        made.distances.build(lengths, 30);
        return made;
    }();
    return codes;
}

void readDynamicCodes(BitReader& in, BlockCodes& codes) {
    const unsigned literalCount = in.take(5) + 257;
    const unsigned distanceCount = in.take(5) + 1;
    const unsigned lengthCodeCount = in.take(4) + 4;
    if (literalCount > 286 || distanceCount > 30)
        refuse("has a block with too many codes");
    unsigned char lengthCodeLengths[19] = {};
    for (unsigned i = 0; i < lengthCodeCount; ++i)
        lengthCodeLengths[kCodeLengthOrder[i]] = static_cast<unsigned char>(in.take(3));
    HuffmanCode lengthCode;
    if (!lengthCode.build(lengthCodeLengths, 19))
        refuse("has a damaged code-length code");

    unsigned char lengths[286 + 30];
    const unsigned total = literalCount + distanceCount;
    for (unsigned i = 0; i < total;) {
        const int symbol = lengthCode.decode(in);
        if (symbol < 0 || in.pastEnd())
            refuse("has damaged code lengths");
        if (symbol < 16) {
            lengths[i++] = static_cast<unsigned char>(symbol);
            continue;
        }
        unsigned char value = 0;
        unsigned repeat;
        if (symbol == 16) {
            if (i == 0)
                refuse("repeats a code length before the first");
            value = lengths[i - 1];
            repeat = 3 + in.take(2);
        } else if (symbol == 17) {
            repeat = 3 + in.take(3);
        } else {
            repeat = 11 + in.take(7);
        }
        if (repeat > total - i)
            refuse("has more code lengths than codes");
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    if (lengths[256] == 0)
        refuse("has a block without an end code");
    if (!codes.literals.build(lengths, literalCount) ||
        !codes.distances.build(lengths + literalCount, distanceCount))
        refuse("has a damaged Huffman code");
}

// One compressed block's symbols, up to its end code, each checked against the original.
void walkSymbols(BitReader& in, const BlockCodes& codes, const unsigned char* original,
                 size_t originalSize, size_t& produced) {
    for (;;) {
        const int symbol = codes.literals.decode(in);
        if (symbol < 256) {
            if (symbol < 0)
                refuse("holds bits that are no code");
            if (produced == originalSize || original[produced] != symbol)
                refuse("inflates to other bytes");
            ++produced;
        } else if (symbol == 256) {
            return;
        } else {
            const unsigned lengthCode = unsigned(symbol - 257);
            if (lengthCode >= 29)
                refuse("holds a length of no code");
            const size_t length = kLengthBase[lengthCode] + in.take(kLengthExtra[lengthCode]);
            const int distanceCode = codes.distances.decode(in);
            if (distanceCode < 0 || distanceCode >= 30)
                refuse("holds a distance of no code");
            const size_t distance =
                kDistanceBase[distanceCode] + in.take(kDistanceExtra[distanceCode]);
            if (distance > produced)
                refuse("copies from before its start");
            if (length > originalSize - produced)
                refuse("inflates to more bytes");
            // The copy's bytes are the original's where it lands exactly when the original
            // repeats itself there at that distance, overlapping or not.
            const unsigned char* here = original + produced;
            if (std::memcmp(here, here - distance, length) != 0)
                refuse("inflates to other bytes");
            produced += length;
        }
        if (in.pastEnd())
            refuse("runs past its end");
    }
}

} // namespace

BlockEnds findBlockEnds(const unsigned char* packed, size_t packedSize,
                        const unsigned char* original, size_t originalSize) {
    BitReader in(packed, packedSize);
    size_t produced = 0;
    BlockCodes dynamic;
    for (;;) {
        const std::uint64_t start = in.at();
        const bool last = in.take(1) != 0;
        const unsigned type = in.take(2);
        if (type == 0) {
            in.toByte();
            const std::uint32_t length = in.take(16);
            if (in.take(16) != (~length & 0xffff))
                refuse("has a damaged stored block");
            const size_t from = size_t(in.at() / 8);
            if (in.pastEnd() || length > packedSize - from)
                refuse("runs past its end");
            if (length > originalSize - produced ||
                std::memcmp(packed + from, original + produced, length) != 0)
                refuse("inflates to other bytes");
            produced += length;
            in.skipBytes(length);
        } else if (type == 1) {
            walkSymbols(in, fixedCodes(), original, originalSize, produced);
        } else if (type == 2) {
            readDynamicCodes(in, dynamic);
            walkSymbols(in, dynamic, original, originalSize, produced);
        } else {
            refuse("has a block of no type");
        }
        if (in.pastEnd())
            refuse("runs past its end");
        if (last) {
            if (produced != originalSize)
                refuse("inflates to fewer bytes");
            if (std::uint64_t(packedSize) * 8 - in.at() >= 8)
                refuse("has bytes after its last block");
            return {start, in.at()};
        }
    }
}

} // namespace sips
