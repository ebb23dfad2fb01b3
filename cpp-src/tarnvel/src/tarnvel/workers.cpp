#include "workers.hpp"

#include <utility>

namespace tarnvel {

Workers::~Workers() {
    discard_waiting();
    join();
}

bool Workers::post(Job& job) {
    std::unique_lock lock(mutex_);
    if (stopped_ || size_ == 0) return false;
    if (jobs_.size() >= idle_ && threads_.size() < size_) {
        try {
            threads_.emplace_back([this] { run(); });
        } catch (...) {
            // No thread: the ones there are take the job, or the caller does.
            if (threads_.empty()) return false;
        }
    }
    try {
        jobs_.push_back(std::move(job));
    } catch (...) {
        return false;
    }
    lock.unlock();
    wake_.notify_one();
    return true;
}

void Workers::run() {
    const Lifecycle::WorkerMark mark(node_);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            ++idle_;
            wake_.wait(lock, [this] { return stopped_ || !jobs_.empty(); });
            --idle_;
            if (stopped_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        // A job ends its own failures; whatever escapes costs that job only.
        try {
            job();
        } catch (...) {
        }
    }
}

void Workers::discard_waiting() noexcept {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        dropped.swap(jobs_);
    }
    wake_.notify_all();
}

void Workers::join() noexcept {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads) thread.join();
}

}  // namespace tarnvel
