#pragma once

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <utility>

#include "core/parallel.h"

namespace sips {

// Runs jobs on worker threads and hands their results, in the order the jobs were submitted,
// to `finish` on the submitting thread. At most two jobs per thread are in flight: a picture
// streamed through it never piles up in memory, and the file is written strictly in order.
template <typename Result> class OrderedWork {
public:
    OrderedWork(int threads, std::function<void(Result&)> finish)
        : ahead_(2 * std::max(1, threads)), finish_(std::move(finish)), pool_(threads) {}

    void submit(std::function<Result()> job) {
        if (int(pending_.size()) >= ahead_)
            finishOldest();
        auto result = std::make_shared<Result>();
        std::future<void> done = pool_.submit([result, job = std::move(job)] { *result = job(); });
        pending_.push_back({std::move(result), std::move(done)});
    }

    // Waits for every job and finishes them in order; a job's exception comes out here.
    void finishAll() {
        while (!pending_.empty())
            finishOldest();
    }

private:
    struct Pending {
        std::shared_ptr<Result> result;
        std::future<void> done;
    };

    void finishOldest() {
        Pending oldest = std::move(pending_.front());
        pending_.pop_front();
        oldest.done.get();
        finish_(*oldest.result);
    }

    const int ahead_;
    std::function<void(Result&)> finish_;
    std::deque<Pending> pending_;
    // Last, so that it is destroyed first: its threads finish before the jobs' results go.
    ThreadPool pool_;
};

} // namespace sips
