#pragma once

#include <cstddef>
#include <cstdint>

namespace sips {

// Where a raw deflate stream's last block starts and where its last bit ends, counted in bits
// from the stream's first byte.
struct BlockEnds {
    std::uint64_t lastBlockBit = 0;
    std::uint64_t endBit = 0;
};

// Reads a raw deflate stream (RFC 1951) block by block and symbol by symbol without inflating
// it: every literal, stored byte and copy is compared with `original` where it would land, so
// the stream must decode to exactly those bytes, end with its final block and hold nothing
// after it but the padding to a byte. Throws std::logic_error where it does not.
BlockEnds findBlockEnds(const unsigned char* packed, size_t packedSize,
                        const unsigned char* original, size_t originalSize);

} // namespace sips
