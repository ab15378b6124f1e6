#include "writers/deflate_parallel.h"

#include <algorithm>
#include <cstring>
#include <libdeflate.h>
#include <stdexcept>

#include "writers/deflate_blocks.h"

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

} // namespace

struct ParallelDeflate::Chunk {
    std::vector<unsigned char> input;
    // Room for the worst case, left uninitialised: a large block comes straight from the
    // system, and only the pages the compressed bytes reach are ever in memory.
    std::unique_ptr<unsigned char[]> output;
    size_t outputRoom = 0;
    size_t outputBytes = 0;
    size_t inputBytes = 0;
    uLong adler = 1;
    bool last = false;

    // libdeflate makes a complete raw deflate stream of the chunk, read back symbol by
    // symbol against the chunk's bytes, which checks the compressor's work and finds where
    // its final block starts and ends. All but the last chunk are then turned into the middle
    // of one: the final-block bit cleared, and the bits after that block's end replaced by an
    // empty stored block, which ends the chunk on a byte boundary as zlib's sync flush does.
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
        if (room > outputRoom) {
            output.reset(new unsigned char[room]);
            outputRoom = room;
        }
        const size_t packed = libdeflate_deflate_compress(compressor.get(), input.data(),
                                                          input.size(), output.get(), room - 5);
        if (packed == 0)
            throw std::logic_error("deflate chunk does not fit its bound");
        outputBytes = packed;
        const BlockEnds ends = findBlockEnds(output.get(), packed, input.data(), input.size());
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
    }
};

ParallelDeflate::ParallelDeflate(int level, std::uint64_t expectedBytes, Sink sink, int threads)
    : level_(level), threads_(workerThreadsWithin(kBytesPerThread, threads)),
      sink_(std::move(sink)) {
    const std::uint64_t share = expectedBytes / std::uint64_t(threads_) + 1;
    chunkBytes_ =
        static_cast<size_t>(std::clamp<std::uint64_t>(share, kSmallestChunk, kLargestChunk));
    filling_ = freshChunk();
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
    if (!last)
        filling_ = freshChunk();

    // A stream that fits in one chunk, as a small picture's does, starts no thread.
    if (!pool_ || (last && pending_.empty())) {
        chunk->deflateAll(level_);
        emit(std::move(chunk));
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
    emit(std::move(next.chunk));
}

std::shared_ptr<ParallelDeflate::Chunk> ParallelDeflate::freshChunk() {
    if (spare_.empty()) {
        auto chunk = std::make_shared<Chunk>();
        chunk->input.reserve(chunkBytes_);
        return chunk;
    }
    std::shared_ptr<Chunk> chunk = std::move(spare_.back());
    spare_.pop_back();
    chunk->input.clear();
    return chunk;
}

void ParallelDeflate::emit(std::shared_ptr<Chunk> written) {
    const Chunk& chunk = *written;
    if (!headerWritten_) {
        const unsigned char header[2] = {0x78, headerFlags(level_)};
        sink_(header, sizeof header);
        headerWritten_ = true;
    }
    sink_(chunk.output.get(), chunk.outputBytes);
    adler_ = adler32_combine(adler_, chunk.adler, static_cast<z_off_t>(chunk.inputBytes));
    // A written chunk's buffers take the next chunk's bytes: fresh ones would come from the
    // system page by page again. No more are kept than the threads can have in hand at once.
    if (spare_.size() <= size_t(threads_))
        spare_.push_back(std::move(written));
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
