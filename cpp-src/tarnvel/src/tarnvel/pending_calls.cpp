#include "pending_calls.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <functional>
#include <vector>

namespace tarnvel {

std::chrono::steady_clock::time_point deadline_after(int64_t timeout_ms) {
    const auto now = std::chrono::steady_clock::now();
    if (timeout_ms <= 0) return now;
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now);
    if (timeout_ms >= room.count()) return std::chrono::steady_clock::time_point::max();
    return now + std::chrono::milliseconds(timeout_ms);
}

namespace {

constexpr size_t MAX_SEQ_PER_PID = 65535;
// Finished calls' deadlines the heap may hold beyond twice the pending calls.
constexpr size_t STALE_DEADLINES = 256;

}  // namespace

void CallEnd::run(CallResult result) noexcept {
    if (!done) {
        run(CallResultView{result.status, BytesView(result.result), result.unfit_answer_bytes});
        return;
    }
    try {
        done(std::move(result));
    } catch (...) {
        // A completion that throws has no one to tell; the node goes on.
    }
}

void CallEnd::run(const CallResultView& result) noexcept {
    try {
        if (in_place) in_place(result);
    } catch (...) {
        // As above.
    }
}

uint16_t PendingCalls::next_seq(uint32_t pid) {
    uint16_t& counter = seq_counters_[pid];
    counter = static_cast<uint16_t>(counter + 1);
    if (counter == 0) counter = 1;
    return counter;
}

std::optional<uint16_t> PendingCalls::add(uint32_t pid, CallEnd& done, Clock::time_point deadline, bool anywhere,
                                          bool takes_space) {
    std::lock_guard lock(calls_mutex_);
    // A call with a long time limit can still be pending when its number comes
    // round again; reusing its key would let one call's answer finish another.
    for (size_t tries = 0; tries < MAX_SEQ_PER_PID; ++tries) {
        const uint16_t seq = next_seq(pid);
        const Key key{pid, seq};
        if (pending_.contains(key)) continue;
        // Room first, so that nothing below throws once the call is entered
        // (and `done` moved).
        if (deadlines_.size() > 2 * pending_.size() + STALE_DEADLINES) {
            deadlines_.clear();
            for (const auto& [pending_key, call] : pending_) deadlines_.emplace_back(call.deadline, pending_key);
            std::make_heap(deadlines_.begin(), deadlines_.end(), std::greater<>{});
        }
        if (deadlines_.size() == deadlines_.capacity()) {
            deadlines_.reserve(std::max<size_t>(64, 2 * deadlines_.capacity()));
        }
        PendingCall& call = pending_.try_emplace(key).first->second;
        if (deadline < armed_for_ && !rearm_posted_) {
            // The timer is the io thread's; it sets it for the new earliest deadline.
            try {
                boost::asio::post(io_, [this] { rearm(); });
            } catch (...) {
                // No timer would end the call: it is not entered.
                pending_.erase(key);
                throw;
            }
            rearm_posted_ = true;
        }
        if (done.in_place) in_place_pending_.fetch_add(1, std::memory_order_relaxed);
        call = PendingCall{std::move(done), deadline, anywhere, takes_space};
        deadlines_.emplace_back(deadline, key);
        std::push_heap(deadlines_.begin(), deadlines_.end(), std::greater<>{});
        return seq;
    }
    return std::nullopt;
}

std::optional<CallEnd> PendingCalls::take_locked(const Key& key, Clock::time_point* deadline) {
    const auto it = pending_.find(key);
    if (it == pending_.end()) return std::nullopt;
    if (deadline != nullptr) *deadline = it->second.deadline;
    return erase_locked(it);
}

CallEnd PendingCalls::erase_locked(Table::iterator it) {
    CallEnd done = std::move(it->second.done);
    pending_.erase(it);
    if (done.in_place) in_place_pending_.fetch_sub(1, std::memory_order_relaxed);
    return done;
}

PendingCalls::Table::iterator PendingCalls::owner_locked(const Deadline& entry) {
    const auto it = pending_.find(entry.second);
    return it != pending_.end() && it->second.deadline == entry.first ? it : pending_.end();
}

void PendingCalls::drop_stale_top_locked() {
    while (!deadlines_.empty() && owner_locked(deadlines_.front()) == pending_.end()) {
        std::pop_heap(deadlines_.begin(), deadlines_.end(), std::greater<>{});
        deadlines_.pop_back();
    }
}

