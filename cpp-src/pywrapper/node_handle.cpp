#include "node_handle.hpp"

#include "gil_safety.hpp"

#include <exception>
#include <stdexcept>
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

}  // namespace

NodeCore::NodeCore(std::string node_name, std::string system_name, std::string recv_shm_name,
                   uint64_t recv_shm_bytes)
    : node_(std::make_unique<Tarnvel>(std::move(node_name), std::move(system_name),
                                      std::move(recv_shm_name), recv_shm_bytes)),
      pid_(node_->pid()) {}

NodeCore::~NodeCore() {
    {
        py::gil_scoped_release unlocked;
        close_quietly();
    }
    // The registry's Python handlers are released here, with the lock held.
    node_.reset();
}

NodeCore::Operation::Operation(NodeCore& core) : core_(core) {
    std::lock_guard lock(core_.mutex_);
    if (core_.shut_) {
        throw std::runtime_error("Tarnvel is closed");
    }
    ++core_.active_;
}

NodeCore::Operation::~Operation() {
    std::lock_guard lock(core_.mutex_);
    if (--core_.active_ == 0) {
        core_.changed_.notify_all();
    }
}

void NodeCore::close() {
    std::unique_lock lock(mutex_);
    shut_ = true;
    if (closed_) {
        return;
    }
    // Another thread is joining the io threads; if this thread is a handler on
    // one of them, waiting here could mean waiting for itself.
    if (closing_ && in_python_handler()) {
        return;
    }
    changed_.wait(lock, [this] { return closed_ || (!closing_ && active_ == 0); });
    if (closed_) {
        return;
    }
    closing_ = true;
    lock.unlock();
    try {
        node_->close();
    } catch (...) {
        // Called from one of the node's own handlers: the node is stopped, and
        // a later close from another thread finishes the job.
        lock.lock();
        closing_ = false;
        changed_.notify_all();
        throw;
    }
    lock.lock();
    closing_ = false;
    closed_ = true;
    changed_.notify_all();
}

void NodeCore::close_quietly() noexcept {
    try {
        close();
    } catch (...) {
    }
}

PyTarnvel::PyTarnvel(std::string node_name, std::string system_name, std::string recv_shm_name,
                     uint64_t recv_shm_bytes)
    : core_(std::make_shared<NodeCore>(std::move(node_name), std::move(system_name),
                                       std::move(recv_shm_name), recv_shm_bytes)) {
    auto& live = live_nodes();
    std::lock_guard lock(live.mutex);
    std::erase_if(live.nodes, [](const std::weak_ptr<NodeCore>& node) { return node.expired(); });
    live.nodes.push_back(core_);
}

void PyTarnvel::close() {
    py::gil_scoped_release unlocked;
    core_->close();
}

std::vector<NodeInfo> PyTarnvel::list_nodes() {
    NodeCore::Operation op(*core_);
    return op.node().list_nodes();
}

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
