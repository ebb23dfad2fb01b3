#include "pending_calls.hpp"

namespace tarnvel {

namespace {

constexpr size_t MAX_SEQ_PER_PID = 65535;

void fulfil(PendingCall& call, CallResult result) {
    if (call.timer) call.timer->cancel();
    try {
        call.promise.set_value(std::move(result));
    } catch (...) {
        // A promise without state or already satisfied: the outcome is dropped.
    }
}

}  // namespace

uint16_t PendingCalls::next_seq(uint32_t pid) {
    uint16_t& counter = seq_counters_[pid];
    counter = static_cast<uint16_t>(counter + 1);
    if (counter == 0) counter = 1;
    return counter;
}

std::optional<uint16_t> PendingCalls::add_pending(uint32_t pid, std::promise<CallResult>& promise) {
    std::lock_guard lock(calls_mutex_);
    // A call with a long time limit can still be pending when its number comes
    // round again; reusing its key would let one call's answer finish another.
    for (size_t tries = 0; tries < MAX_SEQ_PER_PID; ++tries) {
        const uint16_t seq = next_seq(pid);
        auto [it, inserted] = pending_.try_emplace(Key{pid, seq});
        if (inserted) {
            it->second.promise = std::move(promise);
            return seq;
        }
    }
    return std::nullopt;
}

bool PendingCalls::set_timer(uint32_t pid, uint16_t seq, std::shared_ptr<boost::asio::steady_timer> timer) {
    std::lock_guard lock(calls_mutex_);
    const auto it = pending_.find(Key{pid, seq});
    if (it == pending_.end()) return false;
    it->second.timer = std::move(timer);
    return true;
}

void PendingCalls::complete_call(uint32_t pid, uint16_t seq, CallResult result) {
    std::lock_guard lock(calls_mutex_);
    const auto it = pending_.find(Key{pid, seq});
    if (it == pending_.end()) return;
    fulfil(it->second, std::move(result));
    pending_.erase(it);
}

void PendingCalls::fail_all_pending() {
    std::lock_guard lock(calls_mutex_);
    for (auto& [key, call] : pending_) fulfil(call, CallResult{STATUS_EXEC_FAILED, {}});
    pending_.clear();
}

size_t PendingCalls::size() const {
    std::lock_guard lock(calls_mutex_);
    return pending_.size();
}

}  // namespace tarnvel
