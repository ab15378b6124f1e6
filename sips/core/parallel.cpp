#include "core/parallel.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <sched.h>
#include <system_error>
#include <vips/vips.h>

namespace sips {
namespace {

// What the tool's threads are held to, as one figure: the bytes that grow with each thread.
constexpr size_t kThreadBudget = size_t(16) << 20;

int processorsAllowed() {
    // A set large enough for any machine's processors, not only the 1,024 of cpu_set_t.
    for (int processors = 1024; processors <= 1 << 16; processors *= 4) {
        cpu_set_t* set = CPU_ALLOC(size_t(processors));
        if (!set)
            break;
        const size_t size = CPU_ALLOC_SIZE(size_t(processors));
        const bool known = sched_getaffinity(0, size, set) == 0;
        const int count = known ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (known)
            return std::max(1, count);
        if (errno != EINVAL)
            break;
    }
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

} // namespace

int workerThreads() {
    const int processors = processorsAllowed();
    if (const char* given = std::getenv("SIPS_THREADS")) {
        int threads = 0;
        const char* end = given + std::strlen(given);
        auto [stop, error] = std::from_chars(given, end, threads);
        if (error == std::errc() && stop == end && threads >= 1 && threads <= 256)
            return std::min(threads, processors);
    }
    return processors;
}

void holdLibraryThreads() {
    vips_concurrency_set(std::min(vips_concurrency_get(), workerThreads()));
}

int workerThreadsWithin(size_t bytesPerThread, int wanted) {
    const size_t fit = kThreadBudget / std::max<size_t>(1, bytesPerThread);
    return int(std::clamp<size_t>(fit, 1, size_t(std::max(1, wanted))));
}

void returnLargeBuffersAtOnce() {
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

ThreadPool::ThreadPool(int threads) : size_(std::max(1, threads)) {}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

std::future<void> ThreadPool::submit(std::function<void()> job) {
    std::packaged_task<void()> task(std::move(job));
    std::future<void> done = task.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (threads_.empty()) {
            for (int i = 0; i < size_; ++i) {
                try {
                    threads_.emplace_back(&ThreadPool::work, this);
                } catch (const std::system_error&) {
                    // Short of memory for thread stacks: fewer threads do the same work.
                    if (threads_.empty())
                        throw;
                    break;
                }
            }
        }
        jobs_.push_back(std::move(task));
    }
    ready_.notify_one();
    return done;
}

void ThreadPool::work() {
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            task = std::move(jobs_.front());
            jobs_.pop_front();
        }
        task();
    }
}

} // namespace sips
