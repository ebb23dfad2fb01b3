// The object behind the Python class Tarnvel.
#pragma once

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace tarnvel::binding {

namespace py = pybind11;

// One library node plus the bookkeeping that lets close run without the
// interpreter lock. Shared by its Python object and, briefly, by the exit hook.
// Its last owner always holds the interpreter lock.
class NodeCore {
public:
    NodeCore(std::string node_name, std::string system_name, std::string recv_shm_name,
             uint64_t recv_shm_bytes);
    ~NodeCore();

    NodeCore(const NodeCore&) = delete;
    NodeCore& operator=(const NodeCore&) = delete;

    // Marks one operation (call, register, listing) in progress. Throws
    // "Tarnvel is closed" once close has begun, so that no operation overlaps
    // the library's close.
    class Operation {
    public:
        explicit Operation(NodeCore& core);
        ~Operation();
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

        Tarnvel& node() const { return *core_.node_; }

    private:
        NodeCore& core_;
    };

    uint32_t pid() const { return pid_; }

    // Must be called without the interpreter lock: a Python handler running on
    // the io thread needs it to finish, and close waits for that thread.
    void close();
    void close_quietly() noexcept;

private:
    std::unique_ptr<Tarnvel> node_;
    uint32_t pid_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool shut_ = false;     // operations refused
    bool closing_ = false;  // a thread is inside the library's close
    bool closed_ = false;   // the library's close has completed
    int active_ = 0;        // operations in progress
};

// The Python class Tarnvel. Python owns it exclusively; destroying it closes the
// node with the interpreter lock released.
class PyTarnvel {
public:
    PyTarnvel(std::string node_name, std::string system_name, std::string recv_shm_name,
              uint64_t recv_shm_bytes);

    NodeCore& core() { return *core_; }
    uint32_t pid() const { return core_->pid(); }
    void close();
    std::vector<NodeInfo> list_nodes();

private:
    std::shared_ptr<NodeCore> core_;
};

// Closes every node that is still open; registered with atexit on import, so
// it runs while foreign threads can still take the interpreter lock.
void close_all_nodes();

}  // namespace tarnvel::binding
