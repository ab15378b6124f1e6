#include "parallel.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <system_error>

namespace sips {

int workerThreads() {
    if (const char* given = std::getenv("SIPS_THREADS")) {
        int threads = 0;
        const char* end = given + std::strlen(given);
        auto [stop, error] = std::from_chars(given, end, threads);
        if (error == std::errc() && stop == end && threads >= 1 && threads <= 256)
            return threads;
    }
    return std::max(1u, std::thread::hardware_concurrency());
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
