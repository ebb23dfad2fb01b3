// The threads that resolve the Python Futures of calls: a small pool, shared
// by every node of the process, that grows whenever every thread is busy (a
// done-callback may block for as long as it likes without holding up any
// other Future) and shrinks to nothing while there is no work.
#pragma once

#include "node_handle.hpp"

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace tarnvel::binding {

namespace py = pybind11;

// Wakes the threads blocked in a CallFuture's result() or exception(). It is
// set after the Future is resolved, and by the io thread only once it has let
// go of the interpreter lock, so a woken thread never has to wait for it.
class FutureSignal {
public:
    FutureSignal() noexcept;
    ~FutureSignal();
    FutureSignal(const FutureSignal&) = delete;
    FutureSignal& operator=(const FutureSignal&) = delete;

    void set() noexcept;
    // With the interpreter lock released. False when `timeout` (seconds;
    // none: for ever) ran out first.
    bool wait(std::optional<double> timeout);
    // For tests: how long the last wait could spin before sleeping.
    std::chrono::duration<double> last_spin_budget() const noexcept { return spin_budget_.load(); }

private:
    bool spin_until_set(std::chrono::steady_clock::time_point deadline) noexcept;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> set_{false};
    std::atomic<std::chrono::steady_clock::duration> spin_budget_{};
};

// One call's outcome on its way to its Future.
struct Resolution {
    // The Future; its last reference is dropped with the interpreter lock.
    std::shared_ptr<py::object> future;
    CallResult outcome;
    // The node's count of unresolved Futures; given back once this one is.
    std::shared_ptr<WaiterTicket> ticket;
    std::shared_ptr<FutureSignal> signal;
    // Instead of the outcome: done-callbacks (a Python list) that could not
    // be added where they were given, to add to the Future.
    std::shared_ptr<py::object> late_callbacks = {};
};

// Resolves the Future on a resolver thread, never on the calling one: calls'
// outcomes arrive on a node's io thread, where no Python callback may run.
// Any thread; never waits for the interpreter lock.
void resolve_later(Resolution resolution) noexcept;

}  // namespace tarnvel::binding
