#include "writers/deflate_parallel.h"

#include <algorithm>
#include <cstring>
#include <libdeflate.h>
#include <stdexcept>

namespace sips {
namespace {

// Smaller chunks would lose more at their cuts than the threads gain; larger ones would
// hold more memory without making the work any better balanced.
constexpr size_t kSmallestChunk = 64 * 1024;
constexpr size_t kLargestChunk = 512 * 1024;
// What a thread holds: a chunk being filled or waiting, one being deflated with its output,
// and libdeflate's match finder.
constexpr size_t kBytesPerThread = 2 * kLargestChunk + 256 * 1024;

// The zlib header's second byte: the level class, with the check bits that make the header a
// multiple of 31.
unsigned char headerFlags(int level) {
    const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    const unsigned flags = levelClass << 6;
    return static_cast<unsigned char>(flags + 31 - (0x78 * 256 + flags) % 31);
}

// Where a raw deflate stream's last block starts and where its last bit ends, found by
// inflating it block by block; the inflated bytes must be the chunk's own, which checks
// the compressor's work on the way.
struct BlockEnds {
    std::uint64_t lastBlockBit = 0;
    std::uint64_t endBit = 0;
};

BlockEnds findBlockEnds(const unsigned char* packed, size_t packedSize,
                        const std::vector<unsigned char>& original) {
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK)
        throw std::bad_alloc();
    std::unique_ptr<z_stream, decltype(&inflateEnd)> owned(&stream, inflateEnd);
    // Inflated a piece at a time, each piece checked against the original.
    unsigned char piece[16384];
    size_t checked = 0;
    auto checkPiece = [&] {
        const size_t size = sizeof piece - stream.avail_out;
        if (size > original.size() - checked ||
            !std::equal(piece, piece + size, original.begin() + long(checked)))
            throw std::logic_error("deflate chunk inflates to other bytes");
        checked += size;
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
    };
    stream.next_in = const_cast<unsigned char*>(packed);
    stream.avail_in = static_cast<uInt>(packedSize);
    stream.next_out = piece;
    stream.avail_out = sizeof piece;
    BlockEnds ends;
    auto bitsTaken = [&] {
        return std::uint64_t(stream.total_in) * 8 - std::uint64_t(stream.data_type & 7);
    };
    bool ended = false;
    for (;;) {
        const int status = inflate(&stream, Z_BLOCK);
        checkPiece();
        if (status == Z_STREAM_END)
            break;
        if (status == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (status != Z_OK)
            throw std::logic_error("deflate chunk does not inflate");
        // Stopped at a block boundary, before the padding: after the last block the stream
        // ends here, after any other the next block starts here.
        if (stream.data_type & 128) {
            if (stream.data_type & 64) {
                ends.endBit = bitsTaken();
                ended = true;
            } else {
                ends.lastBlockBit = bitsTaken();
            }
        }
    }
    if (!ended)
        throw std::logic_error("deflate chunk has no last block");
    if (checked != original.size())
        throw std::logic_error("deflate chunk inflates to fewer bytes");
    return ends;
}

} // namespace

struct ParallelDeflate::Chunk {
    std::vector<unsigned char> input;
    // Room for the worst case, left uninitialised: a large block comes straight from the
    // system, and only the pages the compressed bytes reach are ever in memory.
    std::unique_ptr<unsigned char[]> output;
    size_t outputBytes = 0;
    size_t inputBytes = 0;
    uLong adler = 1;
    bool last = false;

