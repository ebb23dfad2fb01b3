#include "lifecycle.hpp"

#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/post.hpp>

#include <system_error>
#include <utility>

namespace tarnvel {

namespace {

// The node whose io thread this is, if any. Set by the io thread itself, so it
// cannot be confused by a later thread that is given the same id.
thread_local const Lifecycle* current_io_node = nullptr;
// The node whose worker this is, if any.
thread_local const Lifecycle* current_worker_node = nullptr;

}  // namespace

Lifecycle::Lifecycle(std::function<void()> release, std::function<void()> end_calls)
    : release_(std::move(release)),
      end_calls_(std::move(end_calls)),
      pid_(platform::current_process_id()),
      work_(boost::asio::make_work_guard(io_)) {}

void Lifecycle::start(std::function<void()> first) {
    io_thread_ = std::jthread([this] {
        current_io_node = this;
        // What escapes a handler ends the work it belonged to, never the
        // process; run() goes on with the next handler.
        for (;;) {
            try {
                io_.run();
                break;
            } catch (...) {
            }
        }
        current_io_node = nullptr;
    });
    // A close that came first has stopped the io context: this never runs.
    boost::asio::post(io_, std::move(first));
}

bool Lifecycle::on_io_thread() const noexcept { return current_io_node == this; }

bool Lifecycle::on_any_io_thread() noexcept { return current_io_node != nullptr; }

bool Lifecycle::on_any_handler_thread() noexcept {
    return current_io_node != nullptr || current_worker_node != nullptr;
}

Lifecycle::WorkerMark::WorkerMark(const Lifecycle& node) noexcept { current_worker_node = &node; }

Lifecycle::WorkerMark::~WorkerMark() { current_worker_node = nullptr; }

bool Lifecycle::inherited_by_fork() const noexcept { return platform::current_process_id() != pid_; }

bool Lifecycle::closed() const noexcept { return closed_ || inherited_by_fork(); }

std::shared_lock<std::shared_mutex> Lifecycle::enter_operation() {
    // Tested before the lock as well: a fork child must not touch a lock its
    // parent may have held, and callers that come after close has begun must
    // not keep it waiting.
    if (closed()) throw Error(ErrorKind::closed, "Tarnvel is closed");
    std::shared_lock lock(operations_mutex_);
    if (closed_) throw Error(ErrorKind::closed, "Tarnvel is closed");
    return lock;
}

bool Lifecycle::begin_close() {
    if (closed_.exchange(true)) return false;
    {
        // Waits for the operations that passed their closed test before it was set.
        std::unique_lock lock(operations_mutex_);
        stopping_ = true;
    }
    // Timers and waits are cancelled once the io thread has ended: they are
    // not safe to touch from here while it runs, and a stopped io_context
    // runs none of their handlers anyway.
    work_.reset();
    io_.stop();
    return true;
}

void Lifecycle::close() {
    const bool first = begin_close();
    if (!on_any_handler_thread()) {
        finish_close();
        return;
    }
    // On a handler thread. A node's own threads cannot join themselves, and
    // two nodes whose handlers closed each other would wait for each other
    // for ever; so another thread finishes the close once the handler
    // returns: pending calls end and the objects are released without a
    // later close.
    if (first) {
        try {
            closer_ = std::thread([this] {
                try {
                    finish_close();
                } catch (...) {
                    // The destructor tries again.
                }
            });
        } catch (...) {
            // Without a thread, the next close or the destructor finishes it
            // (and ends the pending calls).
        }
    }
    if (first && (on_io_thread() || current_worker_node == this)) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    // Another node's handler: the release goes on elsewhere, but the caller
    // is promised that this node's pending calls have ended on return. No
    // call can start any more, so none is left behind.
    if (!on_io_thread() && current_worker_node != this && end_calls_) end_calls_();
}

void Lifecycle::join_closer() {
    if (closer_.joinable()) closer_.join();
}

void Lifecycle::finish_close() {
    std::lock_guard lock(close_mutex_);
    if (close_finished_) return;
    if (io_thread_.joinable()) io_thread_.join();
    release_();
    close_finished_ = true;
}

}  // namespace tarnvel
