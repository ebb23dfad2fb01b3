#include "node_handle.hpp"

#include "gil_safety.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace tarnvel::binding {

namespace {

// Nodes that may still be open, for the exit hook. Leaked on purpose: parked
// threads and late destructors may outlive static destruction.
struct LiveNodes {
    std::mutex mutex;
    std::vector<std::weak_ptr<NodeCore>> nodes;
};

LiveNodes& live_nodes() {
    static auto* live = new LiveNodes;
    return *live;
}

// The ticket of the call whose waiter runs on this thread, if any.
thread_local WaiterTicket* this_thread_ticket = nullptr;

}  // namespace

void CallWaiters::remove() noexcept {
    if (live_.fetch_sub(1) == 1) {
        live_.notify_all();
    }
}

void CallWaiters::wait_until_none() noexcept {
    WaiterTicket* own = this_thread_ticket;
    const bool stepped_out = own != nullptr && own->held_;
    if (stepped_out) {
        own->waiters_->remove();
        own->held_ = false;
    }
    for (int live = live_.load(); live != 0; live = live_.load()) {
        live_.wait(live);
    }
    if (stepped_out) {
        own->waiters_->add();
        own->held_ = true;
    }
}

WaiterTicket::WaiterTicket(std::shared_ptr<CallWaiters> waiters) : waiters_(std::move(waiters)), held_(true) {
    waiters_->add();
}

WaiterTicket::WaiterTicket(WaiterTicket&& other) noexcept
    : waiters_(std::move(other.waiters_)), held_(std::exchange(other.held_, false)) {}

void WaiterTicket::give_back() noexcept {
    if (held_) {
        held_ = false;
        waiters_->remove();
    }
}

WaiterTicket::ThreadScope::ThreadScope(WaiterTicket& ticket) noexcept { this_thread_ticket = &ticket; }

WaiterTicket::ThreadScope::~ThreadScope() { this_thread_ticket = nullptr; }

NodeCore::NodeCore(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes,
                   unsigned workers)
    : node_(std::make_unique<Tarnvel>(std::move(node_name), std::move(system_name), std::move(recv_shm_name),
                                      recv_shm_bytes)),
      pid_(node_->pid()) {
    // Before any handler is registered, so that none ever runs on the io
    // thread of a node that asked for workers. A refused count leaves through
    // the node's destructor, which closes it.
    if (workers > 0) {
        node_->set_worker_threads(workers);
    }
}

NodeCore::~NodeCore() {
    // Without the lock: the node's threads may need it to end (a Python
    // handler still running, an io thread letting go of its Python state).
    // The registry's Python handlers are released through their lock-taking
    // deleter.
    py::gil_scoped_release unlocked;
    close_quietly();
    node_.reset();
}

void NodeCore::close() {
    // From one of the node's own handlers this throws; the library finishes
    // the close once the handler has returned, and the waiters end then.
    node_->close();
    // No wait in a fork child (the parent's waiters have no threads here), in
    // a Python handler (when another thread is closing the handler's node,
    // the Futures fail only after that thread has joined this very io thread;
    // a done-callback closing that node leads to the same), or once the
    // interpreter finalizes (no waiter can take the lock any more).
    if (this_process_id() != pid_ || in_python_handler() || interpreter_exiting()) {
        return;
    }
    waiters_->wait_until_none();
}

void NodeCore::close_quietly() noexcept {
    try {
        close();
    } catch (...) {
    }
}

PyTarnvel::PyTarnvel(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes,
                     unsigned workers)
    : core_(std::make_shared<NodeCore>(std::move(node_name), std::move(system_name), std::move(recv_shm_name),
                                       recv_shm_bytes, workers)),
      workers_(workers) {
    auto& live = live_nodes();
    std::lock_guard lock(live.mutex);
    std::erase_if(live.nodes, [](const std::weak_ptr<NodeCore>& node) { return node.expired(); });
    live.nodes.push_back(core_);
}

void PyTarnvel::close() {
    py::gil_scoped_release unlocked;
    core_->close();
}

std::vector<NodeInfo> PyTarnvel::list_nodes() { return core_->node().list_nodes(); }

void close_all_nodes() {
    std::vector<std::shared_ptr<NodeCore>> open;
    {
        auto& live = live_nodes();
        std::lock_guard lock(live.mutex);
        for (const auto& weak : live.nodes) {
            if (auto node = weak.lock()) {
                open.push_back(std::move(node));
            }
        }
    }
    py::gil_scoped_release unlocked;
    for (const auto& node : open) {
        node->close_quietly();
    }
    // `open` is released after the lock is taken back (declared first).
}

}  // namespace tarnvel::binding