    // libdeflate makes a complete raw deflate stream of the chunk. All but the last chunk
    // are then turned into the middle of one: the final-block bit cleared, and the bits
    // after that block's end replaced by an empty stored block, which ends the chunk on a
    // byte boundary as zlib's sync flush does.
    void deflateAll(int level) {
        inputBytes = input.size();
        adler = libdeflate_adler32(1, input.data(), input.size());
        thread_local std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)>
            compressor(nullptr, libdeflate_free_compressor);
        thread_local int compressorLevel = 0;
        if (!compressor || compressorLevel != level) {
            compressor.reset(libdeflate_alloc_compressor(level));
            compressorLevel = level;
            if (!compressor)
                throw std::bad_alloc();
        }
        // The empty stored block takes at most five bytes more.
        const size_t room = libdeflate_deflate_compress_bound(compressor.get(), input.size()) + 5;
        output.reset(new unsigned char[room]);
        const size_t packed = libdeflate_deflate_compress(compressor.get(), input.data(),
                                                          input.size(), output.get(), room - 5);
        if (packed == 0)
            throw std::logic_error("deflate chunk does not fit its bound");
        outputBytes = packed;
        const BlockEnds ends = findBlockEnds(output.get(), packed, input);
        if (!last) {
            unsigned char* bytes = output.get();
            bytes[ends.lastBlockBit / 8] &=
                static_cast<unsigned char>(~(1u << (ends.lastBlockBit % 8)));
            // Nothing after the block's last bit; then three zero bits (not final, stored),
            // zeros to the byte's end, LEN 0 and NLEN 0xffff.
            const size_t kept = size_t((ends.endBit + 7) / 8);
            if (ends.endBit % 8 != 0)
                bytes[kept - 1] &= static_cast<unsigned char>((1u << (ends.endBit % 8)) - 1);
            outputBytes = size_t((ends.endBit + 3 + 7) / 8);
            std::fill(bytes + kept, bytes + outputBytes, 0);
            const unsigned char emptyStored[4] = {0x00, 0x00, 0xff, 0xff};
            std::memcpy(bytes + outputBytes, emptyStored, sizeof emptyStored);
            outputBytes += sizeof emptyStored;
        }
        input.clear();
        input.shrink_to_fit();
    }
};

ParallelDeflate::ParallelDeflate(int level, std::uint64_t expectedBytes, Sink sink, int threads)
    : level_(level), threads_(workerThreadsWithin(kBytesPerThread, threads)),
      sink_(std::move(sink)) {
    const std::uint64_t share = expectedBytes / std::uint64_t(threads_) + 1;
    chunkBytes_ =
        static_cast<size_t>(std::clamp<std::uint64_t>(share, kSmallestChunk, kLargestChunk));
    filling_ = std::make_shared<Chunk>();
    filling_->input.reserve(chunkBytes_);
    if (threads_ > 1)
        pool_ = std::make_unique<ThreadPool>(threads_);
}

ParallelDeflate::~ParallelDeflate() {
    // The workers must be done with every chunk before it is freed.
    for (Pending& pending : pending_)
        if (pending.done.valid())
            pending.done.wait();
}

void ParallelDeflate::write(const unsigned char* data, size_t size) {
    while (size > 0) {
        const size_t room = chunkBytes_ - filling_->input.size();
        const size_t taken = std::min(room, size);
        filling_->input.insert(filling_->input.end(), data, data + taken);
        data += taken;
        size -= taken;
        if (filling_->input.size() == chunkBytes_)
            submit(false);
    }
}

void ParallelDeflate::finish() {
    submit(true);
    while (!pending_.empty())
        emitOldest();
    const unsigned char checksum[4] = {
        static_cast<unsigned char>(adler_ >> 24), static_cast<unsigned char>(adler_ >> 16),
        static_cast<unsigned char>(adler_ >> 8), static_cast<unsigned char>(adler_)};
    sink_(checksum, sizeof checksum);
}

void ParallelDeflate::submit(bool last) {
    std::shared_ptr<Chunk> chunk = std::move(filling_);
    chunk->last = last;
    filling_ = std::make_shared<Chunk>();
    if (!last)
        filling_->input.reserve(chunkBytes_);

    // A stream that fits in one chunk, as a small picture's does, starts no thread.
    if (!pool_ || (last && pending_.empty())) {
        chunk->deflateAll(level_);
        emit(*chunk);
        return;
    }
    const int level = level_;
    Chunk* work = chunk.get();
    pending_.push_back({chunk, pool_->submit([work, level] { work->deflateAll(level); })});
    // A chunk waits for its turn only while the threads have others to work on.
    while (pending_.size() > size_t(threads_))
        emitOldest();
}

void ParallelDeflate::emitOldest() {
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    next.done.get();
    emit(*next.chunk);
}

void ParallelDeflate::emit(const Chunk& chunk) {
    if (!headerWritten_) {
        const unsigned char header[2] = {0x78, headerFlags(level_)};
        sink_(header, sizeof header);
        headerWritten_ = true;
    }
    sink_(chunk.output.get(), chunk.outputBytes);
    adler_ = adler32_combine(adler_, chunk.adler, static_cast<z_off_t>(chunk.inputBytes));
}

std::vector<unsigned char> deflated(const void* data, size_t size) {
    uLongf room = compressBound(static_cast<uLong>(size));
    std::vector<unsigned char> packed(room);
    if (compress2(packed.data(), &room, static_cast<const Bytef*>(data), static_cast<uLong>(size),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw std::bad_alloc();
    packed.resize(room);
    return packed;
}

} // namespace sips
