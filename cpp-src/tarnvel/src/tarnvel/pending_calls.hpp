// The calls a node has started and not yet finished, keyed by (target pid,
// sequence number), and the per-target sequence counters.
#pragma once

#include "tarnvel.hpp"

#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace tarnvel {

struct PendingCall {
    std::promise<CallResult> promise;
    // Null until the call's start has run on the io thread.
    std::shared_ptr<boost::asio::steady_timer> timer;
};

class PendingCalls {
public:
    using Key = std::pair<uint32_t, uint16_t>;

    // Takes the next sequence number for `pid` that is not pending and enters
    // the call under it, in one step, so that a key is never handed out twice
    // and close can end the call even if its start never runs. Leaves
    // `promise` untouched and returns nothing when every key of `pid` is
    // pending.
    std::optional<uint16_t> add_pending(uint32_t pid, std::promise<CallResult>& promise);

    // Gives a started call its timer; false (the timer is not kept) when the
    // call has already finished.
    bool set_timer(uint32_t pid, uint16_t seq, std::shared_ptr<boost::asio::steady_timer> timer);

    // Finishes the call with this key; an outcome for a key that is not
    // pending (already finished) is dropped.
    void complete_call(uint32_t pid, uint16_t seq, CallResult result);

    // Ends every pending call with STATUS_EXEC_FAILED, in key order.
    void fail_all_pending();

    size_t size() const;

private:
    // 1, 2, ..., 65535, 1, ...: 0 is never a sequence number.
    uint16_t next_seq(uint32_t pid);

    mutable std::mutex calls_mutex_;
    std::map<Key, PendingCall> pending_;
    std::map<uint32_t, uint16_t> seq_counters_;
};

}  // namespace tarnvel
