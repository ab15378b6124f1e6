#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace sips {

// How many threads the tool's own parallel work uses: one per processor the process may run
// on, or fewer where the SIPS_THREADS environment variable holds a smaller number from 1 to
// 256 (for benchmarks and tests). More threads than processors would only take turns.
int workerThreads();

// Holds libvips's own threads, its decoders' and its sinks', to workerThreads() too (fewer
// where VIPS_CONCURRENCY asks for fewer). Called in every run, once the library has started.
void holdLibraryThreads();

// How many of `wanted` threads a writer starts when each holds `bytesPerThread` of its own (its
// tables and scratch, the work queued for it): no more than a fixed 16 MB holds, so that a
// machine with many processors takes no more memory than one with a few. Past four or five
// threads a 5120-pixel photo gains little: its decoder, on one thread, sets the pace of
// every writer but JPEG 2000's.
int workerThreadsWithin(size_t bytesPerThread, int wanted = workerThreads());

// From here on, every buffer of 128 KB or more comes straight from the system and goes back
// to it when freed. The C library otherwise raises that limit to the largest block freed so
// far, after which chunks handed between threads stay behind in its heap: 2-4 MB more at
// the peak when a big picture is written. The C library's adaptive limit cannot be had back
// once a fixed one is set, and lossless JPEG 2000, whose tiles allocate and free a few
// hundred KB each, does best with it: 6% slower at 128 KB, slower or larger at 1 or 4 MB.
void returnLargeBuffersAtOnce();

// A fixed set of worker threads that run jobs in the order they are submitted. The threads
// start with the first job, so a small picture that needs no help costs none; where memory
// allows fewer than asked for, those few do the work. The destructor
// lets the queued jobs finish and joins the threads.
class ThreadPool {
public:
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The job's exception, if it throws one, comes out of the future's get(). Throws
    // std::system_error when not one thread can be started.
    std::future<void> submit(std::function<void()> job);

private:
    void work();

    const int size_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::packaged_task<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace sips
