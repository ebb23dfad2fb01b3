// The threads that resolve the Python Futures of calls: a small pool, shared
// by every node of the process, that grows whenever every thread is busy (a
// done-callback may block for as long as it likes without holding up any
// other Future) and shrinks to nothing while there is no work.
#pragma once

#include "gil_safety.hpp"
#include "node_handle.hpp"

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace tarnvel::binding {

namespace py = pybind11;

// Wakes the threads blocked in a CallFuture's result() or exception(). It is
// set after the Future is resolved, and by the thread that received the
// answer without the interpreter lock, so a woken thread never has to wait
// for it.
class FutureSignal {
public:
    FutureSignal() noexcept;
    ~FutureSignal();
    FutureSignal(const FutureSignal&) = delete;
    FutureSignal& operator=(const FutureSignal&) = delete;

    void set() noexcept;
    bool is_set() const noexcept { return set_.load(); }
    // Said by a Future before a done-callback is attached: its outcome then
    // goes to a resolver thread, never to a waiting caller.
    void note_callbacks() noexcept { callbacks_.store(true); }
    bool has_callbacks() const noexcept { return callbacks_.load(); }
    // Whether a thread waits in wait() now; one that does resolves what the
    // thread that read the answer kept for the Future once it stops waiting.
    bool attended() const noexcept { return waiting_.load() > 0; }
    // With the interpreter lock released. False when `timeout` (seconds;
    // none: for ever) ran out first. `reader`: the node that made the call,
    // whose mailbox is read first while other calls are in flight (the answer
    // may be there already, waiting for an io thread that has no processor
    // yet); it outlives the wait.
    bool wait(std::optional<double> timeout, Tarnvel* reader = nullptr);
    // For tests: at most how long the last wait could spin before sleeping.
    std::chrono::duration<double> last_spin_budget() const noexcept { return spin_budget_.load(); }

private:
    bool spin_until_set(std::chrono::steady_clock::time_point deadline) noexcept;
    // Waits in the node's mailbox until set, `until` or the node's close;
    // false when the node could not have this thread wait there.
    bool wait_reading(Tarnvel& reader, std::chrono::steady_clock::time_point until);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> set_{false};
    std::atomic<bool> callbacks_{false};
    std::atomic<int> waiting_{0};
    // Wakes a thread waiting for this signal in its node's mailbox; run by
    // set(). Guarded by mutex_.
    std::function<void()> waker_;
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
    // The outcome as a Python CallResult, once one was made of it.
    std::shared_ptr<py::object> made = {};
    // The outcome's result as a bytes object, when the answer was read
    // straight into one (CallResult::result_in_space).
    std::shared_ptr<py::object> result_bytes = {};
};

// On a thread waiting for a call in its node's mailbox, without the
// interpreter lock: the bytes object its answer was read into, now owned by
// the caller (see FutureSignal::wait), or nothing.
std::shared_ptr<py::object> take_answer_space() noexcept;
// With the interpreter lock, once the thread stops waiting: lets go of such an
// object that no answer was read into.
void let_go_of_answer_space() noexcept;

// Resolves the Future on a resolver thread, never on the calling one: calls'
// outcomes arrive on the thread that read the answer (a node's io thread, or
// a caller reading its mailbox without the interpreter lock), where no
// Python callback may run.
// Any thread; never waits for the interpreter lock.
void resolve_later(Resolution resolution) noexcept;

// For a Future without done-callbacks: keeps the outcome for the next thread
// of this process that holds the interpreter lock anyway (a caller woken in
// result(), the next call_raw) and sets the Future's signal. The thread
// that read the answer thus never waits for the lock, and callers that
// keep many calls in flight resolve their Futures in batches, without
// handing the lock back and forth. Should no such thread come, a watcher
// thread resolves what was kept within about a millisecond. Any thread;
// never waits for the interpreter lock.
void resolve_ready_later(Resolution resolution) noexcept;

// With the interpreter lock held: resolves the Futures whose outcomes were
// kept. Throws what Python code raised meanwhile (a signal handler's
// KeyboardInterrupt, say), once every outcome is on its way.
void resolve_ready();
// Before a fork, with the interpreter lock held: resolves what resolve_ready
// does and the outcomes that wait for a resolver thread, of which the child
// has none.
void resolve_before_fork();

inline std::shared_ptr<py::object> shared_object(py::object object) {
    return std::shared_ptr<py::object>(new py::object(std::move(object)), GilSafeDelete{});
}

}  // namespace tarnvel::binding
