#include "deflate_parallel.h"

#include <algorithm>

namespace sips {
namespace {

constexpr size_t kWindowBytes = 32768; // deflate's window, all a match can reach back
// Smaller chunks would lose more at their cuts than the threads gain; larger ones would
// hold more memory without making the work any better balanced.
constexpr size_t kSmallestChunk = 64 * 1024;
constexpr size_t kLargestChunk = 1024 * 1024;

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
    std::vector<unsigned char> dictionary;
    std::vector<unsigned char> output;
    size_t inputBytes = 0;
    uLong adler = 1;
    bool last = false;

    void deflateAll(int level, int strategy) {
        inputBytes = input.size();
        adler = adler32(1, input.data(), static_cast<uInt>(input.size()));
        z_stream stream{};
        // Raw deflate: the stream's one header and checksum are written around the chunks.
        if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy) != Z_OK)
            throw std::bad_alloc();
        std::unique_ptr<z_stream, decltype(&deflateEnd)> owned(&stream, deflateEnd);
        if (!dictionary.empty())
            deflateSetDictionary(&stream, dictionary.data(), static_cast<uInt>(dictionary.size()));
        // Room for the worst case, the flush's empty block and the final block.
        output.resize(deflateBound(&stream, static_cast<uLong>(input.size())) + 16);
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(input.size());
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        int status = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (status != (last ? Z_STREAM_END : Z_OK) || stream.avail_in != 0)
            throw std::bad_alloc();
        output.resize(output.size() - stream.avail_out);
        input.clear();
        input.shrink_to_fit();
    }
};

ParallelDeflate::ParallelDeflate(int level, int strategy, std::uint64_t expectedBytes, Sink sink,
                                 int threads)
    : level_(level), strategy_(strategy), threads_(std::max(1, threads)), sink_(std::move(sink)) {
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
    chunk->dictionary = window_;
    // The next chunk's dictionary: the end of this one, with the earlier window before it
    // when this chunk is shorter than a window.
    const std::vector<unsigned char>& input = chunk->input;
    if (input.size() >= kWindowBytes) {
        window_.assign(input.end() - kWindowBytes, input.end());
    } else {
        window_.insert(window_.end(), input.begin(), input.end());
        if (window_.size() > kWindowBytes)
            window_.erase(window_.begin(), window_.end() - kWindowBytes);
    }
    filling_ = std::make_shared<Chunk>();
    if (!last)
        filling_->input.reserve(chunkBytes_);

    // A stream that fits in one chunk, as a small picture's does, starts no thread.
    if (!pool_ || (last && pending_.empty())) {
        chunk->deflateAll(level_, strategy_);
        emit(*chunk);
        return;
    }
    const int level = level_, strategy = strategy_;
    Chunk* work = chunk.get();
    pending_.push_back(
        {chunk, pool_->submit([work, level, strategy] { work->deflateAll(level, strategy); })});
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
    sink_(chunk.output.data(), chunk.output.size());
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