std::vector<CallEnd> PendingCalls::take_all_locked(std::optional<uint32_t> pid) {
    std::vector<Key> keys;
    for (const auto& entry : pending_)
        if (!pid || entry.first.first == *pid) keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end());
    std::vector<CallEnd> taken;
    taken.reserve(keys.size());
    for (const Key& key : keys) {
        taken.push_back(erase_locked(pending_.find(key)));
    }
    if (pending_.empty()) deadlines_.clear();
    return taken;
}

void PendingCalls::complete(uint32_t pid, uint16_t seq, CallResult result) {
    std::optional<CallEnd> done;
    {
        std::lock_guard lock(calls_mutex_);
        done = take_locked(Key{pid, seq});
    }
    if (done) done->run(std::move(result));
}

void PendingCalls::answer(uint32_t pid, uint16_t seq, CallResult result) {
    std::optional<CallEnd> done;
    Clock::time_point deadline;
    {
        std::lock_guard lock(calls_mutex_);
        done = take_locked(Key{pid, seq}, &deadline);
    }
    if (!done) return;
    if (deadline <= Clock::now()) result = CallResult{STATUS_TIMEOUT, {}};
    done->run(std::move(result));
}

bool PendingCalls::answer_anywhere(uint32_t pid, uint16_t seq, CallResult& result) {
    std::optional<CallEnd> done;
    Clock::time_point deadline;
    {
        std::lock_guard lock(calls_mutex_);
        const auto it = pending_.find(Key{pid, seq});
        if (it == pending_.end()) return true;  // finished already: dropped, as anywhere
        if (!it->second.anywhere || (result.result_in_space && !it->second.takes_space)) return false;
        done = take_locked(Key{pid, seq}, &deadline);
    }
    if (deadline <= Clock::now()) result = CallResult{STATUS_TIMEOUT, {}};
    done->run(std::move(result));
    return true;
}

bool PendingCalls::answer_in_place(uint32_t pid, uint16_t seq, const CallResultView& result) {
    std::optional<CallEnd> done;
    Clock::time_point deadline;
    {
        std::lock_guard lock(calls_mutex_);
        const auto it = pending_.find(Key{pid, seq});
        if (it == pending_.end()) return true;  // finished already: dropped, as answer() drops it
        if (!it->second.done.in_place) return false;
        done = take_locked(Key{pid, seq}, &deadline);
    }
    if (deadline <= Clock::now()) {
        done->run(CallResult{STATUS_TIMEOUT, {}});
        return true;
    }
    done->run(result);
    return true;
}

void PendingCalls::fail_all() {
    std::vector<CallEnd> failed;
    {
        std::lock_guard lock(calls_mutex_);
        failed = take_all_locked(std::nullopt);
    }
    for (auto& done : failed) done.run(CallResult{STATUS_EXEC_FAILED, {}});
}

void PendingCalls::fail_peer(uint32_t pid) {
    std::vector<CallEnd> failed;
    {
        std::lock_guard lock(calls_mutex_);
        failed = take_all_locked(pid);
    }
    for (auto& done : failed) done.run(CallResult{STATUS_EXEC_FAILED, {}});
}

void PendingCalls::arm_locked(Clock::time_point when) {
    armed_for_ = when;
    if (when == Clock::time_point::max()) return;
    // Setting the expiry cancels a wait still pending, whose handler then
    // sees an error and does nothing.
    timer_.expires_at(when);
    timer_.async_wait([this](const boost::system::error_code& error) {
        if (!error) expire();
    });
}

void PendingCalls::rearm() {
    std::lock_guard lock(calls_mutex_);
    rearm_posted_ = false;
    drop_stale_top_locked();
    if (!deadlines_.empty() && deadlines_.front().first < armed_for_) arm_locked(deadlines_.front().first);
}

void PendingCalls::expire() {
    std::vector<CallEnd> expired;
    {
        std::lock_guard lock(calls_mutex_);
        const auto now = Clock::now();
        while (!deadlines_.empty() && deadlines_.front().first <= now) {
            if (const auto it = owner_locked(deadlines_.front()); it != pending_.end()) {
                expired.push_back(erase_locked(it));
            }
            std::pop_heap(deadlines_.begin(), deadlines_.end(), std::greater<>{});
            deadlines_.pop_back();
        }
        armed_for_ = Clock::time_point::max();
        drop_stale_top_locked();
        if (!deadlines_.empty()) arm_locked(deadlines_.front().first);
    }
    for (auto& done : expired) done.run(CallResult{STATUS_TIMEOUT, {}});
}

void PendingCalls::stop() noexcept {
    std::lock_guard lock(calls_mutex_);
    timer_.cancel();
    armed_for_ = Clock::time_point::min();  // nothing arms it again
}

size_t PendingCalls::size() const {
    std::lock_guard lock(calls_mutex_);
    return pending_.size();
}

}  // namespace tarnvel
