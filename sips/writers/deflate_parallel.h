#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <vector>
#include <zlib.h>

#include "core/parallel.h"

namespace sips {

// One zlib stream (RFC 1950) made by several threads at once. The data is cut into chunks,
// one per thread for a small picture and at most 512 KB each for a large one; every chunk
// is deflated on its own by libdeflate, several times faster than zlib and a little tighter,
// and ended with an empty stored block (the last with the final block) so that the pieces
// join on byte boundaries. libdeflate cannot be primed with the bytes before a cut, which
// costs about half a percent of the size at 512 KB a chunk. Their Adler-32 checksums are
// combined into the stream's. Compressed bytes go to the sink in order, on the thread that
// calls write() and finish(), and only a few chunks are held at any time.
class ParallelDeflate {
public:
    using Sink = std::function<void(const unsigned char*, size_t)>;

    // `level` is libdeflate's, 1 to 12; `expectedBytes` is about how much data will come,
    // to choose the chunk size; `threads` is held to what the threads' memory budget allows.
    ParallelDeflate(int level, std::uint64_t expectedBytes, Sink sink,
                    int threads = workerThreads());
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate&) = delete;
    ParallelDeflate& operator=(const ParallelDeflate&) = delete;

    void write(const unsigned char* data, size_t size);
    // Deflates what is left and ends the stream with its checksum.
    void finish();

private:
    struct Chunk;
    struct Pending {
        std::shared_ptr<Chunk> chunk;
        std::future<void> done;
    };

    void submit(bool last);
    void emitOldest();
    std::shared_ptr<Chunk> freshChunk();
    void emit(std::shared_ptr<Chunk> chunk);

    const int level_;
    const int threads_;
    Sink sink_;
    size_t chunkBytes_;
    std::shared_ptr<Chunk> filling_;
    std::deque<Pending> pending_;
    std::vector<std::shared_ptr<Chunk>> spare_;
    bool headerWritten_ = false;
    uLong adler_ = 1;
    std::unique_ptr<ThreadPool> pool_; // last: joined before the chunks it works on go
};

// A small block of data as one zlib stream, compressed as far as zlib goes: for profiles.
std::vector<unsigned char> deflated(const void* data, size_t size);

} // namespace sips
