// Public interface of the tarnvel node library: nodes that call each other's
// methods across the processes of one machine.
#pragma once

#include <boost/json/object.hpp>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace tarnvel {

using Bytes = std::vector<uint8_t>;

// Every call ends with exactly one of these.
inline constexpr uint8_t STATUS_OK = 0;
inline constexpr uint8_t STATUS_TIMEOUT = 1;
inline constexpr uint8_t STATUS_EXEC_FAILED = 2;
inline constexpr uint8_t STATUS_DELIVER_FAILED = 3;

struct CallResult {
    uint8_t status = STATUS_OK;
    Bytes result;
};

// One occupied slot of the book.
struct NodeInfo {
    std::string node_name;
    uint32_t pid = 0;
};

// Maps the argument bytes of a request to the result bytes; may throw, which
// ends the caller's call with STATUS_EXEC_FAILED.
using MethodHandler = std::function<Bytes(Bytes)>;

class Tarnvel {
public:
    // Throws std::runtime_error with a fixed message ("invalid node name",
    // "directory full", ...) or std::system_error when the io thread cannot start.
    Tarnvel(std::string node_name, std::string system_name, std::string recv_shm_name,
            uint64_t recv_shm_bytes);
    ~Tarnvel();

    Tarnvel(const Tarnvel&) = delete;
    Tarnvel& operator=(const Tarnvel&) = delete;

    // Idempotent. Every pending call has ended with STATUS_EXEC_FAILED when it
    // returns. Called from one of the node's own handlers it throws
    // std::system_error (resource_deadlock_would_occur) after stopping the
    // node; a later close from another thread finishes the job.
    void close();

    uint32_t pid() const;

    // Never throws for a failed call; the outcome is the CallResult. Throws
    // "Tarnvel is closed" only.
    std::future<CallResult> call(std::string node_name, uint32_t pid, std::string method, Bytes args,
                                 int64_t timeout_ms);

    // False when the descriptor or its name is refused.
    bool register_method(boost::json::object descriptor, MethodHandler handler);

    std::vector<NodeInfo> list_nodes() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarnvel
