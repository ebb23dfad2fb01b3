// The threads a node runs method handlers on when it is asked to: started
// one by one as work waits for them, up to the size in force, and joined at
// close.
#pragma once

#include "lifecycle.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnvel {

class Workers {
public:
    using Job = std::function<void()>;

    explicit Workers(const Lifecycle& node) : node_(node) {}
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // How many threads may run jobs. Lowering it stops no thread already
    // started; it only keeps new ones from starting.
    void set_size(unsigned size) noexcept { size_ = size; }
    unsigned size() const noexcept { return size_; }

    // Queues `job` for a worker, starting one if none is free and the size
    // allows. False, with `job` untouched, when the size is 0, after stop,
    // or when no thread exists and none could be started: the caller runs it.
    bool post(Job& job);

    // Drops the jobs that have not started (what they hold is released here,
    // on the calling thread), and takes no more.
    void discard_waiting() noexcept;
    // Then waits for the running ones and joins every thread. Never on one
    // of the workers.
    void join() noexcept;

private:
    void run();

    const Lifecycle& node_;
    std::atomic<unsigned> size_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;              // guarded by mutex_
    std::vector<std::thread> threads_;  // guarded by mutex_
    size_t idle_ = 0;                   // guarded by mutex_
    bool stopped_ = false;              // guarded by mutex_
};

}  // namespace tarnvel
