// The calls a node has started and not yet finished, keyed by (target pid,
// sequence number), the per-target sequence counters, and the one timer that
// ends calls at their time limits.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tarnvel {

// now + timeout_ms, saturating at the clock's end; zero or less is already due.
std::chrono::steady_clock::time_point deadline_after(int64_t timeout_ms);

// What finishes a call: the caller's completion, in one of its two forms.
struct CallEnd {
    CallEnd() = default;
    CallEnd(CallCompletion done) noexcept : done(std::move(done)) {}                 // NOLINT: either form ends a call
    CallEnd(InPlaceCompletion in_place) noexcept : in_place(std::move(in_place)) {}  // NOLINT
    explicit operator bool() const noexcept { return done || in_place; }
    // Runs the completion with the outcome; what it throws is dropped.
    void run(CallResult result) noexcept;
    // The same for a completion that reads in place (and nothing for one
    // that takes a CallResult).
    void run(const CallResultView& result) noexcept;

    CallCompletion done;
    InPlaceCompletion in_place;
};

class PendingCalls {
public:
    using Key = std::pair<uint32_t, uint16_t>;
    using Clock = std::chrono::steady_clock;

    // The timer lives on `io`; it is touched only on io's thread and, after
    // that thread has ended, by stop().
    explicit PendingCalls(boost::asio::io_context& io) : io_(io), timer_(io) {}

    // Takes the next sequence number for `pid` that is not pending and enters
    // the call under it, in one step, so that a key is never handed out twice
    // and close can end the call whatever happens to its request. Leaves
    // `done` untouched and returns nothing when every key of `pid` is
    // pending. When it throws (out of memory), the call was not entered and
    // `done` is the caller's again. Any thread.
    // `anywhere`: the completion may run on any thread (a future's), so a
    // thread waiting for an answer may finish the call when it reads one.
    // `takes_space`: it may also be given a result read into a waiting
    // thread's memory (CallResult::result_in_space).
    std::optional<uint16_t> add(uint32_t pid, CallEnd& done, Clock::time_point deadline, bool anywhere = false,
                                bool takes_space = false);

    // Finishes the call with this key: its completion runs here, with no lock
    // held. An outcome for a key that is not pending (already finished) is
    // dropped. Any thread.
    void complete(uint32_t pid, uint16_t seq, CallResult result);
    // The same for an answer from the called node, which comes too late once
    // the call's time limit is up: the call then ends with STATUS_TIMEOUT,
    // whether or not the timer has got round to it.
    void answer(uint32_t pid, uint16_t seq, CallResult result);
    // The same on a thread that read the answer in the io thread's place:
    // false, and nothing done, when the call's completion must run on the
    // io thread, or cannot take a result that is in a waiting thread's
    // memory.
    // `result` is moved from only when it returns true.
    bool answer_anywhere(uint32_t pid, uint16_t seq, CallResult& result);
    // The same for an answer that lies in the mailbox, on the io thread: the
    // call ends with `result` as it lies when its completion reads in place;
    // false, and nothing done, when it takes a CallResult of its own (the
    // answer is copied out for answer()). An answer for a key that is not
    // pending is dropped here.
    bool answer_in_place(uint32_t pid, uint16_t seq, const CallResultView& result);
    // Whether a call whose completion reads in place may be pending: the
    // drain looks at an answer in place only then. Any thread, no lock.
    bool any_in_place() const noexcept { return in_place_pending_.load(std::memory_order_relaxed) > 0; }

    // Ends every pending call with STATUS_EXEC_FAILED, in key order.
    void fail_all();
    // The same for the calls pending at process `pid`, which has died.
    void fail_peer(uint32_t pid);

    // Cancels the timer; for close, once the io thread has ended.
    void stop() noexcept;

    size_t size() const;

private:
    struct PendingCall {
        CallEnd done;
        Clock::time_point deadline;
        bool anywhere = false;
        bool takes_space = false;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const noexcept {
            return std::hash<uint64_t>{}(uint64_t{key.first} << 16 | key.second);
        }
    };
    using Table = boost::unordered_flat_map<Key, PendingCall, KeyHash>;
    using Deadline = std::pair<Clock::time_point, Key>;

    // 1, 2, ..., 65535, 1, ...: 0 is never a sequence number.
    uint16_t next_seq(uint32_t pid);
    // Both on the io thread: set the timer for the earliest deadline, and end
    // the calls whose time is up.
    void rearm();
    void expire();
    void arm_locked(Clock::time_point when);
    std::optional<CallEnd> take_locked(const Key& key, Clock::time_point* deadline = nullptr);
    // Takes the call's completion out and the call out of the table.
    CallEnd erase_locked(Table::iterator it);
    // The pending call a deadline in the heap still belongs to, if any.
    Table::iterator owner_locked(const Deadline& entry);
    // Drops finished calls' deadlines from the top of the heap.
    void drop_stale_top_locked();
    // Takes the completions of calls pending at `pid` (every pid: nullopt),
    // in key order.
    std::vector<CallEnd> take_all_locked(std::optional<uint32_t> pid);

    boost::asio::io_context& io_;
    mutable std::mutex calls_mutex_;
    // Flat tables and a heap instead of trees: a call is entered and finished
    // up to a million times a second, and each tree node was an allocation.
    Table pending_;
    // The earliest deadline on top. A finished call's entry stays until it
    // comes to the top or the heap is rebuilt from the pending calls (once
    // it holds more than twice as many), so finishing a call costs nothing
    // here.
    std::vector<Deadline> deadlines_;
    boost::unordered_flat_map<uint32_t, uint16_t> seq_counters_;
    // One timer for all calls, set for the earliest deadline it knows of. A
    // later deadline never moves it: when it fires it ends what is due and is
    // set again for the next. So a steady stream of calls costs no timer work.
    boost::asio::steady_timer timer_;
    Clock::time_point armed_for_ = Clock::time_point::max();  // guarded by calls_mutex_
    bool rearm_posted_ = false;                               // guarded by calls_mutex_
    // Pending calls whose completion reads in place; changed under calls_mutex_.
    std::atomic<size_t> in_place_pending_{0};
};

}  // namespace tarnvel
