// A node's io context and its one thread, the node's state (open, closing,
// closed, inherited by a fork child) and the close that runs once.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>

namespace tarnvel {

class Lifecycle {
public:
    // `release` frees what the node holds; close runs it once, after the io
    // thread has ended, never on an io thread. It may throw: a later close
    // (or the destructor's) runs it again.
    // `end_calls` ends the node's pending calls; a close from another node's
    // handler, which cannot wait for the release, runs it before returning.
    // It must be safe while the io thread still runs.
    explicit Lifecycle(std::function<void()> release, std::function<void()> end_calls = {});
    Lifecycle(const Lifecycle&) = delete;
    Lifecycle& operator=(const Lifecycle&) = delete;

    boost::asio::io_context& io() noexcept { return io_; }
    // Set once close has begun: work the io thread still has in hand (the
    // rest of a drain, a timer that fired) drops what it would start.
    const std::atomic<bool>& stopping() const noexcept { return stopping_; }
    uint32_t pid() const noexcept { return pid_; }

    // Starts the io thread, which runs `first` and then whatever is posted.
    void start(std::function<void()> first);

    bool on_io_thread() const noexcept;
    static bool on_any_io_thread() noexcept;
    // An io thread or a worker, of any node: where a close cannot be waited
    // for, since what it waits for may be waiting for this thread.
    static bool on_any_handler_thread() noexcept;

    // Marks the calling thread as one of the node's workers while it lives.
    class WorkerMark {
    public:
        explicit WorkerMark(const Lifecycle& node) noexcept;
        ~WorkerMark();
        WorkerMark(const WorkerMark&) = delete;
        WorkerMark& operator=(const WorkerMark&) = delete;
    };
    bool inherited_by_fork() const noexcept;
    // Closed, closing or inherited by a fork child.
    bool closed() const noexcept;

    // For operations that use the node's objects or its io context: throws
    // "Tarnvel is closed", else holds close off until the lock is released.
    std::shared_lock<std::shared_mutex> enter_operation();

    // Stops the node: no operation enters from now on and the io thread ends
    // soon. True the first time. Releasing is close's job.
    bool begin_close();
    // Idempotent. From a handler thread, another thread finishes the job (a
    // thread cannot join itself); from one of the node's own, it throws
    // std::system_error (resource_deadlock_would_occur) the first time.
    void close();
    // Waits for the thread that finishes a close begun on an io thread.
    void join_closer();

private:
    void finish_close();

    std::function<void()> release_;
    std::function<void()> end_calls_;
    uint32_t pid_;
    boost::asio::io_context io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::jthread io_thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closed_{false};
    // Public operations hold it shared while close holds it exclusively to
    // set the flags, so none of them can slip past the closed test and then
    // meet released objects.
    std::shared_mutex operations_mutex_;
    std::mutex close_mutex_;
    bool close_finished_ = false;  // guarded by close_mutex_
    std::thread closer_;
};

}  // namespace tarnvel
