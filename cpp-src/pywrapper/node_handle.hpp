// The object behind the Python class Tarnvel.
#pragma once

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarnvel::binding {

namespace py = pybind11;

// The waiter threads of one node's calls that have not yet resolved their
// Python Future. Close waits for them, so that every Future of a call the node
// accepted is done when close returns. Shared with the waiters, which may sign
// off after the node is gone. Lock-free, so that a fork child never meets a
// lock some other thread of its parent held.
class CallWaiters {
public:
    void add() noexcept { live_.fetch_add(1); }
    void remove() noexcept;

    // Returns once no waiter is left. Must be called without the interpreter
    // lock: the waiters need it to resolve their Futures. A waiter thread
    // that calls it (a done-callback closing a node, a node destroyed inside
    // its resolve) is left out of its own count while it waits, so that it
    // never waits for itself nor two such waiters for each other.
    void wait_until_none() noexcept;

private:
    std::atomic<int> live_{0};
};

// One waiter's place in its node's CallWaiters: taken before the call is made
// (so that a close beginning meanwhile waits for this call too) and given back
// once the Future is resolved or the call is abandoned.
class WaiterTicket {
public:
    explicit WaiterTicket(std::shared_ptr<CallWaiters> waiters);
    ~WaiterTicket() { give_back(); }
    WaiterTicket(WaiterTicket&& other) noexcept;
    WaiterTicket& operator=(WaiterTicket&&) = delete;
    WaiterTicket(const WaiterTicket&) = delete;
    WaiterTicket& operator=(const WaiterTicket&) = delete;

    void give_back() noexcept;

    // Marks the calling thread as this ticket's waiter for the scope's life.
    class ThreadScope {
    public:
        explicit ThreadScope(WaiterTicket& ticket) noexcept;
        ~ThreadScope();
        ThreadScope(const ThreadScope&) = delete;
        ThreadScope& operator=(const ThreadScope&) = delete;
    };

private:
    friend class CallWaiters;

    std::shared_ptr<CallWaiters> waiters_;
    bool held_ = false;
};

// One library node plus its call waiters. Shared by its Python object and,
// briefly, by the exit hook. Its last owner always holds the interpreter lock.
class NodeCore {
public:
    NodeCore(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes,
             unsigned workers);
    ~NodeCore();

    NodeCore(const NodeCore&) = delete;
    NodeCore& operator=(const NodeCore&) = delete;

    // The library node guards its own operations against a concurrent close.
    Tarnvel& node() { return *node_; }
    uint32_t pid() const { return pid_; }

    WaiterTicket take_waiter_ticket() { return WaiterTicket(waiters_); }

    // Closes the library node, then waits until every call waiter of this node
    // has resolved its Future. Must be called without the interpreter lock: a
    // Python handler running on the io thread needs it to finish, and so do
    // the waiters. Called from a Python handler it throws what the library's
    // close throws there and waits for nothing.
    void close();
    void close_quietly() noexcept;

private:
    std::unique_ptr<Tarnvel> node_;
    uint32_t pid_;
    std::shared_ptr<CallWaiters> waiters_ = std::make_shared<CallWaiters>();
};

// The Python class Tarnvel. Python owns it exclusively; destroying it closes the
// node with the interpreter lock released.
class PyTarnvel {
public:
    // `workers` threads run the handlers (0: the io thread does).
    PyTarnvel(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes,
              unsigned workers);

    NodeCore& core() { return *core_; }
    uint32_t pid() const { return core_->pid(); }
    unsigned workers() const { return workers_; }
    void close();
    std::vector<NodeInfo> list_nodes();

private:
    std::shared_ptr<NodeCore> core_;
    unsigned workers_;
};

// Closes every node that is still open and waits for their call waiters;
// registered with atexit on import, so it runs while foreign threads can still
// take the interpreter lock, and no waiter runs Python code after it.
void close_all_nodes();

}  // namespace tarnvel::binding
