// A node: the coordinator of its parts. Each part owns its state behind a
// narrow interface; this struct decides the order in which they are made,
// started and released.
#pragma once

#include "answer_waits.hpp"
#include "delivery.hpp"
#include "directory.hpp"
#include "held_names.hpp"
#include "inbox.hpp"
#include "lifecycle.hpp"
#include "peer_watches.hpp"
#include "pending_calls.hpp"
#include "registry.hpp"
#include "tarnvel/tarnvel.hpp"
#include "workers.hpp"

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel {

struct Tarnvel::Impl {
    Impl();
    // A failed open ends here too: whatever exists is released.
    ~Impl();

    void open(std::string node_name, const std::string& system_name, const std::string& recv_shm_name,
              uint64_t recv_shm_bytes);
    void close();
    void abandon_after_fork() noexcept;
    // `anywhere`, `takes_space`: where `done` may run and what it may be
    // given (see PendingCalls::add). A borrowed `args` is valid until it
    // returns.
    void call(std::string target_name, uint32_t pid, std::string method, Payload args, int64_t timeout_ms, CallEnd done,
              bool anywhere = false, bool takes_space = false);
    CallFuture call(std::string target_name, uint32_t pid, std::string method, Payload args, int64_t timeout_ms);
    // The handler's forms, as MethodRegistry::register_method takes them.
    template <class... Handlers>
    bool register_method(boost::json::object descriptor, Handlers... handlers);
    void set_worker_threads(unsigned count);
    std::vector<NodeInfo> list_nodes();

    // Made first and released last: the io context outlives every part.
    Lifecycle life;
    MethodRegistry registry;
    PendingCalls calls{life.io()};
    Workers workers{life};
    // Engaged by open(), in this order; released by close in reverse.
    std::optional<SystemHold> system_hold;
    std::optional<Directory> directory;
    std::optional<Delivery> outbox;
    std::optional<Inbox> inbox;
    std::optional<PeerWatches> watches;
    // Where a thread waiting for a future reads its answer; none where the
    // platform cannot offer it.
    std::shared_ptr<AnswerWaits> answer_waits;

private:
    void release();
    // Where every request that failed before its answer came is finished.
    void fail_request(uint32_t pid, uint16_t seq, uint8_t status);
    // io thread: a process this node called has died.
    void peer_died(uint32_t pid);
};

}  // namespace tarnvel
